#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "frame/frame.h"
#include "frame/kernels.h"
#include "tests/frame/test_pictures.h"

namespace {

// The faster variants this CPU can run, each single-threaded and with threads, and
// single-threaded with share plans turned off (so that the general plan's kernels meet the sizes
// share plans take as well).
struct Variant {
    KernelLevel level;
    int threads;
    bool vbmi;    // AVX-512: the VBMI resampler kernel where the CPU has it
    bool shares;  // share plans where they qualify
};

std::vector<Variant> FastVariants()
{
    std::vector<Variant> variants;
    const auto add = [&](KernelLevel level, bool vbmi) {
        for (int threads : {1, 0}) variants.push_back({level, threads, vbmi, true});
        variants.push_back({level, 1, vbmi, false});
    };
    for (KernelLevel level : {KernelLevel::Avx2, KernelLevel::Avx512}) {
        SetKernelLevel(level);
        if (ActiveKernelLevel() == level) add(level, false);
        if (level == KernelLevel::Avx512 && ActiveKernelLevel() == level && VbmiResamplerInForce())
            add(level, true);
    }
    SetKernelLevel(KernelLevel::Best);
    return variants;
}

std::string Describe(const Variant& variant)
{
    return std::string(variant.level == KernelLevel::Avx2 ? "AVX2" : "AVX-512") +
           (variant.vbmi ? " VBMI" : "") + (variant.threads == 1 ? ", one thread" : ", threads") +
           (variant.shares ? "" : ", no share plans");
}

class SimdMatchesScalar : public testing::Test {
  protected:
    void SetUp() override
    {
        m_variants = FastVariants();
        if (m_variants.empty()) GTEST_SKIP() << "this CPU has no SIMD variant to compare";
    }
    void TearDown() override
    {
        SetKernelLevel(KernelLevel::Best);
        SetFrameThreadLimit(0);
        AllowVbmiResampler(true);
        AllowShareResampler(true);
        ResolveEveryShareTie(false);
    }
    // Runs `body` once per variant with the level and thread limit in force.
    template <typename Body>
    void ForEachVariant(Body body)
    {
        for (const Variant& variant : m_variants) {
            SetKernelLevel(variant.level);
            SetFrameThreadLimit(variant.threads);
            AllowVbmiResampler(variant.vbmi);
            AllowShareResampler(variant.shares);
            SCOPED_TRACE(Describe(variant));
            body();
        }
        SetKernelLevel(KernelLevel::Best);
        AllowVbmiResampler(true);
        AllowShareResampler(true);
        SetFrameThreadLimit(0);
    }

    std::vector<Variant> m_variants;
};

std::vector<uint8_t> RandomBytes(size_t count, uint32_t seed)
{
    std::vector<uint8_t> bytes(count);
    std::mt19937 random(seed);
    for (auto& byte : bytes) byte = static_cast<uint8_t>(random());
    return bytes;
}

void ExpectEncodeMatches(const std::vector<uint8_t>& picture, int height, int width, bool hd)
{
    std::vector<uint8_t> reference(static_cast<size_t>(width) * height * 2);
    EncodeFrameScalar(picture.data(), reference.data(), height, width, hd);
    std::vector<uint8_t> fast(reference.size());
    EncodeFrame(picture.data(), fast.data(), height, width, hd);
    ASSERT_EQ(fast, reference) << width << " x " << height << (hd ? " HD" : " SD");
}

void ExpectDecodeMatches(const std::vector<uint8_t>& frame, int height, int width)
{
    std::vector<uint8_t> reference(static_cast<size_t>(width) * height * 3);
    DecodeFrameScalar(frame.data(), reference.data(), height, width);
    std::vector<uint8_t> fast(reference.size());
    DecodeFrame(frame.data(), fast.data(), height, width);
    ASSERT_EQ(fast, reference) << width << " x " << height;
}

TEST_F(SimdMatchesScalar, EncodeOnAwkwardWidths)
{
    ForEachVariant([] {
        for (int width : {1,  2,  3,  4,  5,  7,  15,  16,  17,  31,   32,  33,
                          47, 63, 64, 65, 95, 97, 127, 129, 720, 1279, 1921})
            for (int height : {1, 3}) {
                const auto picture =
                    RandomBytes(static_cast<size_t>(width) * height * 3, width * 31 + height);
                for (bool hd : {false, true}) ExpectEncodeMatches(picture, height, width, hd);
            }
    });
}

TEST_F(SimdMatchesScalar, EncodeOnEveryPairOfExtremeColours)
{
    // Every pair of colours whose channels come from the extremes and the middle of the range,
    // where the chroma differences and their products are largest.
    const int values[] = {0, 1, 2, 127, 128, 129, 253, 254, 255};
    std::vector<uint8_t> colours;
    for (int b : values)
        for (int g : values)
            for (int r : values)
                colours.insert(colours.end(), {uint8_t(b), uint8_t(g), uint8_t(r)});
    const size_t count = colours.size() / 3;
    std::vector<uint8_t> picture;
    picture.reserve(count * count * 6);
    for (size_t i = 0; i < count; ++i)
        for (size_t j = 0; j < count; ++j) {
            picture.insert(picture.end(), colours.begin() + 3 * i, colours.begin() + 3 * i + 3);
            picture.insert(picture.end(), colours.begin() + 3 * j, colours.begin() + 3 * j + 3);
        }
    const int width = 1458;  // 729 pairs a row: every row starts a new left colour
    const int height = static_cast<int>(picture.size() / 3 / width);
    ForEachVariant([&] {
        for (bool hd : {false, true}) ExpectEncodeMatches(picture, height, width, hd);
    });
}

TEST_F(SimdMatchesScalar, DecodeOnAwkwardWidths)
{
    ForEachVariant([] {
        for (int width : {1,  2,  3,  4,  5,  7,   15,  16,  17,  31,  32,  33,   47,
                          63, 64, 65, 95, 97, 127, 129, 719, 720, 721, 722, 1279, 1921})
            for (int height : {1, 3})
                ExpectDecodeMatches(
                    RandomBytes(static_cast<size_t>(width) * height * 2, width * 17 + height),
                    height, width);
    });
}

TEST_F(SimdMatchesScalar, DecodeOnEveryLumaWithSpreadChroma)
{
    // Every Y0 and Y1 with chroma in steps of 5 and the extremes, in SD and HD widths.
    std::vector<uint8_t> frame;
    std::vector<int> chroma;
    for (int c = 0; c < 256; c += 5) chroma.push_back(c);
    chroma.push_back(255);
    for (int y = 0; y < 256; ++y)
        for (int cb : chroma)
            for (int cr : chroma)
                frame.insert(frame.end(), {uint8_t(y), uint8_t(cb), uint8_t(255 - y), uint8_t(cr)});
    ForEachVariant([&] {
        for (int width : {720, 1920}) {
            const int height = static_cast<int>(frame.size() / 2 / width);
            ExpectDecodeMatches(frame, height, width);
        }
    });
}

TEST_F(SimdMatchesScalar, ConversionsOnAFullFrame)
{
    const int height = 1080, width = 1920;
    const auto picture = RandomBytes(static_cast<size_t>(width) * height * 3, 5);
    const auto frame = RandomBytes(static_cast<size_t>(width) * height * 2, 6);
    ForEachVariant([&] {
        ExpectEncodeMatches(picture, height, width, true);
        ExpectDecodeMatches(frame, height, width);
    });
}

class ResampleCase {
  public:
    ResampleCase(int sourceHeight, int sourceWidth, int height, int width, uint32_t seed)
        : ResampleCase(sourceHeight, sourceWidth, height, width,
                       MakePlane(sourceHeight, sourceWidth, seed))
    {
    }
    ResampleCase(int sourceHeight, int sourceWidth, int height, int width,
                 std::vector<uint8_t> plane)
        : m_sourceHeight(sourceHeight)
        , m_sourceWidth(sourceWidth)
        , m_height(height)
        , m_width(width)
        , m_plane(std::move(plane))
        , m_reference(static_cast<size_t>(height) * width * 3)
    {
        EXPECT_EQ(ResampleAreaScalar(m_plane.data(), sourceHeight, sourceWidth, m_reference.data(),
                                     height, width),
                  0);
    }

    void ExpectFastMatches() const
    {
        testing::internal::CaptureStdout();
        const auto fast = Resample(m_plane, m_sourceHeight, m_sourceWidth, m_height, m_width);
        const std::string trace = testing::internal::GetCapturedStdout();
        ASSERT_EQ(fast, m_reference)
            << m_sourceWidth << "x" << m_sourceHeight << " -> " << m_width << "x" << m_height;
        ASSERT_EQ(trace, "old size\t" + std::to_string(m_sourceWidth) + "  " +
                             std::to_string(m_sourceHeight) + " \nnew size\t" +
                             std::to_string(m_width) + "  " + std::to_string(m_height) + " \n");
    }

  private:
    int m_sourceHeight, m_sourceWidth, m_height, m_width;
    std::vector<uint8_t> m_plane;
    std::vector<uint8_t> m_reference;
};

TEST_F(SimdMatchesScalar, ResampleOnAwkwardSizes)
{
    std::vector<ResampleCase> cases;
    const int sizes[] = {1, 2, 3, 5, 8, 9, 13, 17, 31, 33};
    uint32_t seed = 1;
    for (int sh : {1, 2, 7})
        for (int sw : sizes)
            for (int dh : {1, 3})
                for (int dw : sizes) cases.emplace_back(sh, sw, dh, dw, seed++);
    ForEachVariant([&] {
        for (const ResampleCase& c : cases) c.ExpectFastMatches();
    });
}

TEST_F(SimdMatchesScalar, ResampleOnRandomSizesAndBigRatios)
{
    std::vector<ResampleCase> cases;
    std::mt19937 random(2024);
    auto size = [&](int limit) { return 1 + static_cast<int>(random() % limit); };
    for (int i = 0; i < 30; ++i)
        cases.emplace_back(size(40), size(200), size(40), size(200), random());
    cases.emplace_back(3, 2, 97, 301, 1);
    cases.emplace_back(2, 1, 20, 1921, 2);
    cases.emplace_back(97, 1921, 3, 5, 3);
    cases.emplace_back(300, 700, 7, 3, 4);
    cases.emplace_back(1, 1921, 1, 1, 5);
    cases.emplace_back(5, 1000, 2, 13, 6);  // windows wider than the permutes reach: gathers
    cases.emplace_back(4, 600, 3, 200, 7);  // a block's taps span 3 × its columns
    cases.emplace_back(4, 300, 3, 200, 8);  // 1.5 ×
    ForEachVariant([&] {
        for (const ResampleCase& c : cases) c.ExpectFastMatches();
    });
}

TEST_F(SimdMatchesScalar, ResampleBandsStartWhereTheSweepDoes)
{
    // Large enough to run in bands on several threads, with source rows straddling the bands'
    // first rows, up and down.
    // (Each is above the work from which a call uses threads: sweeps × taps × padded width of
    // some two million.)
    const ResampleCase cases[] = {
        {300, 400, 487, 1300, 8}, {600, 1021, 301, 700, 9}, {487, 720, 540, 960, 10}};
    if (ThreadsFor(2'000'000) < 2) std::puts("(one core: the bands run one after another)");
    ForEachVariant([&] {
        for (const ResampleCase& c : cases) c.ExpectFastMatches();
    });
}

TEST_F(SimdMatchesScalar, ResampleUpOnTheTwoTapKernel)
{
    // Wider destinations go through the two-tap kernel over planes of doubles: one tap where the
    // ratio is whole (each destination column inside one source column), two elsewhere; widths
    // 1, 2, 3, odd and 1921, exact doublings (sums of exactly k + 0.5 where a straddling source
    // pair averages), large ratios, and blocks whose window ends at the row's last pixel.
    std::vector<ResampleCase> cases;
    uint32_t seed = 100;
    for (auto [sw, dw] : {std::pair{1, 2},
                          {1, 3},
                          {2, 3},
                          {2, 4},
                          {3, 5},
                          {3, 1921},
                          {5, 16},
                          {7, 17},
                          {15, 16},
                          {16, 17},
                          {17, 33},
                          {31, 64},
                          {640, 1921},
                          {1920, 1921},
                          {641, 1920},
                          {720, 1920},
                          {1024, 1440},
                          {3, 1000}})
        for (auto [sh, dh] : {std::pair{1, 1}, {2, 3}, {3, 2}, {4, 9}, {5, 5}})
            cases.emplace_back(sh, sw, dh, dw, seed++);
    ForEachVariant([&] {
        for (const ResampleCase& c : cases) c.ExpectFastMatches();
    });
}

TEST_F(SimdMatchesScalar, ResampleUpOnTheTwoTapKernelInBands)
{
    // Scaling up above the work from which a call uses threads, in both shapes of tap.
    const ResampleCase cases[] = {
        {480, 640, 1080, 1920, 11},   // three times: one tap
        {487, 720, 1080, 1920, 12},   // two taps, the second mostly 0; weights cached per thread
        {480, 720, 1080, 1920, 14},   // the same across, rows of few overlaps: a weight table
        {150, 1024, 400, 1440, 13}};  // two taps, fewer rows
    ForEachVariant([&] {
        for (const ResampleCase& c : cases) c.ExpectFastMatches();
    });
}

TEST_F(SimdMatchesScalar, ResampleUpByWholeRatiosCopiesAndRepeatsRows)
{
    // Whole ratios across give one tap per column: rows with one sweep take the copy path (groups
    // of five pixels, the last groups byte by byte), rows equal to the one before are repeated,
    // and rows with two sweeps are summed; widths that end a group early or late, in one band
    // and in several.
    std::vector<ResampleCase> cases;
    uint32_t seed = 300;
    for (int sw : {1, 2, 5, 6, 7, 11, 64, 641})
        for (int ratio : {2, 3, 4})
            for (auto [sh, dh] : {std::pair{1, 1}, {1, 2}, {4, 9}, {7, 16}, {3, 3}})
                cases.emplace_back(sh, sw, dh, sw * ratio, seed++);
    cases.emplace_back(540, 960, 1080, 1920, seed++);  // both ways by two: every row a copy
    cases.emplace_back(360, 640, 1080, 1920, seed++);  // both ways by three
    ForEachVariant([&] {
        for (const ResampleCase& c : cases) c.ExpectFastMatches();
    });
}

TEST_F(SimdMatchesScalar, ResampleDownReadingTheSourceBytesAsTheyAre)
{
    // Scaling down by up to about 2.5 across, where the VBMI kernel reads the source rows
    // directly: ratios whose blocks reach exactly as far as its window and one step further
    // (which takes the packed-word kernel), and rows so short or ending so that the last window
    // runs past the row's pixels (the bytes past it are left out, not read).
    std::vector<ResampleCase> cases;
    uint32_t seed = 500;
    for (auto [sw, dw] : {std::pair{2, 1},
                          {3, 2},
                          {17, 8},
                          {21, 8},
                          {20, 8},
                          {22, 8},
                          {40, 16},
                          {41, 16},
                          {99, 40},
                          {250, 100},
                          {3840, 1920},
                          {1921, 1000}})
        for (auto [sh, dh] : {std::pair{1, 1}, {2, 1}, {5, 2}, {7, 3}})
            cases.emplace_back(sh, sw, dh, dw, seed++);
    ForEachVariant([&] {
        for (const ResampleCase& c : cases) c.ExpectFastMatches();
    });
}

TEST_F(SimdMatchesScalar, ResampleUpWithoutTiesRoundsToNearest)
{
    // Plans whose exact sums can never lie on a rounding boundary (odd cell denominators across
    // and down) are summed with shares of the cells and rounded to nearest, in single precision
    // where the denominators multiply to at most 2048, in double precision above: odd ratios
    // across and down, an odd height that straddles every row (487 to 1080), reductions down
    // with enlargements across, and denominators near either limit, where the sums come closest
    // to a boundary (45 × 45: within 2.5e-4; 1023 × 1021: within 4.8e-7).
    std::vector<ResampleCase> cases;
    uint32_t seed = 700;
    for (auto [sw, dw] : {std::pair{3, 5}, {5, 7}, {9, 16}, {45, 64}, {243, 250}, {719, 1920}})
        for (auto [sh, dh] : {std::pair{1, 1}, {3, 5}, {7, 9}, {25, 3}, {45, 64}, {487, 1080}})
            cases.emplace_back(sh, sw, dh, dw, seed++);
    cases.emplace_back(487, 720, 1080, 1920, seed++);
    cases.emplace_back(1021, 1023, 1030, 1024, seed++);
    ForEachVariant([&] {
        for (const ResampleCase& c : cases) c.ExpectFastMatches();
    });
}

// Pictures whose sums fall on ties k + 1/2 for many samples, where share plans decide by the
// rounding's first-order terms or sum exactly: dark noise (values 0-3), checkerboards of 0 and 1
// and of 100 and 101, and random pixels beside a smooth ramp.
std::vector<std::pair<const char*, std::vector<uint8_t>>> PicturesOfTies(int height, int width)
{
    std::mt19937 random(static_cast<uint32_t>(height * 7919 + width));
    return {
        {"dark noise", MakePlaneFrom(height, width, [&](int, int, int) { return random() % 4; })},
        {"checkerboard 0/1",
         MakePlaneFrom(height, width, [](int y, int x, int) { return (x + y) & 1; })},
        {"checkerboard 100/101",
         MakePlaneFrom(height, width, [](int y, int x, int c) { return 100 + ((x + y + c) & 1); })},
        {"noise and ramp", MakePlaneFrom(height, width, [&](int y, int x, int c) {
             return x < width / 2 ? static_cast<int>(random() & 255) : (x + 3 * y + c) & 255;
         })}};
}

TEST_F(SimdMatchesScalar, ResampleOnPicturesOfTies)
{
    // Share plans (two taps and two sweeps, cell denominators powers of two from 2 to 64): halving
    // (D = 4, a quarter of all sums ties), 1024 x 768 up to 1440 x 1080 (D = 1024, 32-bit lanes),
    // 1280 x 720 up to HD (D = 4), reductions by 4/3 (2560 x 1440 to HD, D = 16) and 8/7 both
    // ways (D = 64), 8 x 4 up to 12 x 6 (rows shorter than a block). Then the general plan on the
    // same pictures: even denominators that are no powers of two (720 x 576 up to HD, D = 24), an
    // odd one (D = 15, no ties at all), whole ratios across (D = 4) or both ways (D = 1).
    const int shapes[][4] = {{2160, 3840, 1080, 1920}, {768, 1024, 1080, 1440},
                             {720, 1280, 1080, 1920},  {1440, 2560, 1080, 1920},
                             {448, 512, 392, 448},     {4, 8, 6, 12},
                             {576, 720, 1080, 1920},   {35, 63, 49, 84},
                             {480, 640, 1080, 1920},   {90, 160, 180, 320}};
    for (const auto& shape : shapes) {
        std::vector<std::pair<std::string, ResampleCase>> cases;
        for (auto& [name, plane] : PicturesOfTies(shape[0], shape[1]))
            cases.emplace_back(name, ResampleCase(shape[0], shape[1], shape[2], shape[3], plane));
        cases.emplace_back("random", ResampleCase(shape[0], shape[1], shape[2], shape[3], 42));
        ForEachVariant([&] {
            for (const auto& [name, c] : cases) {
                SCOPED_TRACE(name);
                c.ExpectFastMatches();
            }
        });
    }
}

TEST_F(SimdMatchesScalar, ResampleSharePlansAtTheirEdges)
{
    // Cell denominators at the share plans' limit (64 across or down) and past it (128: the general
    // plan), D = 128 (the last with 16-bit lanes) and 256; rows so short that every window reaches
    // past the row's last pixel; halving to widths that end a block early or late; reductions by
    // D ÷ (D − 1) (two taps at most) and by 8/5 (three: the general plan); single rows.
    std::vector<ResampleCase> cases;
    uint32_t seed = 900;
    for (auto [sw, dw] : {std::pair{64, 65},
                          {128, 129},
                          {2, 3},
                          {4, 6},
                          {8, 12},
                          {16, 17},
                          {22, 33},
                          {42, 63},
                          {2, 1},
                          {10, 5},
                          {22, 11},
                          {42, 21},
                          {64, 32},
                          {66, 33},
                          {682, 341},
                          {3842, 1921},
                          {4, 3},
                          {64, 63},
                          {8, 5}})
        for (auto [sh, dh] :
             {std::pair{2, 1}, {2, 3}, {4, 6}, {8, 4}, {64, 65}, {128, 129}, {8, 7}})
            cases.emplace_back(sh, sw, dh, dw, seed++);
    ForEachVariant([&] {
        for (const ResampleCase& c : cases) c.ExpectFastMatches();
    });
}

TEST_F(SimdMatchesScalar, ResampleSharePlansSumEveryListedTieExactly)
{
    // With the tie coefficients 0 every tie is left open, listed by the kernel and summed as the
    // reference sums it: halving (16-bit lanes, and AVX2's two windows a lane), D = 1024 (32-bit
    // lanes), rows ending inside a block.
    ResolveEveryShareTie(true);
    const ResampleCase cases[] = {
        {216, 384, 108, 192, 61}, {96, 128, 135, 180, 62}, {6, 22, 3, 11, 63}, {8, 42, 12, 63, 64}};
    ForEachVariant([&] {
        for (const ResampleCase& c : cases) c.ExpectFastMatches();
    });
    ResolveEveryShareTie(false);
}

TEST_F(SimdMatchesScalar, ResampleUpNearHalves)
{
    // 0 and 1 side by side, stretched to three columns: the middle column takes half of each, so
    // its sums lie a hair either side of the rounding boundary 0.5 (the weights are rounded
    // quotients; for a single pair the sum is just below), and every level must land on the same
    // side as the reference, for widths that fill whole and partial blocks.
    for (int pairs : {1, 2, 5, 8, 9, 64, 641}) {
        const int sw = 2 * pairs, dw = 3 * pairs;
        const auto plane = MakePlaneFrom(1, sw, [](int, int x, int) { return x & 1; });
        std::vector<uint8_t> reference(static_cast<size_t>(dw) * 3);
        ASSERT_EQ(ResampleAreaScalar(plane.data(), 1, sw, reference.data(), 1, dw), 0);
        ForEachVariant([&] { ASSERT_EQ(ResampleQuietly(plane, 1, sw, 1, dw), reference); });
    }
}

}  // namespace

namespace {

// The weight-row functions of the levels this CPU has.
std::vector<std::pair<const char*, WeightRowFn>> WeightRowLevels()
{
    std::vector<std::pair<const char*, WeightRowFn>> levels;
    for (const Variant& variant : FastVariants())
        if (variant.threads == 1 && !variant.vbmi && variant.shares)
            levels.emplace_back(
                variant.level == KernelLevel::Avx2 ? "AVX2" : "AVX-512",
                variant.level == KernelLevel::Avx2 ? WeightRowAvx2 : WeightRowAvx512);
    return levels;
}

// Every weight bit for bit as ((wx × hy) × 4000000) ÷ e computes it with the division.
void ExpectWeightsAsDivided(WeightRowFn weightRow, const std::vector<double>& overlaps, double hy,
                            double e)
{
    std::vector<double> weights(overlaps.size());
    weightRow(overlaps.data(), hy, e, weights.data(), overlaps.size());
    for (size_t i = 0; i < overlaps.size(); ++i) {
        const double expected = ((overlaps[i] * hy) * 4000000.0) / e;
        if (std::memcmp(&weights[i], &expected, sizeof expected) != 0) {
            ADD_FAILURE() << "overlap " << overlaps[i] << ", hy " << hy << ", e " << e << ": got "
                          << weights[i] << ", the division gives " << expected;
            return;
        }
    }
}

}  // namespace

TEST(WeightRows, QuotientsMatchTheDivisionBitForBit)
{
    const auto levels = WeightRowLevels();
    if (levels.empty()) GTEST_SKIP() << "this CPU has no SIMD variant to compare";
    std::mt19937_64 random(20261208);
    for (const auto& [name, weightRow] : levels) {
        SCOPED_TRACE(name);
        // The overlaps and heights of real plans: cells of 1 ÷ n cut by cells of 1 ÷ m, for
        // destination sizes from 1 to 8192, and random overlaps below one cell.
        for (int round = 0; round < 400; ++round) {
            const int dw = 1 + static_cast<int>(random() % 8192);
            const int dh = 1 + static_cast<int>(random() % 8192);
            const int sw = 1 + static_cast<int>(random() % 8192);
            const double e = (1.0 / dw) * (1.0 / dh) * 4000000.0;
            std::vector<double> overlaps(4096);
            for (size_t i = 0; i < overlaps.size(); ++i) {
                if (i % 2 == 0) {
                    const int d = static_cast<int>(random() % dw);
                    const int s = static_cast<int>(random() % sw);
                    const double cut = std::min((s + 1.0) / sw, (d + 1.0) / dw) -
                                       std::max(s / static_cast<double>(sw), d / double(dw));
                    overlaps[i] = cut > 0 ? cut : (d + 1.0) / dw - d / double(dw);
                } else {
                    overlaps[i] = std::ldexp(static_cast<double>(random() >> 11), -53) / dw;
                }
            }
            overlaps[0] = 0.0;  // a padded tap
            const int d = static_cast<int>(random() % dh);
            const double hy = (d + 1.0) / dh - d / static_cast<double>(dh);
            ExpectWeightsAsDivided(weightRow, overlaps, hy, e);
            ExpectWeightsAsDivided(weightRow, overlaps, hy * std::ldexp(1.0, -(round % 7)), e);
        }
    }
}

TEST(WeightRows, ALaneTheCheckRejectsIsDivided)
{
    // An infinite overlap fails the reciprocal's check (its steps give NaN), so its lane takes the
    // division; the finite lanes beside it keep their own quotients. (Lanes 8 to 15 are the
    // reciprocal's, at both levels.)
    for (const auto& [name, weightRow] : WeightRowLevels()) {
        SCOPED_TRACE(name);
        std::vector<double> overlaps(16);
        for (size_t i = 0; i < overlaps.size(); ++i) overlaps[i] = (i + 1) / 1920.0;
        overlaps[3] = overlaps[9] = HUGE_VAL;
        ExpectWeightsAsDivided(weightRow, overlaps, 1.0 / 1080, (1.0 / 1920) * (1.0 / 1080) * 4e6);
    }
}
