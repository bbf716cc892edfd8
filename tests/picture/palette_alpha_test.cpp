// Transparency as alpha, with real files: PNGs with tRNS of every keyed colour type and depth,
// interlaced or not, GIFs with a transparent index (frames on and off the screen, interlaced),
// and the PngSuite and giflib corpus files. Colour is loaded through the real libImgPort.so beside
// the test; the alpha plane is compared with the transparent positions the file was written with,
// or for corpus files with libpng's own tRNS expansion and giflib's whole-file reader.
#include "picture/palette_alpha.h"

#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <gif_lib.h>
#include <png.h>

#include <gtest/gtest.h>

#include "frame/frame.h"
#include "tests/support/corpus.h"
#include "tests/support/temp_folder.h"

namespace {

const ImgPortApi& Library()
{
    static ImgPortApi api;
    static const bool bound = BindImgPort(&api) == BindResult::Bound;
    EXPECT_TRUE(bound);
    return api;
}

std::shared_ptr<const Picture> LoadThroughImgPort(const std::string& path)
{
    std::shared_ptr<const Picture> picture;
    EXPECT_EQ(LoadPicture(Library(), path.c_str(), &picture), 0) << path;
    return picture;
}

std::string CorpusFolder(const char* subfolder)
{
    const std::string folder = CorpusDir() + "/" + subfolder;
    std::error_code ignored;
    return std::filesystem::is_directory(folder, ignored) ? folder : std::string();
}

// The expected alpha plane in the picture's padded layout, from one alpha value per pixel.
std::vector<uint8_t> PaddedAlpha(const std::vector<uint8_t>& alpha, int height, int width)
{
    const int stride = PaddedStride(width);
    std::vector<uint8_t> plane(size_t(stride) * height, 0);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
                plane[size_t(y) * stride + x * 3 + c] = alpha[y * width + x];
    return plane;
}

// Loads `path` through ImgPort, adds the alpha and checks it against `expected` (one value per
// pixel); the colour plane and header stay the loaded picture's.
void ExpectAlpha(const std::string& path, const std::vector<uint8_t>& expected)
{
    auto picture = LoadThroughImgPort(path);
    ASSERT_TRUE(picture);
    ASSERT_FALSE(picture->HasAlpha()) << "ImgPort delivers keyed pictures with 3 bytes a pixel";
    std::shared_ptr<const Picture> withAlpha;
    ASSERT_EQ(AddPaletteAlpha(path.c_str(), *picture, &withAlpha), kPaletteAlphaAdded) << path;
    ASSERT_TRUE(withAlpha);
    ASSERT_TRUE(withAlpha->HasAlpha());
    EXPECT_EQ(withAlpha->width, picture->width);
    EXPECT_EQ(withAlpha->stride, picture->stride);
    EXPECT_EQ(0, std::memcmp(&withAlpha->header, &picture->header, sizeof(PictureHeader)));
    EXPECT_TRUE(withAlpha->colour == picture->colour);
    const std::vector<uint8_t> plane(withAlpha->alpha.begin(), withAlpha->alpha.end());
    EXPECT_EQ(plane, PaddedAlpha(expected, picture->height, picture->width)) << path;
}

int AddResult(const std::string& path)
{
    auto picture = LoadThroughImgPort(path);
    if (!picture) return -1;
    std::shared_ptr<const Picture> withAlpha = picture;
    const int result = AddPaletteAlpha(path.c_str(), *picture, &withAlpha);
    if (result != kPaletteAlphaAdded) {
        EXPECT_FALSE(withAlpha);
    }
    return result;
}

// ---- PNG files written here ----

struct PngLayout {
    int width = 1;
    int height = 1;
    int colorType = PNG_COLOR_TYPE_PALETTE;
    int bitDepth = 8;
    bool interlace = false;
    // Samples per pixel, row by row: 1 (index or grey) or 3 (RGB), each at the bit depth.
    std::vector<unsigned> samples;
    std::vector<png_byte> trnsAlpha;  // palette
    bool trnsKey = false;             // grey and RGB
    png_color_16 key{};
};

// libpng reports errors by longjmp: no object with a destructor lives here.
bool WritePngStream(png_structp png, png_infop info, FILE* file, const PngLayout* layout,
                    png_bytep* rows, const png_color* palette, int paletteSize)
{
    if (setjmp(png_jmpbuf(png))) return false;
    png_init_io(png, file);
    png_set_IHDR(png, info, layout->width, layout->height, layout->bitDepth, layout->colorType,
                 layout->interlace ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (paletteSize > 0) png_set_PLTE(png, info, palette, paletteSize);
    if (!layout->trnsAlpha.empty())
        png_set_tRNS(png, info, layout->trnsAlpha.data(),
                     static_cast<int>(layout->trnsAlpha.size()), nullptr);
    if (layout->trnsKey) png_set_tRNS(png, info, nullptr, 0, &layout->key);
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, nullptr);
    return true;
}

bool WritePng(const std::string& path, const PngLayout& layout)
{
    const int channels = layout.colorType == PNG_COLOR_TYPE_RGB ? 3 : 1;
    const size_t rowBytes = (size_t(layout.width) * channels * layout.bitDepth + 7) / 8;
    std::vector<std::vector<png_byte>> rows(layout.height, std::vector<png_byte>(rowBytes, 0));
    for (int y = 0; y < layout.height; ++y) {
        for (int i = 0; i < layout.width * channels; ++i) {
            const unsigned sample = layout.samples[size_t(y) * layout.width * channels + i];
            png_byte* row = rows[y].data();
            if (layout.bitDepth == 16) {
                row[i * 2] = png_byte(sample >> 8);
                row[i * 2 + 1] = png_byte(sample);
            } else if (layout.bitDepth == 8) {
                row[i] = png_byte(sample);
            } else {
                const int perByte = 8 / layout.bitDepth;
                const int shift = 8 - layout.bitDepth * (i % perByte + 1);
                row[i / perByte] |= png_byte(sample << shift);
            }
        }
    }
    std::vector<png_bytep> pointers;
    for (auto& row : rows) pointers.push_back(row.data());
    std::vector<png_color> palette;
    if (layout.colorType == PNG_COLOR_TYPE_PALETTE) {
        for (int i = 0; i < (1 << layout.bitDepth); ++i)
            palette.push_back({png_byte(i * 7), png_byte(255 - i), png_byte(i * 3)});
    }
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    const bool written = WritePngStream(png, info, file, &layout, pointers.data(), palette.data(),
                                        static_cast<int>(palette.size()));
    png_destroy_write_struct(&png, &info);
    std::fclose(file);
    return written;
}

// A sample pattern with every value of the depth, repeated, and the alpha it must give.
PngLayout KeyedPng(int colorType, int bitDepth, int height, int width, bool interlace,
                   std::vector<uint8_t>* expected)
{
    PngLayout layout;
    layout.width = width;
    layout.height = height;
    layout.colorType = colorType;
    layout.bitDepth = bitDepth;
    layout.interlace = interlace;
    const unsigned levels = bitDepth == 16 ? 65536 : 1u << bitDepth;
    expected->assign(size_t(width) * height, 255);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int i = y * width + x;
            if (colorType == PNG_COLOR_TYPE_PALETTE) {
                layout.samples.push_back(unsigned(x * 3 + y) % levels);
            } else if (colorType == PNG_COLOR_TYPE_GRAY) {
                // 16 bits: 0x1234 is keyed, its neighbours 0x1235 and 0x12FF are not, though all
                // three scale to the same 8-bit grey.
                static const unsigned kWide[] = {0x1234, 0x1235, 0x12FF, 0xFFFF, 0x0000};
                layout.samples.push_back(bitDepth == 16 ? kWide[i % 5]
                                                        : unsigned(i * 5 + y) % levels);
            } else {
                const bool keyed = (x + 2 * y) % 3 == 0;
                const unsigned base = bitDepth == 16 ? 0x8000u : 0x80u;
                // Not keyed: one channel differs by one (in the low byte for 16 bits).
                layout.samples.push_back(base);
                layout.samples.push_back(keyed ? base + 1 : base + 1 + ((x % 2) ? 0 : 1));
                layout.samples.push_back(keyed ? base + 2 : base + 2 + ((x % 2) ? 1 : 0));
                if (keyed) (*expected)[i] = 0;
            }
        }
    }
    if (colorType == PNG_COLOR_TYPE_PALETTE) {
        // Entries 0..2 listed: fully transparent, half, opaque; the others have no tRNS value.
        layout.trnsAlpha = {0, 128, 255};
        if (levels < layout.trnsAlpha.size())
            layout.trnsAlpha.resize(levels);  // no more than entries
        for (size_t i = 0; i < expected->size(); ++i) {
            const unsigned index = layout.samples[i];
            (*expected)[i] = index < layout.trnsAlpha.size() ? layout.trnsAlpha[index] : 255;
        }
    } else if (colorType == PNG_COLOR_TYPE_GRAY) {
        layout.trnsKey = true;
        layout.key.gray = png_uint_16(bitDepth == 16 ? 0x1234 : levels - 1);
        for (size_t i = 0; i < expected->size(); ++i)
            (*expected)[i] = layout.samples[i] == layout.key.gray ? 0 : 255;
    } else {
        layout.trnsKey = true;
        const unsigned base = bitDepth == 16 ? 0x8000u : 0x80u;
        layout.key.red = png_uint_16(base);
        layout.key.green = png_uint_16(base + 1);
        layout.key.blue = png_uint_16(base + 2);
    }
    return layout;
}

// ---- GIF files written here ----

struct GifLayout {
    int screenWidth = 1;
    int screenHeight = 1;
    int background = 0;
    int left = 0;
    int top = 0;
    int width = 1;
    int height = 1;
    bool interlace = false;
    bool controlBlock = true;
    int transparent = -1;               // NO_TRANSPARENT_COLOR for none
    std::vector<GifPixelType> indices;  // the frame's rows, top to bottom
};

bool WriteGif(const std::string& path, const GifLayout& layout)
{
    int error = 0;
    GifFileType* gif = EGifOpenFileName(path.c_str(), false, &error);
    if (gif == nullptr) return false;
    ColorMapObject* map = GifMakeMapObject(16, nullptr);
    for (int i = 0; i < 16; ++i)
        map->Colors[i] = {GifByteType(i * 16), GifByteType(255 - i * 16), GifByteType(i * 5)};
    EGifSetGifVersion(gif, true);
    bool ok = EGifPutScreenDesc(gif, layout.screenWidth, layout.screenHeight, 4, layout.background,
                                map) != GIF_ERROR;
    if (ok && layout.controlBlock) {
        GraphicsControlBlock control{};
        control.DisposalMode = DISPOSAL_UNSPECIFIED;
        control.TransparentColor = layout.transparent;
        GifByteType extension[4];
        const size_t length = EGifGCBToExtension(&control, extension);
        ok = EGifPutExtension(gif, GRAPHICS_EXT_FUNC_CODE, int(length), extension) != GIF_ERROR;
    }
    ok = ok && EGifPutImageDesc(gif, layout.left, layout.top, layout.width, layout.height,
                                layout.interlace, nullptr) != GIF_ERROR;
    std::vector<int> order;
    if (layout.interlace) {
        for (auto [start, step] : {std::pair{0, 8}, {4, 8}, {2, 4}, {1, 2}})
            for (int y = start; y < layout.height; y += step) order.push_back(y);
    } else {
        for (int y = 0; y < layout.height; ++y) order.push_back(y);
    }
    for (int y : order) {
        if (!ok) break;
        std::vector<GifPixelType> row(layout.indices.begin() + y * layout.width,
                                      layout.indices.begin() + (y + 1) * layout.width);
        ok = EGifPutLine(gif, row.data(), layout.width) != GIF_ERROR;
    }
    ok = EGifCloseFile(gif, &error) != GIF_ERROR && ok;
    GifFreeMapObject(map);
    return ok;
}

// The alpha ImgPort's placement implies: the screen grown to hold the frame, the frame's
// transparent index 0, outside the frame 0 exactly when the background is the transparent index.
std::vector<uint8_t> ExpectedGifAlpha(const GifLayout& layout, int* height, int* width)
{
    *width = std::max(layout.screenWidth, layout.left + layout.width);
    *height = std::max(layout.screenHeight, layout.top + layout.height);
    const uint8_t outside = layout.background == layout.transparent ? 0 : 255;
    std::vector<uint8_t> alpha(size_t(*width) * *height, outside);
    for (int y = 0; y < layout.height; ++y)
        for (int x = 0; x < layout.width; ++x)
            alpha[size_t(layout.top + y) * *width + layout.left + x] =
                layout.indices[y * layout.width + x] == layout.transparent ? 0 : 255;
    return alpha;
}

GifLayout PatternGif(int screenHeight, int screenWidth, int top, int left, int height, int width)
{
    GifLayout layout;
    layout.screenHeight = screenHeight;
    layout.screenWidth = screenWidth;
    layout.top = top;
    layout.left = left;
    layout.height = height;
    layout.width = width;
    layout.transparent = 5;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            layout.indices.push_back(GifPixelType((x * 7 + y * 3) % 11));
    return layout;
}

}  // namespace

// Every keyed PNG colour type and depth, interlaced or not, at sizes that leave Adam7 passes
// empty (1 × 1, 3 × 2) or odd (11 × 9, 17 × 5).
TEST(PngTransparencyAlpha, EveryKeyedTypeAndDepth)
{
    CTemporaryFolder folder;
    struct Type {
        int colorType;
        std::vector<int> depths;
    };
    const Type types[] = {{PNG_COLOR_TYPE_PALETTE, {1, 2, 4, 8}},
                          {PNG_COLOR_TYPE_GRAY, {1, 2, 4, 8, 16}},
                          {PNG_COLOR_TYPE_RGB, {8, 16}}};
    const std::pair<int, int> sizes[] = {{1, 1}, {2, 3}, {9, 11}, {5, 17}, {33, 8}};
    for (const Type& type : types) {
        for (int depth : type.depths) {
            for (bool interlace : {false, true}) {
                for (const auto& [height, width] : sizes) {
                    std::vector<uint8_t> expected;
                    PngLayout layout =
                        KeyedPng(type.colorType, depth, height, width, interlace, &expected);
                    char name[64];
                    std::snprintf(name, sizeof name, "k%dd%d%c%dx%d.png", type.colorType, depth,
                                  interlace ? 'i' : 'n', width, height);
                    SCOPED_TRACE(name);
                    ASSERT_TRUE(WritePng(folder.File(name), layout));
                    const bool anyTransparent =
                        std::find_if(expected.begin(), expected.end(),
                                     [](uint8_t a) { return a != 255; }) != expected.end();
                    if (anyTransparent)
                        ExpectAlpha(folder.File(name), expected);
                    else
                        EXPECT_EQ(AddResult(folder.File(name)), kPaletteAlphaNothingToAdd);
                }
            }
        }
    }
}

TEST(PngTransparencyAlpha, NothingToAddAndRefusals)
{
    CTemporaryFolder folder;
    std::vector<uint8_t> expected;
    // No tRNS chunk.
    PngLayout plain = KeyedPng(PNG_COLOR_TYPE_RGB, 8, 4, 5, false, &expected);
    plain.trnsKey = false;
    ASSERT_TRUE(WritePng(folder.File("plain.png"), plain));
    EXPECT_EQ(AddResult(folder.File("plain.png")), kPaletteAlphaNothingToAdd);
    // A key colour no pixel has.
    PngLayout unused = KeyedPng(PNG_COLOR_TYPE_RGB, 8, 4, 5, false, &expected);
    unused.key.red = 3;
    ASSERT_TRUE(WritePng(folder.File("unused.png"), unused));
    EXPECT_EQ(AddResult(folder.File("unused.png")), kPaletteAlphaNothingToAdd);
    // A file of another format: a BMP written through the library.
    auto picture = LoadThroughImgPort(folder.File("plain.png"));
    ASSERT_TRUE(picture);
    ASSERT_EQ(SavePictureBmp(Library(), *picture, folder.File("plain.bmp").c_str()), 0);
    EXPECT_EQ(AddResult(folder.File("plain.bmp")), kPaletteAlphaNothingToAdd);

    // The picture no longer matches the file, or the file is gone.
    PngLayout other = KeyedPng(PNG_COLOR_TYPE_RGB, 8, 5, 4, false, &expected);
    ASSERT_TRUE(WritePng(folder.File("other.png"), other));
    std::shared_ptr<const Picture> withAlpha;
    EXPECT_EQ(AddPaletteAlpha(folder.File("other.png").c_str(), *picture, &withAlpha),
              kPaletteAlphaSizeChanged);
    EXPECT_EQ(AddPaletteAlpha(folder.File("missing.png").c_str(), *picture, &withAlpha),
              kPaletteAlphaUnreadable);
    EXPECT_EQ(AddPaletteAlpha(folder.Path().c_str(), *picture, &withAlpha),
              kPaletteAlphaUnreadable);
    // A truncated file (the picture was loaded before it was cut).
    {
        std::filesystem::copy_file(folder.File("other.png"), folder.File("cut.png"));
        auto whole = LoadThroughImgPort(folder.File("cut.png"));
        ASSERT_TRUE(whole);
        std::filesystem::resize_file(folder.File("cut.png"), 60);
        EXPECT_EQ(AddPaletteAlpha(folder.File("cut.png").c_str(), *whole, &withAlpha),
                  kPaletteAlphaUnreadable);
    }
    EXPECT_FALSE(withAlpha);
    EXPECT_STRNE(PaletteAlphaText(kPaletteAlphaNothingToAdd), "");
}

TEST(PngTransparencyAlpha, PictureWithAlphaAlready)
{
    CTemporaryFolder folder;
    // RGBA through libpng's simplified writer; ImgPort loads it with 4 bytes a pixel.
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = 3;
    image.height = 2;
    image.format = PNG_FORMAT_BGRA;
    const std::vector<png_byte> pixels(3 * 2 * 4, 0x40);
    ASSERT_TRUE(png_image_write_to_file(&image, folder.File("rgba.png").c_str(), 0, pixels.data(),
                                        0, nullptr));
    EXPECT_EQ(AddResult(folder.File("rgba.png")), kPaletteAlphaHasAlpha);
}

// PngSuite's tRNS files against libpng's own expansion of tRNS to alpha (its simplified reader);
// the files without tRNS have nothing to add.
TEST(PngTransparencyAlpha, PngSuiteFiles)
{
    SKIP_WITHOUT_CORPUS();
    const std::string suite = CorpusFolder("pngsuite");
    ASSERT_FALSE(suite.empty()) << "no pngsuite folder in " << CorpusDir();
    for (const char* name : {"tbbn0g04", "tbbn2c16", "tbbn3p08", "tbgn2c16", "tbgn3p08", "tbrn2c08",
                             "tbwn0g16", "tbwn3p08", "tbyn3p08", "tm3n3p02", "tp1n3p08"}) {
        const std::string path = suite + "/" + name + ".png";
        SCOPED_TRACE(name);
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        ASSERT_TRUE(png_image_begin_read_from_file(&image, path.c_str()));
        image.format = PNG_FORMAT_BGRA;
        std::vector<png_byte> reference(PNG_IMAGE_SIZE(image));
        ASSERT_TRUE(png_image_finish_read(&image, nullptr, reference.data(), 0, nullptr));
        std::vector<uint8_t> expected;
        for (size_t i = 3; i < reference.size(); i += 4) expected.push_back(reference[i]);
        ExpectAlpha(path, expected);
    }
    for (const char* name :
         {"tp0n0g08", "tp0n2c08", "tp0n3p08", "basn3p08", "basi3p04", "basi0g16", "basn2c16"}) {
        EXPECT_EQ(AddResult(suite + "/" + name + ".png"), kPaletteAlphaNothingToAdd) << name;
    }
    EXPECT_EQ(AddResult(suite + "/basn6a08.png"), kPaletteAlphaHasAlpha);
}

// Frames on the whole screen, inside it with either background, larger than the screen,
// interlaced with rows in every pass, one pixel.
TEST(GifTransparencyAlpha, FramePlacementAndBackground)
{
    CTemporaryFolder folder;
    struct Case {
        const char* name;
        GifLayout layout;
    };
    std::vector<Case> cases;
    cases.push_back({"whole", PatternGif(7, 9, 0, 0, 7, 9)});
    GifLayout interlaced = PatternGif(19, 6, 0, 0, 19, 6);
    interlaced.interlace = true;
    cases.push_back({"interlaced", interlaced});
    GifLayout inside = PatternGif(10, 12, 2, 3, 5, 7);
    inside.background = 5;  // the transparent index: outside is transparent
    cases.push_back({"inside-transparent-background", inside});
    inside.background = 1;
    cases.push_back({"inside-opaque-background", inside});
    GifLayout insideInterlaced = PatternGif(20, 9, 1, 2, 17, 5);
    insideInterlaced.interlace = true;
    insideInterlaced.background = 5;
    cases.push_back({"inside-interlaced", insideInterlaced});
    cases.push_back({"larger-than-screen", PatternGif(3, 4, 1, 2, 6, 5)});
    GifLayout single = PatternGif(1, 1, 0, 0, 1, 1);
    single.transparent = 0;
    cases.push_back({"single", single});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = folder.File(std::string(c.name) + ".gif");
        ASSERT_TRUE(WriteGif(path, c.layout));
        int height = 0, width = 0;
        const std::vector<uint8_t> expected = ExpectedGifAlpha(c.layout, &height, &width);
        auto picture = LoadThroughImgPort(path);
        ASSERT_TRUE(picture);
        ASSERT_EQ(picture->width, width);
        ASSERT_EQ(picture->height, height);
        ExpectAlpha(path, expected);
    }
}

TEST(GifTransparencyAlpha, NothingToAdd)
{
    CTemporaryFolder folder;
    GifLayout noFlag = PatternGif(4, 4, 0, 0, 4, 4);
    noFlag.transparent = NO_TRANSPARENT_COLOR;
    ASSERT_TRUE(WriteGif(folder.File("noflag.gif"), noFlag));
    EXPECT_EQ(AddResult(folder.File("noflag.gif")), kPaletteAlphaNothingToAdd);
    GifLayout noBlock = PatternGif(4, 4, 0, 0, 4, 4);
    noBlock.controlBlock = false;
    ASSERT_TRUE(WriteGif(folder.File("noblock.gif"), noBlock));
    EXPECT_EQ(AddResult(folder.File("noblock.gif")), kPaletteAlphaNothingToAdd);
    GifLayout unused = PatternGif(4, 4, 0, 0, 4, 4);
    unused.transparent = 15;  // an index no pixel uses
    ASSERT_TRUE(WriteGif(folder.File("unused.gif"), unused));
    EXPECT_EQ(AddResult(folder.File("unused.gif")), kPaletteAlphaNothingToAdd);
}

// The giflib corpus against giflib's whole-file reader (which undoes interlacing itself) and its
// own graphic-control decoding of the first frame.
TEST(GifTransparencyAlpha, GiflibCorpusFiles)
{
    SKIP_WITHOUT_CORPUS();
    const std::string corpus = CorpusFolder("giflib");
    ASSERT_FALSE(corpus.empty()) << "no giflib folder in " << CorpusDir();
    int withTransparency = 0;
    for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
        if (entry.path().extension() != ".gif") continue;
        const std::string path = entry.path().string();
        SCOPED_TRACE(path);
        int error = 0;
        GifFileType* gif = DGifOpenFileName(path.c_str(), &error);
        ASSERT_NE(gif, nullptr);
        ASSERT_EQ(DGifSlurp(gif), GIF_OK);
        ASSERT_GE(gif->ImageCount, 1);
        GraphicsControlBlock control{};
        control.TransparentColor = NO_TRANSPARENT_COLOR;
        DGifSavedExtensionToGCB(gif, 0, &control);
        const SavedImage& first = gif->SavedImages[0];
        GifLayout layout;
        layout.screenWidth = gif->SWidth;
        layout.screenHeight = gif->SHeight;
        layout.background = gif->SBackGroundColor;
        layout.left = first.ImageDesc.Left;
        layout.top = first.ImageDesc.Top;
        layout.width = first.ImageDesc.Width;
        layout.height = first.ImageDesc.Height;
        layout.transparent = control.TransparentColor;
        layout.indices.assign(first.RasterBits,
                              first.RasterBits + size_t(layout.width) * layout.height);
        DGifCloseFile(gif, &error);

        int height = 0, width = 0;
        const std::vector<uint8_t> expected = ExpectedGifAlpha(layout, &height, &width);
        const bool anyTransparent =
            layout.transparent >= 0 &&
            std::find(expected.begin(), expected.end(), 0) != expected.end();
        if (anyTransparent) {
            ++withTransparency;
            ExpectAlpha(path, expected);
        } else {
            EXPECT_EQ(AddResult(path), kPaletteAlphaNothingToAdd);
        }
    }
    EXPECT_GE(withTransparency, 1);
}
