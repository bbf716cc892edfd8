#include "picture/as_sent.h"

#include <cstdint>
#include <cstdlib>

#include "block/frame_block.h"

namespace {

// Owns a block from AllocateFrameBlock.
class CFrameBlock {
  public:
    explicit CFrameBlock(size_t bytes)
        : m_block(static_cast<uint8_t*>(AllocateFrameBlock(bytes)))
    {
    }
    ~CFrameBlock() { ReleaseFrameBlock(m_block); }
    CFrameBlock(const CFrameBlock&) = delete;
    CFrameBlock& operator=(const CFrameBlock&) = delete;
    uint8_t* Get() const { return m_block; }

  private:
    uint8_t* m_block;
};

// Owns a raster from FitToRaster (malloc).
class CFittedRaster {
  public:
    CFittedRaster() = default;
    ~CFittedRaster() { ReleaseFrameBlock(m_raster); }
    CFittedRaster(const CFittedRaster&) = delete;
    CFittedRaster& operator=(const CFittedRaster&) = delete;
    uint8_t** Out() { return &m_raster; }
    const uint8_t* Get() const { return m_raster; }

  private:
    uint8_t* m_raster = nullptr;
};

// The send job's pass for one plane, up to the wire, then the receive side's decode.
int MakeAsSentPlane(const Picture& picture, const PlaneBytes& plane, OutputRaster raster,
                    AspectMode aspect, BlankColor blank, std::shared_ptr<const Picture>* frame)
{
    const RasterSize size = RasterDimensions(raster);
    // A picture of the raster's own size goes out as a plain copy of its plane, which at a raster
    // width has no row padding; FitToRaster would copy the same bytes.
    const bool rasterSized = picture.width == size.width && picture.height == size.height;
    CFittedRaster fitted;
    const uint8_t* source = plane.data();
    if (!rasterSized) {
        if (FitToRaster(plane.data(), picture.height, picture.width, fitted.Out(), raster, aspect,
                        blank) != 0)
            return kAsSentNoMemory;
        source = fitted.Get();
    }
    CFrameBlock encoded(static_cast<size_t>(size.width) * size.height * 2);
    if (encoded.Get() == nullptr) return kAsSentNoMemory;
    EncodeFrame(source, encoded.Get(), size.height, size.width, size.width > 1000);
    *frame = PictureFromFrame(encoded.Get(), size.height, size.width);
    return *frame ? kAsSentOk : kAsSentNoMemory;
}

}  // namespace

int MakeAsSentFrame(const Picture& picture, OutputRaster raster, AspectMode aspect,
                    BlankColor blank, std::shared_ptr<const Picture>* frame)
{
    frame->reset();
    if (picture.colour.empty() || picture.width <= 0 || picture.height <= 0) return kAsSentNoPlane;
    return MakeAsSentPlane(picture, picture.colour, raster, aspect, blank, frame);
}

int MakeAsSentKeyFrame(const Picture& picture, OutputRaster raster, AspectMode aspect,
                       BlankColor blank, std::shared_ptr<const Picture>* frame)
{
    frame->reset();
    if (!picture.HasAlpha() || picture.width <= 0 || picture.height <= 0) return kAsSentNoPlane;
    return MakeAsSentPlane(picture, picture.alpha, raster, aspect, blank, frame);
}

DisplayAspect RasterDisplayAspect(OutputRaster raster)
{
    switch (raster) {
        case OutputRaster::SD480:
        case OutputRaster::SD576:
            return {4, 3};
        case OutputRaster::HD1080:
        case OutputRaster::HD720:
        default:
            return {16, 9};
    }
}

DisplayRect CentredAspectRect(DisplayAspect aspect, int frameHeight, int frameWidth)
{
    if (aspect.width <= 0 || aspect.height <= 0 || frameWidth <= 0 || frameHeight <= 0) return {};
    const int64_t aw = aspect.width;
    const int64_t ah = aspect.height;
    DisplayRect rect;
    if (int64_t{frameWidth} * ah <= int64_t{frameHeight} * aw) {
        // The frame is relatively taller: the width fills it, bars above and below.
        rect.width = frameWidth;
        rect.height = static_cast<int>((int64_t{frameWidth} * ah * 2 + aw) / (aw * 2));
    } else {
        rect.height = frameHeight;
        rect.width = static_cast<int>((int64_t{frameHeight} * aw * 2 + ah) / (ah * 2));
    }
    // The exact side is within the frame, so rounding it to the nearest pixel stays within too.
    rect.x = (frameWidth - rect.width) / 2;
    rect.y = (frameHeight - rect.height) / 2;
    return rect;
}
