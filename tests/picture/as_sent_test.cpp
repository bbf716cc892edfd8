// The as-sent frame against the send job's steps done by hand and against what the job really
// puts into switcher-emu's frame memories; display aspect, the centred aspect rectangle and the
// safe areas.
#include "picture/as_sent.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "block/frame_block.h"
#include "frame/frame.h"
#include "picture/broadcast_safe_areas.h"
#include "tests/link/job_fixtures.h"
#include "tests/support/child_process.h"

namespace {

constexpr OutputRaster kRasters[] = {OutputRaster::HD1080, OutputRaster::HD720, OutputRaster::SD480,
                                     OutputRaster::SD576};

// FitToRaster, EncodeFrame (HD above 1000 pixels) and DecodeFrame, each called by hand.
std::vector<uint8_t> DecodedByHand(const Picture& picture, const PlaneBytes& plane,
                                   OutputRaster raster, AspectMode aspect, BlankColor blank)
{
    const RasterSize size = RasterDimensions(raster);
    uint8_t* fitted = nullptr;
    if (FitToRaster(plane.data(), picture.height, picture.width, &fitted, raster, aspect, blank) !=
        0)
        return {};
    std::vector<uint8_t> frame(size_t(size.width) * size.height * 2);
    EncodeFrame(fitted, frame.data(), size.height, size.width, size.width > 1000);
    ReleaseFrameBlock(fitted);
    std::vector<uint8_t> decoded(size_t(size.width) * size.height * 3);
    DecodeFrame(frame.data(), decoded.data(), size.height, size.width);
    return decoded;
}

std::vector<uint8_t> Bytes(const PlaneBytes& plane)
{
    return std::vector<uint8_t>(plane.begin(), plane.end());
}

const char* RasterName(OutputRaster raster)
{
    switch (raster) {
        case OutputRaster::HD1080:
            return "HD1080";
        case OutputRaster::HD720:
            return "HD720";
        case OutputRaster::SD480:
            return "SD480";
        default:
            return "SD576";
    }
}

}  // namespace

// Every raster, both aspects, awkward picture sizes (odd widths, a single pixel, taller and wider
// than the raster, the raster's own size), colour and key frame, with a blank colour that shows.
TEST(AsSentFrame, MatchesTheSendJobStepsByHand)
{
    const BlankColor blank{200, 30, 90};
    for (OutputRaster raster : kRasters) {
        const RasterSize size = RasterDimensions(raster);
        const std::vector<std::pair<int, int>> pictures = {
            {size.height, size.width}, {1, 1}, {3, 101}, {479, 641}, {1081, 1921}, {200, 7}};
        for (AspectMode aspect : {AspectMode::Full, AspectMode::Keep}) {
            for (const auto& [height, width] : pictures) {
                SCOPED_TRACE(std::string(RasterName(raster)) +
                             (aspect == AspectMode::Keep ? " Keep " : " Full ") +
                             std::to_string(width) + "x" + std::to_string(height));
                auto picture = MakeTestPicture(height, width, true);
                std::shared_ptr<const Picture> frame, key;
                ASSERT_EQ(MakeAsSentFrame(*picture, raster, aspect, blank, &frame), kAsSentOk);
                ASSERT_EQ(MakeAsSentKeyFrame(*picture, raster, aspect, blank, &key), kAsSentOk);
                for (const auto& sent : {frame, key}) {
                    ASSERT_TRUE(sent);
                    EXPECT_EQ(sent->width, size.width);
                    EXPECT_EQ(sent->height, size.height);
                    EXPECT_EQ(sent->stride, size.width * 3);
                    EXPECT_FALSE(sent->HasAlpha());
                    EXPECT_EQ(sent->header.width, size.width);
                    EXPECT_EQ(sent->header.height, size.height);
                }
                EXPECT_EQ(Bytes(frame->colour),
                          DecodedByHand(*picture, picture->colour, raster, aspect, blank));
                EXPECT_EQ(Bytes(key->colour),
                          DecodedByHand(*picture, picture->alpha, raster, aspect, blank));
            }
        }
    }
}

TEST(AsSentFrame, MissingPlanes)
{
    std::shared_ptr<const Picture> frame = MakeTestPicture(2, 2, false);
    auto colourOnly = MakeTestPicture(4, 6, false);
    EXPECT_EQ(MakeAsSentKeyFrame(*colourOnly, OutputRaster::SD576, AspectMode::Keep, {}, &frame),
              kAsSentNoPlane);
    EXPECT_FALSE(frame);
    Picture empty;
    frame = colourOnly;
    EXPECT_EQ(MakeAsSentFrame(empty, OutputRaster::HD720, AspectMode::Full, {}, &frame),
              kAsSentNoPlane);
    EXPECT_FALSE(frame);
}

// What the send job really writes: a pair sent to switcher-emu and read back raw from both frame
// memories, decoded, equals the as-sent frame and key frame; also for a picture of the raster's
// own size, which the job sends without FitToRaster.
TEST(AsSentFrame, EqualsWhatTheJobWrote)
{
    CEmulatorProcess emulator;
    ASSERT_NE(emulator.Port(), 0);
    const BlankColor blank{10, 250, 60};
    struct Case {
        OutputRaster raster;
        AspectMode aspect;
        int height, width;
    };
    const Case cases[] = {{OutputRaster::HD720, AspectMode::Keep, 75, 101},
                          {OutputRaster::SD480, AspectMode::Keep, 300, 211},
                          {OutputRaster::SD576, AspectMode::Full, 576, 720},
                          {OutputRaster::HD1080, AspectMode::Keep, 1080, 1920}};
    for (const Case& c : cases) {
        SCOPED_TRACE(RasterName(c.raster));
        auto picture = MakeTestPicture(c.height, c.width, true);
        JobSettings settings = LocalSettings(emulator.Port());
        settings.raster = c.raster;
        settings.aspect = c.aspect;
        settings.blank = blank;
        settings.rgbaPair = true;
        RecordingHost host;
        CTransferJob job(settings, host);
        job.RunSendJob(picture);
        TakeCompletionSignals();
        ASSERT_EQ(job.m_result, 0) << (host.messages.empty() ? "" : host.messages[0]);

        std::shared_ptr<const Picture> frame, key;
        ASSERT_EQ(MakeAsSentFrame(*picture, c.raster, c.aspect, blank, &frame), kAsSentOk);
        ASSERT_EQ(MakeAsSentKeyFrame(*picture, c.raster, c.aspect, blank, &key), kAsSentOk);
        for (bool fmem1 : {true, false}) {
            uint16_t width = 0, height = 0;
            const std::vector<uint8_t> wire =
                ReadFrameMemoryBytes(emulator.Port(), fmem1, nullptr, &width, &height);
            ASSERT_EQ(wire.size(), size_t(frame->width) * frame->height * 2);
            std::vector<uint8_t> decoded(size_t(width) * height * 3);
            DecodeFrame(wire.data(), decoded.data(), height, width);
            EXPECT_EQ(decoded, Bytes((fmem1 ? frame : key)->colour))
                << (fmem1 ? "FMEM 1" : "FMEM 2");
        }
    }
}

TEST(DisplayAspectOfRasters, HdWideSdFourByThree)
{
    const std::pair<OutputRaster, DisplayAspect> expected[] = {{OutputRaster::HD1080, {16, 9}},
                                                               {OutputRaster::HD720, {16, 9}},
                                                               {OutputRaster::SD480, {4, 3}},
                                                               {OutputRaster::SD576, {4, 3}}};
    for (const auto& [raster, aspect] : expected) {
        EXPECT_EQ(RasterDisplayAspect(raster).width, aspect.width) << RasterName(raster);
        EXPECT_EQ(RasterDisplayAspect(raster).height, aspect.height) << RasterName(raster);
    }
}

TEST(CentredAspectRectangle, LargestCentredFit)
{
    struct Case {
        DisplayAspect aspect;
        int frameHeight, frameWidth;
        DisplayRect expected;
    };
    const Case cases[] = {
        {{16, 9}, 1080, 1920, {0, 0, 1920, 1080}},  // exact
        {{16, 9}, 600, 800, {0, 75, 800, 450}},     // bars above and below
        {{4, 3}, 300, 1000, {300, 0, 400, 300}},    // bars left and right
        {{4, 3}, 800, 600, {0, 175, 600, 450}},
        {{1, 1}, 100, 101, {0, 0, 100, 100}},  // the odd spare column goes right
        {{1, 1}, 102, 100, {0, 1, 100, 100}},
        {{16, 9}, 10, 10, {0, 2, 10, 6}},       // 5.625 rounds to 6
        {{4, 3}, 487, 720, {35, 0, 649, 487}},  // 649.33
        {{16, 9}, 1, 1, {0, 0, 1, 1}},
        {{16, 9}, 0, 100, {}},
        {{16, 9}, 100, -1, {}},
        {{0, 9}, 100, 100, {}},
    };
    for (const Case& c : cases) {
        const DisplayRect rect = CentredAspectRect(c.aspect, c.frameHeight, c.frameWidth);
        EXPECT_EQ(rect, c.expected) << c.frameWidth << "x" << c.frameHeight << " -> " << rect.x
                                    << "," << rect.y << " " << rect.width << "x" << rect.height;
    }
    // Never beyond the frame, whatever the sizes.
    for (int height = 1; height < 60; height += 7) {
        for (int width = 1; width < 90; width += 5) {
            for (DisplayAspect aspect : {DisplayAspect{16, 9}, DisplayAspect{4, 3}}) {
                const DisplayRect rect = CentredAspectRect(aspect, height, width);
                EXPECT_TRUE(rect.x >= 0 && rect.y >= 0 && rect.x + rect.width <= width &&
                            rect.y + rect.height <= height);
                EXPECT_TRUE(rect.width == width || rect.height == height);
            }
        }
    }
}

TEST(SafeAreaRectangles, RasterPixelsAndTargets)
{
    const SafeAreas hd = RasterSafeAreas(OutputRaster::HD1080);
    EXPECT_EQ(hd.action, (DisplayRect{67, 38, 1786, 1004}));
    EXPECT_EQ(hd.graphics, (DisplayRect{96, 54, 1728, 972}));
    const SafeAreas sd = RasterSafeAreas(OutputRaster::SD576);
    EXPECT_EQ(sd.action, (DisplayRect{25, 20, 670, 536}));
    EXPECT_EQ(sd.graphics, (DisplayRect{36, 29, 648, 518}));
    const SafeAreas sd480 = RasterSafeAreas(OutputRaster::SD480);
    EXPECT_EQ(sd480.action, (DisplayRect{25, 17, 670, 453}));  // 452.91
    EXPECT_EQ(sd480.graphics, (DisplayRect{36, 24, 648, 438}));

    // In a window's drawing rectangle, offset from its origin.
    const SafeAreas shown = SafeAreasIn({10, 20, 800, 450});
    EXPECT_EQ(shown.action, (DisplayRect{38, 35, 744, 419}));
    EXPECT_EQ(shown.graphics, (DisplayRect{50, 42, 720, 405}));
    EXPECT_EQ(SafeAreasIn({5, 6, 0, 100}).action, (DisplayRect{5, 6, 0, 0}));

    for (OutputRaster raster : kRasters) {
        const SafeAreas areas = RasterSafeAreas(raster);
        const RasterSize size = RasterDimensions(raster);
        for (const DisplayRect& r : {areas.action, areas.graphics}) {
            EXPECT_LE(std::abs((size.width - r.x - r.width) - r.x), 1) << RasterName(raster);
            EXPECT_LE(std::abs((size.height - r.y - r.height) - r.y), 1) << RasterName(raster);
        }
        EXPECT_GT(areas.graphics.x, areas.action.x);
        EXPECT_GT(areas.graphics.y, areas.action.y);
    }
}
