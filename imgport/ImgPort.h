// ImgPort: picture files to pixel buffers and back, as plain C exports that any host can load by
// name (libImgPort.so).
//
// Loaders deliver packed rows, top row first: 3 bytes per pixel (blue, green, red) or 4 (blue,
// green, red, straight alpha) for pictures with an alpha value in each pixel. A buffer a loader
// returns belongs to the library's heap and goes back through ZorGdipDeletImage exactly once.
// Savers read the caller's packed rows and never change or keep them.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

int ZorGdipDeletImage(unsigned char** pixels);
int ZorGdipLoadImage   (const char* path, unsigned int* width, unsigned int* height,
                        unsigned int* bytesPerPixel, unsigned char** pixels);
int ZorGdipLoadImagePC2(const char* path, unsigned int* width, unsigned int* height,
                        unsigned int* bytesPerPixel, unsigned char** pixels);
int ZorGdipLoadImagePC (const char* path, unsigned int* width, unsigned int* height,
                        unsigned int* bytesPerPixel, unsigned char** pixels);
int ZorGdipSaveImageBMP (const char* path, int width, int height, const unsigned char* pixels);
int ZorGdipSaveImageJPG (const char* path, int width, int height, int quality, const unsigned char* pixels);
int ZorGdipSaveImagePNG (const char* path, int width, int height, int bytesPerPixel, const unsigned char* pixels);
int ZorGdipSaveImageTIFF(const char* path, int width, int height, int bytesPerPixel, const unsigned char* pixels);

#ifdef __cplusplus
}
#endif
