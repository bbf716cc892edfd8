// JPEG reading through libjpeg(-turbo), decoded straight into blue-green-red rows of the delivered
// buffer (no conversion pass, no intermediate copy). Grey, YCbCr and RGB files decode directly;
// CMYK and YCCK files (Adobe's inverted CMYK included) are converted row by row.
//
// A file that ends before its last scan is refused rather than delivered with grey rows: a picture
// that is partly missing must not reach a frame memory as if it were whole.
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jerror.h>
#include <jpeglib.h>

#include "imgport/jpeg_error.h"
#include "imgport/picture_codec.h"

namespace imgport {
namespace {

// Progressive files with more scans than any encoder writes are hostile: each scan re-reads the
// whole picture, so a file of tiny scans could keep the decoder busy for minutes.
constexpr int kMaxScans = 256;
// Rows handed to libjpeg per call.
constexpr int kRowsPerRead = 16;

// Warnings are silent, except that an early end of the data is treated as an error.
void FilterMessage(j_common_ptr common, int level)
{
    if (level < 0 && common->err->msg_code == JWRN_JPEG_EOF) JumpOnJpegError(common);
    if (level < 0) ++common->err->num_warnings;
}

void LimitScans(j_common_ptr common)
{
    auto* decompress = reinterpret_cast<j_decompress_ptr>(common);
    if (decompress->input_scan_number > kMaxScans) JumpOnJpegError(common);
}

inline uint8_t MultiplyByte(uint32_t a, uint32_t b)
{
    uint32_t t = a * b + 128;
    return static_cast<uint8_t>((t + (t >> 8)) >> 8);
}

// CMYK to blue-green-red. Adobe's files store the inks inverted (255 = no ink).
void ConvertCmykRow(const uint8_t* cmyk, uint32_t width, bool inverted, uint8_t* bgr)
{
    for (uint32_t x = 0; x < width; ++x) {
        uint32_t c = cmyk[0], m = cmyk[1], y = cmyk[2], k = cmyk[3];
        if (!inverted) {
            c = 255 - c;
            m = 255 - m;
            y = 255 - y;
            k = 255 - k;
        }
        bgr[0] = MultiplyByte(y, k);
        bgr[1] = MultiplyByte(m, k);
        bgr[2] = MultiplyByte(c, k);
        cmyk += 4;
        bgr += 3;
    }
}

// libjpeg reports errors by longjmp: this function holds no object with a destructor, and the
// only value it changes after setjmp and reads afterwards (failure) is volatile.
DecodeResult DecodeJpegStream(jpeg_decompress_struct* cinfo, jpeg_progress_mgr* progress,
                              const uint8_t* data, size_t size, CDecodeTarget& target)
{
    volatile DecodeResult failure = DecodeResult::kNoPicture;
    if (setjmp(reinterpret_cast<JpegErrorManager*>(cinfo->err)->jump)) return failure;

    jpeg_create_decompress(cinfo);
    cinfo->progress = progress;  // creating the decompressor clears the field
    jpeg_mem_src(cinfo, data, static_cast<unsigned long>(size));
    if (jpeg_read_header(cinfo, TRUE) != JPEG_HEADER_OK) return DecodeResult::kNoPicture;
    uint32_t fullWidth = cinfo->image_width;
    uint32_t fullHeight = cinfo->image_height;
    if (!PictureFits(fullHeight, fullWidth, 3, target.MaxPixels())) return DecodeResult::kNoPicture;
    // Working memory (progressive coefficients, mostly) stays in proportion to the picture limit.
    cinfo->mem->max_memory_to_use = static_cast<long>(target.MaxPixels() * 8 + (64 << 20));

    bool cmyk = cinfo->jpeg_color_space == JCS_CMYK || cinfo->jpeg_color_space == JCS_YCCK;
    cinfo->out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGR;
    int denominator = target.ChooseScaleDenominator(fullHeight, fullWidth);
    if (denominator == 2 || denominator == 4 || denominator == 8) {
        cinfo->scale_num = 1;
        cinfo->scale_denom = static_cast<unsigned int>(denominator);
    }
    jpeg_calc_output_dimensions(cinfo);
    if (cinfo->output_components != (cmyk ? 4 : 3)) return DecodeResult::kNoPicture;

    PictureSize picture{cinfo->output_height, cinfo->output_width, 3};
    uint8_t* pixels = target.Allocate(picture);
    if (pixels == nullptr) return DecodeResult::kNoMemory;
    failure = DecodeResult::kReadFailed;

    jpeg_start_decompress(cinfo);
    size_t rowBytes = size_t{picture.width} * 3;
    JSAMPROW rows[kRowsPerRead];
    JSAMPARRAY cmykRow = nullptr;
    if (cmyk)
        cmykRow = (*cinfo->mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(cinfo), JPOOL_IMAGE,
                                              picture.width * 4, 1);
    while (cinfo->output_scanline < cinfo->output_height) {
        uint32_t y = cinfo->output_scanline;
        if (cmyk) {
            if (jpeg_read_scanlines(cinfo, cmykRow, 1) != 1) return DecodeResult::kReadFailed;
            ConvertCmykRow(cmykRow[0], picture.width, cinfo->saw_Adobe_marker,
                           pixels + rowBytes * y);
            continue;
        }
        uint32_t count = cinfo->output_height - y;
        if (count > kRowsPerRead) count = kRowsPerRead;
        for (uint32_t i = 0; i < count; ++i) rows[i] = pixels + rowBytes * (y + i);
        if (jpeg_read_scanlines(cinfo, rows, count) == 0) return DecodeResult::kReadFailed;
    }
    jpeg_finish_decompress(cinfo);
    return DecodeResult::kOk;
}

}  // namespace

DecodeResult DecodeJpeg(const uint8_t* data, size_t size, CDecodeTarget& target)
{
    if (size < 3 || data[0] != 0xFF || data[1] != 0xD8) return DecodeResult::kNoPicture;
    jpeg_decompress_struct cinfo;
    std::memset(&cinfo, 0, sizeof(cinfo));
    JpegErrorManager error;
    cinfo.err = jpeg_std_error(&error.base);
    error.base.error_exit = JumpOnJpegError;
    error.base.emit_message = FilterMessage;
    jpeg_progress_mgr progress{};
    progress.progress_monitor = LimitScans;
    DecodeResult result = DecodeJpegStream(&cinfo, &progress, data, size, target);
    jpeg_destroy_decompress(&cinfo);
    return result;
}

}  // namespace imgport
