// JPEG writing through libjpeg(-turbo), from the caller's blue-green-red rows as they are (no
// conversion pass, no copy of the picture). Baseline, 4:2:0, standard tables scaled by quality.
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>

#include "imgport/jpeg_error.h"
#include "imgport/picture_codec.h"

namespace imgport {
namespace {

// libjpeg's largest side.
constexpr int kMaxJpegSide = 65500;

void IgnoreMessage(j_common_ptr, int) {}

// libjpeg reports errors by longjmp: this function holds no object with a destructor. The output
// block is allocated by libjpeg's memory destination and handed out through output/outputSize.
bool EncodeJpegStream(jpeg_compress_struct* cinfo, const uint8_t* pixels, int height, int width,
                      int quality, unsigned char** output, unsigned long* outputSize)
{
    if (setjmp(reinterpret_cast<JpegErrorManager*>(cinfo->err)->jump)) return false;
    jpeg_create_compress(cinfo);
    jpeg_mem_dest(cinfo, output, outputSize);
    cinfo->image_width = static_cast<JDIMENSION>(width);
    cinfo->image_height = static_cast<JDIMENSION>(height);
    cinfo->input_components = 3;
    cinfo->in_color_space = JCS_EXT_BGR;
    jpeg_set_defaults(cinfo);
    jpeg_set_quality(cinfo, quality, TRUE);
    jpeg_start_compress(cinfo, TRUE);
    size_t rowBytes = size_t(width) * 3;
    while (cinfo->next_scanline < cinfo->image_height) {
        // libjpeg only reads the rows it is given; the cast does not make them writable to it.
        JSAMPROW row = const_cast<JSAMPROW>(pixels + rowBytes * cinfo->next_scanline);
        jpeg_write_scanlines(cinfo, &row, 1);
    }
    jpeg_finish_compress(cinfo);
    return true;
}

}  // namespace

int ClampJpegQuality(int quality)
{
    if (quality < 1) return 1;
    return quality > 100 ? 100 : quality;
}

bool EncodeJpeg(const uint8_t* pixels, int height, int width, int quality,
                std::vector<uint8_t>* file)
{
    if (height > kMaxJpegSide || width > kMaxJpegSide) return false;
    jpeg_compress_struct cinfo;
    std::memset(&cinfo, 0, sizeof(cinfo));
    JpegErrorManager error;
    cinfo.err = jpeg_std_error(&error.base);
    error.base.error_exit = JumpOnJpegError;
    error.base.emit_message = IgnoreMessage;
    unsigned char* output = nullptr;
    unsigned long outputSize = 0;
    bool encoded = EncodeJpegStream(&cinfo, pixels, height, width, ClampJpegQuality(quality),
                                    &output, &outputSize);
    jpeg_destroy_compress(&cinfo);
    if (encoded && output != nullptr) file->assign(output, output + outputSize);
    std::free(output);
    return encoded && !file->empty();
}

}  // namespace imgport
