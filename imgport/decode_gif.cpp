// GIF reading through giflib: the first frame only, always 3 bytes per pixel.
//
// The picture has the size of the logical screen. Pixels of the first frame take their palette
// colour, including the transparent entry's own colour (the file's transparency is not a per-pixel
// alpha channel and is dropped, as for every palette picture). Screen pixels outside the first
// frame take the screen's background colour from the global colour table, or black without one.
#include <cstring>
#include <vector>

#include <gif_lib.h>

#include "imgport/picture_codec.h"

namespace imgport {
namespace {

struct MemoryReader {
    const uint8_t* data;
    size_t size;
    size_t position;
};

int ReadFromMemory(GifFileType* gif, GifByteType* out, int length)
{
    auto* reader = static_cast<MemoryReader*>(gif->UserData);
    if (length <= 0) return 0;
    size_t left = reader->size - reader->position;
    size_t count = static_cast<size_t>(length) < left ? static_cast<size_t>(length) : left;
    std::memcpy(out, reader->data + reader->position, count);
    reader->position += count;
    return static_cast<int>(count);
}

// Owns an open giflib decoder.
class CGifDecoder {
  public:
    explicit CGifDecoder(MemoryReader* reader)
    {
        int error = 0;
        m_gif = DGifOpen(reader, ReadFromMemory, &error);
    }
    CGifDecoder(const CGifDecoder&) = delete;
    CGifDecoder& operator=(const CGifDecoder&) = delete;
    ~CGifDecoder()
    {
        if (m_gif != nullptr) {
            int error = 0;
            DGifCloseFile(m_gif, &error);
        }
    }
    GifFileType* Get() const { return m_gif; }

  private:
    GifFileType* m_gif = nullptr;
};

// Skips one extension with all its sub-blocks (transparency is not used, see above).
bool ReadExtension(GifFileType* gif)
{
    int code = 0;
    GifByteType* block = nullptr;
    if (DGifGetExtension(gif, &code, &block) == GIF_ERROR) return false;
    while (block != nullptr) {
        if (DGifGetExtensionNext(gif, &block) == GIF_ERROR) return false;
    }
    return true;
}

DecodeResult DecodeFirstFrame(GifFileType* gif, CDecodeTarget& target)
{
    if (DGifGetImageDesc(gif) == GIF_ERROR) return DecodeResult::kNoPicture;
    const GifImageDesc& frame = gif->Image;
    const ColorMapObject* colors = frame.ColorMap != nullptr ? frame.ColorMap : gif->SColorMap;
    if (colors == nullptr || colors->Colors == nullptr || colors->ColorCount <= 0 ||
        frame.Width <= 0 || frame.Height <= 0 || frame.Left < 0 || frame.Top < 0)
        return DecodeResult::kNoPicture;
    // A screen of size 0 (or smaller than the frame, which some writers produce) grows to hold
    // the first frame.
    uint64_t width = gif->SWidth > 0 ? static_cast<uint64_t>(gif->SWidth) : 0;
    uint64_t height = gif->SHeight > 0 ? static_cast<uint64_t>(gif->SHeight) : 0;
    if (width < uint64_t(frame.Left) + uint64_t(frame.Width))
        width = uint64_t(frame.Left) + uint64_t(frame.Width);
    if (height < uint64_t(frame.Top) + uint64_t(frame.Height))
        height = uint64_t(frame.Top) + uint64_t(frame.Height);
    if (!PictureFits(height, width, 3, target.MaxPixels())) return DecodeResult::kNoPicture;

    PictureSize size{static_cast<uint32_t>(height), static_cast<uint32_t>(width), 3};
    std::vector<GifPixelType> line(static_cast<size_t>(frame.Width));
    uint8_t* pixels = target.Allocate(size);
    if (pixels == nullptr) return DecodeResult::kNoMemory;

    GifColorType background{0, 0, 0};
    if (gif->SColorMap != nullptr && gif->SColorMap->Colors != nullptr &&
        gif->SBackGroundColor >= 0 && gif->SBackGroundColor < gif->SColorMap->ColorCount)
        background = gif->SColorMap->Colors[gif->SBackGroundColor];
    size_t rowBytes = size_t{size.width} * 3;
    for (size_t i = 0; i < size_t{size.height} * size.width; ++i) {
        pixels[i * 3] = background.Blue;
        pixels[i * 3 + 1] = background.Green;
        pixels[i * 3 + 2] = background.Red;
    }

    // Interlaced frames store rows 0, 8, 16..., then 4, 12..., then 2, 6..., then 1, 3...
    static const int kPassStart[4] = {0, 4, 2, 1};
    static const int kPassStep[4] = {8, 8, 4, 2};
    int passes = frame.Interlace ? 4 : 1;
    for (int pass = 0; pass < passes; ++pass) {
        int start = frame.Interlace ? kPassStart[pass] : 0;
        int step = frame.Interlace ? kPassStep[pass] : 1;
        for (int y = start; y < frame.Height; y += step) {
            if (DGifGetLine(gif, line.data(), frame.Width) == GIF_ERROR)
                return DecodeResult::kReadFailed;
            uint8_t* out = pixels + rowBytes * (size_t(frame.Top) + y) + size_t(frame.Left) * 3;
            for (int x = 0; x < frame.Width; ++x) {
                int index = line[x];
                GifColorType c =
                    index < colors->ColorCount ? colors->Colors[index] : GifColorType{0, 0, 0};
                out[0] = c.Blue;
                out[1] = c.Green;
                out[2] = c.Red;
                out += 3;
            }
        }
    }
    return DecodeResult::kOk;
}

}  // namespace

DecodeResult DecodeGif(const uint8_t* data, size_t size, CDecodeTarget& target)
{
    if (size < 6 || (std::memcmp(data, "GIF87a", 6) != 0 && std::memcmp(data, "GIF89a", 6) != 0))
        return DecodeResult::kNoPicture;
    MemoryReader reader{data, size, 0};
    CGifDecoder decoder(&reader);
    GifFileType* gif = decoder.Get();
    if (gif == nullptr) return DecodeResult::kNoPicture;
    for (;;) {
        GifRecordType record = UNDEFINED_RECORD_TYPE;
        if (DGifGetRecordType(gif, &record) == GIF_ERROR) return DecodeResult::kNoPicture;
        switch (record) {
            case IMAGE_DESC_RECORD_TYPE:
                return DecodeFirstFrame(gif, target);
            case EXTENSION_RECORD_TYPE:
                if (!ReadExtension(gif)) return DecodeResult::kNoPicture;
                break;
            default:  // the end of the file before any frame
                return DecodeResult::kNoPicture;
        }
    }
}

}  // namespace imgport
