// The libjpeg error manager of the JPEG reader and writer: an error jumps back to the setjmp of
// the call that started the codec, which then releases what it created.
#pragma once

#include <csetjmp>
#include <cstdio>

#include <jpeglib.h>

namespace imgport {

struct JpegErrorManager {
    jpeg_error_mgr base;
    jmp_buf jump;
};

[[noreturn]] inline void JumpOnJpegError(j_common_ptr common)
{
    longjmp(reinterpret_cast<JpegErrorManager*>(common->err)->jump, 1);
}

}  // namespace imgport
