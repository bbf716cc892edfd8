#include <unistd.h>
#include "imgport/picture_codec.h"
namespace imgport {
DecodeResult DecodeGif(const uint8_t*, size_t, CDecodeTarget&) { return DecodeResult::kNoPicture; }
DecodeResult DecodeTiff(const uint8_t*, size_t, CDecodeTarget&) { return DecodeResult::kNoPicture; }
int ClampJpegQuality(int q) { return q < 1 ? 1 : q > 100 ? 100 : q; }
bool EncodeJpeg(const uint8_t*, int, int, int, std::vector<uint8_t>*) { return false; }
bool EncodePng(const uint8_t*, int, int, int, std::vector<uint8_t>*) { return false; }
bool EncodeTiff(const uint8_t*, int, int, int, int fd, const char*) { close(fd); return false; }
}
