/* A host of the installed library as another program would be one: compiled and linked with
 * `pkg-config --cflags --libs imgport`, it loads a picture, saves it as BMP, loads that back and
 * checks that the pixels came through unchanged. Prints "WIDTHxHEIGHTxBYTES" of the picture. */
#include <ImgPort.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: imgport_host PICTURE OUT.bmp\n");
        return 2;
    }
    unsigned int width = 0, height = 0, bytesPerPixel = 0;
    unsigned char* pixels = NULL;
    if (ZorGdipLoadImage(argv[1], &width, &height, &bytesPerPixel, &pixels) != 0 || !pixels) {
        fprintf(stderr, "cannot load %s\n", argv[1]);
        return 1;
    }
    if (bytesPerPixel != 3) {
        fprintf(stderr, "%s: %u bytes per pixel, 3 expected\n", argv[1], bytesPerPixel);
        return 1;
    }
    ZorGdipSaveImageBMP(argv[2], (int)width, (int)height, pixels);

    unsigned int backWidth = 0, backHeight = 0, backBytes = 0;
    unsigned char* back = NULL;
    if (ZorGdipLoadImage(argv[2], &backWidth, &backHeight, &backBytes, &back) != 0 || !back) {
        fprintf(stderr, "cannot load the saved %s\n", argv[2]);
        return 1;
    }
    const int same = backWidth == width && backHeight == height && backBytes == bytesPerPixel &&
                     memcmp(back, pixels, (size_t)width * height * bytesPerPixel) == 0;
    ZorGdipDeletImage(&back);
    ZorGdipDeletImage(&pixels);
    if (!same || pixels != NULL) {
        fprintf(stderr, "the saved BMP does not load back as the same picture\n");
        return 1;
    }
    printf("%ux%ux%u\n", width, height, bytesPerPixel);
    return 0;
}
