// The picture state: loading through the library's entry points, pictures from received frames,
// handing packed rows to the BMP saver, binding the library.
#include "picture/picture.h"

#include <cstring>

#include <gtest/gtest.h>

#include "frame/frame.h"

namespace {

// A stand-in for the library: hands out a packed buffer and records what comes back.
struct FakeLibrary {
    static inline unsigned int width = 0;
    static inline unsigned int height = 0;
    static inline unsigned int bytesPerPixel = 0;
    static inline int loadResult = 0;
    static inline unsigned char* handedOut = nullptr;
    static inline int releases = 0;
    static inline std::vector<uint8_t> saved;
    static inline int savedWidth = 0;
    static inline int saveResult = 0;

    static int Load(const char*, unsigned int* w, unsigned int* h, unsigned int* bpp,
                    unsigned char** pixels)
    {
        *w = width;
        *h = height;
        *bpp = bytesPerPixel;
        *pixels = nullptr;
        if (loadResult != 0) return loadResult;
        const size_t bytes = size_t{width} * height * bytesPerPixel;
        handedOut = new unsigned char[bytes];
        for (size_t i = 0; i < bytes; ++i) handedOut[i] = static_cast<unsigned char>(1 + i % 250);
        *pixels = handedOut;
        return 0;
    }
    static int Delete(unsigned char** pixels)
    {
        EXPECT_EQ(*pixels, handedOut);
        delete[] * pixels;
        *pixels = nullptr;
        ++releases;
        return 0;
    }
    static int Save(const char*, int w, int h, const unsigned char* pixels)
    {
        savedWidth = w;
        saved.assign(pixels, pixels + size_t(w) * h * 3);
        return saveResult;
    }
    static ImgPortApi Api() { return {&Load, &Delete, &Save}; }
    static void Reset(unsigned int w, unsigned int h, unsigned int bpp)
    {
        width = w;
        height = h;
        bytesPerPixel = bpp;
        loadResult = 0;
        releases = 0;
        handedOut = nullptr;
    }
};

}  // namespace

TEST(LoadPictureLayout, AlphaPictureOfOddWidth)
{
    FakeLibrary::Reset(101, 3, 4);
    std::shared_ptr<const Picture> picture;
    ASSERT_EQ(LoadPicture(FakeLibrary::Api(), "x.png", &picture), 0);
    EXPECT_EQ(FakeLibrary::releases, 1);
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->stride, 304);
    ASSERT_EQ(picture->colour.size(), 304u * 3);
    ASSERT_EQ(picture->alpha.size(), 304u * 3);
    for (int y = 0; y < 3; ++y) {
        for (int x = 0; x < 101; ++x) {
            const size_t source = (size_t(y) * 101 + x) * 4;
            const uint8_t* colour = &picture->colour[y * 304 + x * 3];
            const uint8_t* alpha = &picture->alpha[y * 304 + x * 3];
            for (int c = 0; c < 3; ++c) {
                ASSERT_EQ(colour[c], 1 + (source + c) % 250);
                ASSERT_EQ(alpha[c], 1 + (source + 3) % 250);
            }
        }
        EXPECT_EQ(picture->colour[y * 304 + 303], 0);
        EXPECT_EQ(picture->alpha[y * 304 + 303], 0);
    }
    const PictureHeader& header = picture->header;
    EXPECT_EQ(header.size, 40u);
    EXPECT_EQ(header.width, 101);
    EXPECT_EQ(header.height, 3);
    EXPECT_EQ(header.planes, 1);
    EXPECT_EQ(header.bitCount, 24);
    EXPECT_EQ(header.compression, 0u);
    EXPECT_EQ(header.sizeImage, 0u);
    EXPECT_EQ(header.xPelsPerMeter, 100);
    EXPECT_EQ(header.yPelsPerMeter, 100);
    EXPECT_EQ(header.colorsUsed, 0u);
}

TEST(LoadPictureLayout, ColourPictureHasNoAlpha)
{
    FakeLibrary::Reset(4, 2, 3);
    std::shared_ptr<const Picture> picture;
    ASSERT_EQ(LoadPicture(FakeLibrary::Api(), "x.bmp", &picture), 0);
    EXPECT_FALSE(picture->HasAlpha());
    EXPECT_EQ(picture->stride, 12);
    EXPECT_EQ(picture->colour[12], 1 + 12 % 250);
    EXPECT_EQ(FakeLibrary::releases, 1);

    // Width 5: rows of 15 bytes padded to 16 with a zero.
    FakeLibrary::Reset(5, 2, 3);
    ASSERT_EQ(LoadPicture(FakeLibrary::Api(), "x.bmp", &picture), 0);
    ASSERT_EQ(picture->colour.size(), 32u);
    EXPECT_EQ(picture->colour[15], 0);
    EXPECT_EQ(picture->colour[16], 1 + 15 % 250);
    EXPECT_EQ(picture->colour[31], 0);
}

TEST(LoadPictureLayout, FailureLeavesNoPicture)
{
    FakeLibrary::Reset(4, 2, 3);
    std::shared_ptr<const Picture> picture;
    ASSERT_EQ(LoadPicture(FakeLibrary::Api(), "x.bmp", &picture), 0);
    FakeLibrary::loadResult = 2;
    EXPECT_EQ(LoadPicture(FakeLibrary::Api(), "broken.bmp", &picture), 1);
    EXPECT_FALSE(picture);
    // A pixel layout the planes do not know is refused, and the buffer still goes back.
    FakeLibrary::Reset(4, 2, 2);
    EXPECT_EQ(LoadPicture(FakeLibrary::Api(), "odd.bmp", &picture), 1);
    EXPECT_EQ(FakeLibrary::releases, 1);
}

TEST(PictureFromFrameRows, SizesAndEmptyFrames)
{
    std::vector<uint8_t> frame(720 * 2 * 2, 0x80);
    auto picture = PictureFromFrame(frame.data(), 2, 720);
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->stride, 2160);
    EXPECT_EQ(picture->colour.size(), 2160u * 2);
    EXPECT_FALSE(picture->HasAlpha());
    EXPECT_EQ(PictureFromFrame(frame.data(), 0, 720), nullptr);
    EXPECT_EQ(PictureFromFrame(frame.data(), 2, 0), nullptr);
}

// The saver gets packed rows whatever the picture's row padding.
TEST(SavePictureRows, PackedForTheSaver)
{
    Picture picture;
    picture.width = 5;
    picture.height = 2;
    picture.stride = PaddedStride(5);
    picture.colour.assign(picture.stride * 2, 0xEE);  // padding bytes would show as EE
    for (int y = 0; y < 2; ++y)
        for (int i = 0; i < 15; ++i)
            picture.colour[y * picture.stride + i] = static_cast<uint8_t>(y * 15 + i);
    FakeLibrary::saveResult = 0;
    EXPECT_EQ(SavePictureBmp(FakeLibrary::Api(), picture, "out.bmp"), 0);
    ASSERT_EQ(FakeLibrary::saved.size(), 30u);
    for (int i = 0; i < 30; ++i) EXPECT_EQ(FakeLibrary::saved[i], i);
    FakeLibrary::saveResult = 1;
    EXPECT_EQ(SavePictureBmp(FakeLibrary::Api(), picture, "out.bmp"), 1);
}

TEST(BindLibrary, BindsTheThreeExports)
{
    ImgPortApi api;
    ASSERT_EQ(BindImgPort(&api), BindResult::Bound);
    EXPECT_NE(api.loadImage, nullptr);
    EXPECT_NE(api.deleteImage, nullptr);
    EXPECT_NE(api.saveImageBmp, nullptr);
}
