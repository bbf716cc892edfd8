// What goes to air: the frame a frame memory will hold after a send, as a picture the window can
// show beside the loaded one, and the geometry for drawing it at the raster's display aspect.
//
// The as-sent frame takes the same road as the send job: the plane is fitted to the raster
// (FitToRaster, or a plain copy when the picture already has the raster's size), encoded to
// YCbCr 4:2:2 with the HD coefficients exactly when the raster is wider than 1000 pixels, and
// decoded back as the switcher's frame would be on Get. So the operator sees the scaling, the bars
// in the blank colour and the colour loss of the 4:2:2 round trip before anything is sent.
//
// Toolkit-free; includes the standard library, frame/ and picture/picture.h only. The results are
// new immutable pictures (padded rows, no alpha plane), shared like every other Picture.
#pragma once

#include <memory>

#include "frame/frame.h"
#include "picture/picture.h"

// Results of the as-sent operations; 0 is success.
enum AsSentResult {
    kAsSentOk = 0,
    kAsSentNoMemory =
        1,               // a fitted raster, the frame or the decoded picture could not be allocated
    kAsSentNoPlane = 2,  // no colour plane (no picture), or no alpha plane for the key frame
};

// The frame FMEM 1 (or the chosen frame memory) will hold when `picture`'s colour plane is sent
// with this raster, aspect mode and blank colour. Returns 0 and sets *frame to a picture of the
// raster's size; any other result resets *frame.
int MakeAsSentFrame(const Picture& picture, OutputRaster raster, AspectMode aspect,
                    BlankColor blank, std::shared_ptr<const Picture>* frame);

// The key frame FMEM 2 will hold when `picture` is sent as a colour/alpha pair: the alpha plane
// taken through the same fit, encode and decode (its bars carry the blank colour too, as they do
// on the wire). kAsSentNoPlane for a picture without alpha.
int MakeAsSentKeyFrame(const Picture& picture, OutputRaster raster, AspectMode aspect,
                       BlankColor blank, std::shared_ptr<const Picture>* frame);

// The shape a raster is shown at on a monitor: 16:9 for the HD rasters, 4:3 for the SD ones
// (whose pixels are not square: 720 × 487 and 720 × 576 both fill a 4:3 screen).
struct DisplayAspect {
    int width;
    int height;
};
DisplayAspect RasterDisplayAspect(OutputRaster raster);

// A rectangle in whole pixels of some drawing surface (the window's preview, or a raster).
struct DisplayRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;

    bool operator==(const DisplayRect&) const = default;
};

// The largest rectangle of `aspect` that fits a frame of frameWidth × frameHeight pixels, centred
// in it (an odd spare pixel goes to the right or bottom). Sides are rounded to the nearest pixel
// and never exceed the frame; an empty frame or aspect gives an empty rectangle at 0, 0.
DisplayRect CentredAspectRect(DisplayAspect aspect, int frameHeight, int frameWidth);
