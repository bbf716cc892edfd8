// The deliverable as a host sees it: libImgPort.so opened by name, the eight exports looked up.
#include <string>

#include <dlfcn.h>

#include <gtest/gtest.h>

#include "imgport_test_support.h"

using namespace imgport_test;

namespace {

TEST(SharedLibrary, HostFindsAllEightExportsAndTheyWork)
{
    void* library = dlopen(IMGPORT_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    for (const char* name : {"ZorGdipDeletImage", "ZorGdipLoadImage", "ZorGdipLoadImagePC2",
                             "ZorGdipLoadImagePC", "ZorGdipSaveImageBMP", "ZorGdipSaveImageJPG",
                             "ZorGdipSaveImagePNG", "ZorGdipSaveImageTIFF"})
        EXPECT_NE(dlsym(library, name), nullptr) << name;
    // Internal names stay inside.
    EXPECT_EQ(dlsym(library, "_ZN7imgport9DecodeBmpEPKhmRNS_13CDecodeTargetE"), nullptr);

    using SaveBmpFn = int (*)(const char*, int, int, const unsigned char*);
    using LoadFn = int (*)(const char*, unsigned*, unsigned*, unsigned*, unsigned char**);
    using DeleteFn = int (*)(unsigned char**);
    auto save = reinterpret_cast<SaveBmpFn>(dlsym(library, "ZorGdipSaveImageBMP"));
    auto load = reinterpret_cast<LoadFn>(dlsym(library, "ZorGdipLoadImage"));
    auto release = reinterpret_cast<DeleteFn>(dlsym(library, "ZorGdipDeletImage"));
    ASSERT_TRUE(save && load && release);
    CTemporaryFolder folder;
    auto pixels = MakePattern(3, 5, 3);
    std::string path = folder.File("host.bmp");
    ASSERT_EQ(save(path.c_str(), 5, 3, pixels.data()), 0);
    unsigned width = 0, height = 0, bytesPerPixel = 0;
    unsigned char* buffer = nullptr;
    ASSERT_EQ(load(path.c_str(), &width, &height, &bytesPerPixel, &buffer), 0);
    EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + pixels.size()), pixels);
    EXPECT_EQ(release(&buffer), 0);
    EXPECT_EQ(buffer, nullptr);
    dlclose(library);
}

}  // namespace
