#include "picture/palette_alpha.h"

#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include <sys/stat.h>

#include <gif_lib.h>
#include <png.h>

#include "frame/frame.h"

namespace {

// The largest picture ImgPort delivers; nothing larger can have been loaded.
constexpr uint64_t kMaxPixels = uint64_t{1} << 28;

// Owns a file opened for reading.
class CReadFile {
  public:
    explicit CReadFile(const char* path)
        : m_file(std::fopen(path, "rbe"))
    {
    }
    ~CReadFile()
    {
        if (m_file != nullptr) std::fclose(m_file);
    }
    CReadFile(const CReadFile&) = delete;
    CReadFile& operator=(const CReadFile&) = delete;
    FILE* Get() const { return m_file; }

  private:
    FILE* m_file;
};

// The alpha plane being filled: the picture's padded rows, the alpha byte three times per pixel.
struct AlphaTarget {
    uint8_t* rows = nullptr;
    size_t stride = 0;
    uint32_t height = 0;
    uint32_t width = 0;
    bool anyTransparent = false;
};

inline void PutAlpha(AlphaTarget* target, uint32_t y, uint32_t x, uint8_t alpha)
{
    uint8_t* pixel = target->rows + target->stride * y + size_t{x} * 3;
    pixel[0] = pixel[1] = pixel[2] = alpha;
    if (alpha != 255) target->anyTransparent = true;
}

// ---- PNG ----

// What the header and the tRNS chunk say, read before any row.
struct PngTransparency {
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    int bitDepth = 0;
    int colorType = 0;
    int interlace = 0;
    bool present = false;
    int entries = 0;                        // palette: alpha values listed in tRNS
    png_byte alpha[256] = {};               // palette: alpha of entry i
    unsigned grey = 0;                      // grey: the transparent sample, at the file's bit depth
    unsigned red = 0, green = 0, blue = 0;  // RGB: the transparent colour, likewise
    size_t rowBytes = 0;                    // one row as read: one byte per sample below 8 bits
};

void IgnoreWarning(png_structp, png_const_charp) {}
[[noreturn]] void JumpOnError(png_structp png, png_const_charp)
{
    png_longjmp(png, 1);
}

// libpng reports errors by longjmp: this function and the next hold no object with a destructor,
// and nothing they change after setjmp is read after a jump.
bool ReadPngTransparency(png_structp png, png_infop info, PngTransparency* found)
{
    if (setjmp(png_jmpbuf(png))) return false;
    png_read_info(png, info);
    png_get_IHDR(png, info, &found->width, &found->height, &found->bitDepth, &found->colorType,
                 &found->interlace, nullptr, nullptr);
    const bool keyed = found->colorType == PNG_COLOR_TYPE_PALETTE ||
                       found->colorType == PNG_COLOR_TYPE_GRAY ||
                       found->colorType == PNG_COLOR_TYPE_RGB;
    if (!keyed || png_get_valid(png, info, PNG_INFO_tRNS) == 0) return true;

    png_bytep alpha = nullptr;
    int entries = 0;
    png_color_16p colour = nullptr;
    if (png_get_tRNS(png, info, &alpha, &entries, &colour) == 0) return true;
    // Samples are compared at the file's own depth; libpng keys on the same low bits.
    const unsigned mask = found->bitDepth >= 16 ? 0xFFFFu : (1u << found->bitDepth) - 1;
    if (found->colorType == PNG_COLOR_TYPE_PALETTE) {
        if (alpha == nullptr || entries <= 0) return true;
        found->entries = entries > 256 ? 256 : entries;
        std::memcpy(found->alpha, alpha, static_cast<size_t>(found->entries));
    } else {
        if (colour == nullptr) return true;
        found->grey = colour->gray & mask;
        found->red = colour->red & mask;
        found->green = colour->green & mask;
        found->blue = colour->blue & mask;
    }
    found->present = true;
    // One byte per palette index or grey sample below 8 bits, unscaled; 16-bit samples stay two
    // bytes, big-endian. Interlaced rows come pass by pass (no interlace handling).
    if (found->bitDepth < 8) png_set_packing(png);
    png_read_update_info(png, info);
    found->rowBytes = png_get_rowbytes(png, info);
    return true;
}

inline unsigned Sample16(const png_byte* bytes)
{
    return (unsigned{bytes[0]} << 8) | bytes[1];
}

uint8_t PngPixelAlpha(const PngTransparency& key, const png_byte* row, png_uint_32 column)
{
    const bool wide = key.bitDepth == 16;
    switch (key.colorType) {
        case PNG_COLOR_TYPE_PALETTE: {
            const unsigned index = row[column];
            return index < static_cast<unsigned>(key.entries) ? key.alpha[index] : 255;
        }
        case PNG_COLOR_TYPE_GRAY: {
            const unsigned grey = wide ? Sample16(row + size_t{column} * 2) : row[column];
            return grey == key.grey ? 0 : 255;
        }
        default: {  // RGB
            const png_byte* pixel = row + size_t{column} * (wide ? 6 : 3);
            const unsigned red = wide ? Sample16(pixel) : pixel[0];
            const unsigned green = wide ? Sample16(pixel + 2) : pixel[1];
            const unsigned blue = wide ? Sample16(pixel + 4) : pixel[2];
            return red == key.red && green == key.green && blue == key.blue ? 0 : 255;
        }
    }
}

// Reads every row into `row` (rowBytes long) and keys it into the target. An interlaced file is
// read pass by pass; each pass row is placed at its own positions on the full picture, and passes
// without pixels (narrow or short pictures) hold no rows, as libpng skips them.
bool ReadPngRows(png_structp png, const PngTransparency& key, png_bytep row, AlphaTarget* target)
{
    if (setjmp(png_jmpbuf(png))) return false;
    const bool interlaced = key.interlace == PNG_INTERLACE_ADAM7;
    const int passes = interlaced ? 7 : 1;
    for (int pass = 0; pass < passes; ++pass) {
        const png_uint_32 columns = interlaced ? PNG_PASS_COLS(key.width, pass) : key.width;
        const png_uint_32 rows = interlaced ? PNG_PASS_ROWS(key.height, pass) : key.height;
        if (columns == 0 || rows == 0) continue;
        for (png_uint_32 passRow = 0; passRow < rows; ++passRow) {
            png_read_row(png, row, nullptr);
            const png_uint_32 y = interlaced ? PNG_ROW_FROM_PASS_ROW(passRow, pass) : passRow;
            for (png_uint_32 column = 0; column < columns; ++column) {
                const png_uint_32 x = interlaced ? PNG_COL_FROM_PASS_COL(column, pass) : column;
                PutAlpha(target, y, x, PngPixelAlpha(key, row, column));
            }
        }
    }
    return true;
}

// Owns a libpng read struct, set up as ImgPort sets up its own, so that the same chunks are read
// and the same files refused.
class CPngReader {
  public:
    explicit CPngReader(FILE* file)
    {
        m_png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, JumpOnError, IgnoreWarning);
        if (m_png == nullptr) return;
        m_info = png_create_info_struct(m_png);
        if (m_info == nullptr) return;
        png_set_user_limits(m_png, 1u << 28, 1u << 28);
        png_set_chunk_malloc_max(m_png, 8u << 20);
        png_set_keep_unknown_chunks(m_png, PNG_HANDLE_CHUNK_NEVER, nullptr, -1);
        png_init_io(m_png, file);
    }
    ~CPngReader()
    {
        png_destroy_read_struct(&m_png, m_info != nullptr ? &m_info : nullptr, nullptr);
    }
    CPngReader(const CPngReader&) = delete;
    CPngReader& operator=(const CPngReader&) = delete;
    bool Ready() const { return m_png != nullptr && m_info != nullptr; }
    png_structp Png() const { return m_png; }
    png_infop Info() const { return m_info; }

  private:
    png_structp m_png = nullptr;
    png_infop m_info = nullptr;
};

// Fills *plane (allocated here, picture-sized) from the PNG's transparency.
int ReadPngAlpha(FILE* file, const Picture& picture, PlaneBytes* plane, bool* anyTransparent)
{
    CPngReader reader(file);
    if (!reader.Ready()) return kPaletteAlphaNoMemory;
    PngTransparency key;
    if (!ReadPngTransparency(reader.Png(), reader.Info(), &key)) return kPaletteAlphaUnreadable;
    if (!key.present) return kPaletteAlphaNothingToAdd;
    if (uint64_t{key.width} * key.height > kMaxPixels) return kPaletteAlphaUnreadable;
    if (key.width != static_cast<uint32_t>(picture.width) ||
        key.height != static_cast<uint32_t>(picture.height))
        return kPaletteAlphaSizeChanged;
    // The widest row read is 6 bytes a pixel (16-bit RGB); anything else is not a layout above.
    if (key.rowBytes == 0 || key.rowBytes > size_t{key.width} * 6) return kPaletteAlphaUnreadable;

    std::vector<png_byte> row;
    try {
        plane->assign(static_cast<size_t>(picture.stride) * picture.height, 0);
        row.assign(key.rowBytes, 0);
    } catch (const std::bad_alloc&) {
        return kPaletteAlphaNoMemory;
    }
    AlphaTarget target;
    target.rows = plane->data();
    target.stride = static_cast<size_t>(picture.stride);
    target.height = key.height;
    target.width = key.width;
    if (!ReadPngRows(reader.Png(), key, row.data(), &target)) return kPaletteAlphaUnreadable;
    *anyTransparent = target.anyTransparent;
    return kPaletteAlphaAdded;
}

// ---- GIF ----

int ReadFromFile(GifFileType* gif, GifByteType* out, int length)
{
    if (length <= 0) return 0;
    return static_cast<int>(
        std::fread(out, 1, static_cast<size_t>(length), static_cast<FILE*>(gif->UserData)));
}

// Owns an open giflib decoder.
class CGifReader {
  public:
    explicit CGifReader(FILE* file)
    {
        int error = 0;
        m_gif = DGifOpen(file, ReadFromFile, &error);
    }
    ~CGifReader()
    {
        if (m_gif != nullptr) {
            int error = 0;
            DGifCloseFile(m_gif, &error);
        }
    }
    CGifReader(const CGifReader&) = delete;
    CGifReader& operator=(const CGifReader&) = delete;
    GifFileType* Get() const { return m_gif; }

  private:
    GifFileType* m_gif = nullptr;
};

// Reads one extension with all its sub-blocks; a graphic control extension with its
// transparency flag set updates *transparentIndex (the last one before the frame applies).
bool ReadExtension(GifFileType* gif, int* transparentIndex)
{
    int code = 0;
    GifByteType* block = nullptr;
    if (DGifGetExtension(gif, &code, &block) == GIF_ERROR) return false;
    // block[0] is the sub-block's length; a graphic control block holds flags, a 16-bit delay and
    // the transparent index.
    if (code == GRAPHICS_EXT_FUNC_CODE && block != nullptr && block[0] >= 4)
        *transparentIndex = (block[1] & 0x01) != 0 ? block[4] : -1;
    while (block != nullptr) {
        if (DGifGetExtensionNext(gif, &block) == GIF_ERROR) return false;
    }
    return true;
}

int ReadGifFrameAlpha(GifFileType* gif, int transparentIndex, const Picture& picture,
                      PlaneBytes* plane, bool* anyTransparent)
{
    if (DGifGetImageDesc(gif) == GIF_ERROR) return kPaletteAlphaUnreadable;
    const GifImageDesc& frame = gif->Image;
    const ColorMapObject* colors = frame.ColorMap != nullptr ? frame.ColorMap : gif->SColorMap;
    // The frames ImgPort refuses.
    if (colors == nullptr || colors->Colors == nullptr || colors->ColorCount <= 0 ||
        frame.Width <= 0 || frame.Height <= 0 || frame.Left < 0 || frame.Top < 0)
        return kPaletteAlphaUnreadable;
    if (transparentIndex < 0) return kPaletteAlphaNothingToAdd;
    // The screen grows to hold the first frame, as in ImgPort.
    uint64_t width = gif->SWidth > 0 ? static_cast<uint64_t>(gif->SWidth) : 0;
    uint64_t height = gif->SHeight > 0 ? static_cast<uint64_t>(gif->SHeight) : 0;
    if (width < uint64_t(frame.Left) + uint64_t(frame.Width))
        width = uint64_t(frame.Left) + uint64_t(frame.Width);
    if (height < uint64_t(frame.Top) + uint64_t(frame.Height))
        height = uint64_t(frame.Top) + uint64_t(frame.Height);
    if (width * height > kMaxPixels) return kPaletteAlphaUnreadable;
    if (width != static_cast<uint64_t>(picture.width) ||
        height != static_cast<uint64_t>(picture.height))
        return kPaletteAlphaSizeChanged;

    std::vector<GifPixelType> line;
    try {
        plane->assign(static_cast<size_t>(picture.stride) * picture.height, 0);
        line.assign(static_cast<size_t>(frame.Width), 0);
    } catch (const std::bad_alloc&) {
        return kPaletteAlphaNoMemory;
    }
    AlphaTarget target;
    target.rows = plane->data();
    target.stride = static_cast<size_t>(picture.stride);
    target.height = static_cast<uint32_t>(height);
    target.width = static_cast<uint32_t>(width);

    // Outside the frame ImgPort shows the background colour: transparent exactly when the
    // background index is the transparent one.
    const uint8_t outside = gif->SBackGroundColor == transparentIndex ? 0 : 255;
    const uint32_t left = static_cast<uint32_t>(frame.Left);
    const uint32_t top = static_cast<uint32_t>(frame.Top);
    const uint32_t right = left + static_cast<uint32_t>(frame.Width);
    const uint32_t bottom = top + static_cast<uint32_t>(frame.Height);
    for (uint32_t y = 0; y < target.height; ++y) {
        for (uint32_t x = 0; x < target.width; ++x) {
            if (y < top || y >= bottom || x < left || x >= right) PutAlpha(&target, y, x, outside);
        }
    }

    // Interlaced frames store rows 0, 8, 16..., then 4, 12..., then 2, 6..., then 1, 3...
    static const int kPassStart[4] = {0, 4, 2, 1};
    static const int kPassStep[4] = {8, 8, 4, 2};
    const int passes = frame.Interlace ? 4 : 1;
    for (int pass = 0; pass < passes; ++pass) {
        const int start = frame.Interlace ? kPassStart[pass] : 0;
        const int step = frame.Interlace ? kPassStep[pass] : 1;
        for (int y = start; y < frame.Height; y += step) {
            if (DGifGetLine(gif, line.data(), frame.Width) == GIF_ERROR)
                return kPaletteAlphaUnreadable;
            for (int x = 0; x < frame.Width; ++x) {
                PutAlpha(&target, top + static_cast<uint32_t>(y), left + static_cast<uint32_t>(x),
                         line[static_cast<size_t>(x)] == transparentIndex ? 0 : 255);
            }
        }
    }
    *anyTransparent = target.anyTransparent;
    return kPaletteAlphaAdded;
}

int ReadGifAlpha(FILE* file, const Picture& picture, PlaneBytes* plane, bool* anyTransparent)
{
    CGifReader reader(file);
    GifFileType* gif = reader.Get();
    if (gif == nullptr) return kPaletteAlphaUnreadable;
    int transparentIndex = -1;
    for (;;) {
        GifRecordType record = UNDEFINED_RECORD_TYPE;
        if (DGifGetRecordType(gif, &record) == GIF_ERROR) return kPaletteAlphaUnreadable;
        switch (record) {
            case IMAGE_DESC_RECORD_TYPE:
                return ReadGifFrameAlpha(gif, transparentIndex, picture, plane, anyTransparent);
            case EXTENSION_RECORD_TYPE:
                if (!ReadExtension(gif, &transparentIndex)) return kPaletteAlphaUnreadable;
                break;
            default:  // the end of the file before any frame
                return kPaletteAlphaUnreadable;
        }
    }
}

}  // namespace

const char* PaletteAlphaText(int result)
{
    switch (result) {
        case kPaletteAlphaAdded:
            return "";
        case kPaletteAlphaNothingToAdd:
            return "The picture has no transparent colour to use as alpha";
        case kPaletteAlphaHasAlpha:
            return "The picture already has an alpha channel";
        case kPaletteAlphaUnreadable:
            return "The picture file cannot be read again";
        case kPaletteAlphaSizeChanged:
            return "The picture file has changed since it was loaded";
        case kPaletteAlphaNoMemory:
            return "Memory Allocation Error";
        default:
            return "";
    }
}

int AddPaletteAlpha(const char* path, const Picture& picture,
                    std::shared_ptr<const Picture>* withAlpha)
{
    withAlpha->reset();
    if (picture.HasAlpha()) return kPaletteAlphaHasAlpha;
    if (picture.colour.empty() || picture.width <= 0 || picture.height <= 0 ||
        picture.stride != PaddedStride(picture.width) ||
        picture.colour.size() < static_cast<size_t>(picture.stride) * picture.height)
        return kPaletteAlphaNothingToAdd;
    if (path == nullptr) return kPaletteAlphaUnreadable;

    CReadFile file(path);
    struct stat status {};
    if (file.Get() == nullptr || ::fstat(::fileno(file.Get()), &status) != 0 ||
        !S_ISREG(status.st_mode))
        return kPaletteAlphaUnreadable;
    // The format is told by the first bytes, never by the name, as ImgPort tells it.
    uint8_t signature[8] = {};
    const size_t got = std::fread(signature, 1, sizeof signature, file.Get());
    if (std::fseek(file.Get(), 0, SEEK_SET) != 0) return kPaletteAlphaUnreadable;
    static const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    const bool png = got == 8 && std::memcmp(signature, kPngSignature, 8) == 0;
    const bool gif = got >= 6 && (std::memcmp(signature, "GIF87a", 6) == 0 ||
                                  std::memcmp(signature, "GIF89a", 6) == 0);
    if (!png && !gif) return kPaletteAlphaNothingToAdd;

    PlaneBytes alpha;
    bool anyTransparent = false;
    const int result = png ? ReadPngAlpha(file.Get(), picture, &alpha, &anyTransparent)
                           : ReadGifAlpha(file.Get(), picture, &alpha, &anyTransparent);
    if (result != kPaletteAlphaAdded) return result;
    if (!anyTransparent) return kPaletteAlphaNothingToAdd;
    try {
        auto built = std::make_shared<Picture>();
        built->header = picture.header;
        built->width = picture.width;
        built->height = picture.height;
        built->stride = picture.stride;
        built->colour = picture.colour;
        built->alpha = std::move(alpha);
        *withAlpha = std::move(built);
    } catch (const std::bad_alloc&) {
        return kPaletteAlphaNoMemory;
    }
    return kPaletteAlphaAdded;
}
