// Pictures, hosts and helpers shared by the job, emulator and command-line tests.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "block/frame_block.h"
#include "frame/frame.h"
#include "link/progress.h"
#include "link/transfer_jobs.h"
#include "picture/picture.h"
#include "tests/link/scripted_peer.h"
#include "tests/support/temp_folder.h"

// A picture of width × height with a pattern in every channel; with alpha if asked.
inline std::shared_ptr<const Picture> MakeTestPicture(int height, int width, bool withAlpha)
{
    auto picture = std::make_shared<Picture>();
    picture->width = width;
    picture->height = height;
    picture->stride = PaddedStride(width);
    picture->header = MakePictureHeader(width, height);
    picture->colour.assign(static_cast<size_t>(picture->stride) * height, 0);
    if (withAlpha) picture->alpha.assign(picture->colour.size(), 0);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            uint8_t* pixel =
                picture->colour.data() + static_cast<size_t>(y) * picture->stride + x * 3;
            pixel[0] = static_cast<uint8_t>(x * 5 + y);
            pixel[1] = static_cast<uint8_t>(y * 3);
            pixel[2] = static_cast<uint8_t>(255 - x - y);
            if (withAlpha) {
                uint8_t* alpha =
                    picture->alpha.data() + static_cast<size_t>(y) * picture->stride + x * 3;
                alpha[0] = alpha[1] = alpha[2] = static_cast<uint8_t>((x + y) * 9);
            }
        }
    }
    return picture;
}

// The frame a send job must put on the wire for `plane` of `picture`.
inline std::vector<uint8_t> ExpectedFrame(const Picture& picture, const PlaneBytes& plane,
                                          OutputRaster raster, AspectMode aspect,
                                          BlankColor blank = {0, 0, 0})
{
    const RasterSize size = RasterDimensions(raster);
    uint8_t* fitted = nullptr;
    if (FitToRaster(plane.data(), picture.height, picture.width, &fitted, raster, aspect, blank) !=
        0)
        return {};
    std::vector<uint8_t> frame(size_t{static_cast<size_t>(size.width)} * size.height * 2);
    EncodeFrame(fitted, frame.data(), size.height, size.width, size.width > 1000);
    ReleaseFrameBlock(fitted);
    return frame;
}

struct RecordingHost final : JobHost {
    std::vector<std::string> messages;
    std::shared_ptr<const Picture> installed;
    int installs = 0;

    void ShowMessage(const char* text) override { messages.push_back(text); }
    void InstallReceivedPicture(std::shared_ptr<const Picture> picture) override
    {
        installed = std::move(picture);
        ++installs;
    }
};

inline JobSettings LocalSettings(uint16_t port)
{
    JobSettings settings;
    settings.address = {127, 0, 0, 1};
    settings.link = TestLinkOptions(port);
    return settings;
}

// The number of times the completion event was set since the last call (0 or 1: it auto-resets).
inline int TakeCompletionSignals()
{
    auto event = CreateNamedEvent(kCompletionEventName);
    int count = 0;
    while (event->TryWait()) ++count;
    return count;
}

// Reads a frame memory as raw bytes through the link; empty when it holds nothing.
inline std::vector<uint8_t> ReadFrameMemoryBytes(uint16_t port, bool fmem1, int* result = nullptr,
                                                 uint16_t* width = nullptr,
                                                 uint16_t* height = nullptr)
{
    TestInputs inputs;
    inputs.fmem1 = fmem1;
    CSwitcherLink link(inputs, TestLinkOptions(port));
    const int code = link.ReceiveFrame();
    if (result != nullptr) *result = code;
    std::vector<uint8_t> bytes;
    if (code == kTransferOk && link.m_frame != nullptr)
        bytes.assign(link.m_frame,
                     link.m_frame + size_t{link.m_frameWidth} * link.m_frameHeight * 2);
    if (width != nullptr) *width = link.m_frameWidth;
    if (height != nullptr) *height = link.m_frameHeight;
    ReleaseFrameBlock(link.m_frame);
    return bytes;
}
