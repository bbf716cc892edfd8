// libFuzzer entry points, one per loader path; FUZZ_DECODER picks the path at compile time.
// Each decodes the input from memory with a pixel limit of 2^22 (so that huge claimed sizes are
// refused quickly) and releases what it got.
#include <cstdint>
#include <cstdlib>

#include "imgport/malloc_block.h"
#include "imgport/picture_codec.h"

namespace {

constexpr uint64_t kFuzzMaxPixels = uint64_t{1} << 22;

class CFuzzTarget : public imgport::CDecodeTarget {
  public:
    uint64_t MaxPixels() const override { return kFuzzMaxPixels; }

  protected:
    uint8_t* AllocateBlock(const imgport::PictureSize& size) override
    {
        m_block.Reset(std::malloc(size_t{size.height} * size.width * size.bytesPerPixel));
        return m_block.Get();
    }

  private:
    imgport::CMallocBlock m_block;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
#if defined(FUZZ_REDUCED)
    for (imgport::LoadMode mode : {imgport::LoadMode::kQuarter, imgport::LoadMode::kHalf}) {
        imgport::LoadedPicture picture;
        imgport::LoadPictureFromMemory(data, size, mode, kFuzzMaxPixels, &picture);
        ReleaseFrameBlock(picture.pixels);
    }
#else
    CFuzzTarget target;
    FUZZ_DECODER(data, size, target);
#endif
    return 0;
}
