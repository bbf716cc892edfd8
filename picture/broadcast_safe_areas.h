// Broadcast safe areas for the preview's overlay: action-safe and graphics-safe (title-safe)
// rectangles, centred in the picture.
//
// Action-safe is 93 % and graphics-safe 90 % of the picture's width and of its height, the same
// figures for 16:9 and 4:3. These are the margins of the current broadcast recommendation for HD
// and SD production: a display may crop up to 3.5 % on each side, so action that matters stays
// within 93 %, and text and logos, which must never be cut, stay within 90 %. (The older 4:3-only
// practice of 90 % and 80 % assumed the overscan of tube sets.)
//
// Header-only; toolkit-free. Rectangles are in whole pixels, rounded to the nearest pixel and
// centred, so the margins left and right (above and below) differ by at most one pixel.
#pragma once

#include <cstdint>

#include "frame/frame.h"
#include "picture/as_sent.h"

inline constexpr int kActionSafePercent = 93;
inline constexpr int kGraphicsSafePercent = 90;

struct SafeAreas {
    DisplayRect action;    // 93 % of width and height
    DisplayRect graphics;  // 90 % of width and height (title-safe)
};

// The `percent` part of `target`, centred in it. An empty target gives an empty rectangle at its
// own origin.
inline DisplayRect CentredPart(const DisplayRect& target, int percent)
{
    DisplayRect part;
    if (target.width <= 0 || target.height <= 0) {
        part.x = target.x;
        part.y = target.y;
        return part;
    }
    part.width = static_cast<int>((int64_t{target.width} * percent + 50) / 100);
    part.height = static_cast<int>((int64_t{target.height} * percent + 50) / 100);
    part.x = target.x + (target.width - part.width) / 2;
    part.y = target.y + (target.height - part.height) / 2;
    return part;
}

// Both safe areas inside a drawing rectangle (for example the one CentredAspectRect gives for the
// preview), in that rectangle's coordinates.
inline SafeAreas SafeAreasIn(const DisplayRect& target)
{
    return {CentredPart(target, kActionSafePercent), CentredPart(target, kGraphicsSafePercent)};
}

// Both safe areas of a raster in its own pixels: for HD1080 action-safe is 1786 × 1004 at
// 67, 38 and graphics-safe 1728 × 972 at 96, 54.
inline SafeAreas RasterSafeAreas(OutputRaster raster)
{
    const RasterSize size = RasterDimensions(raster);
    DisplayRect whole;
    whole.width = size.width;
    whole.height = size.height;
    return SafeAreasIn(whole);
}
