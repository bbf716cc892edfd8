// Transparency that ImgPort drops, as an alpha plane: a PNG whose tRNS chunk marks a palette entry,
// a grey value or an RGB colour as transparent, or a GIF whose first frame has a transparent
// colour index, loads through ImgPort with 3 bytes per pixel, so it has no alpha plane and cannot
// go as a colour/alpha pair. AddPaletteAlpha reads that transparency from the file with libpng or
// giflib and returns the loaded picture again with an alpha plane built from it; ImgPort itself
// and what it delivers stay as they are.
//
// The alpha follows ImgPort's pixel positions exactly:
// - PNG (palette, grey and RGB colour types, interlaced or not): a palette pixel takes its
//   entry's tRNS alpha (0 for a fully transparent entry, entries past the tRNS list 255); a grey
//   or RGB pixel whose stored samples equal the tRNS value gets 0 and every other pixel 255. For
//   16-bit files the 16-bit samples are compared, before ImgPort scales them to 8 bits.
// - GIF: the first frame placed on the logical screen (grown to hold the frame, as ImgPort does);
//   pixels of the frame with the transparent index get 0, the others 255. Screen pixels outside
//   the frame, which ImgPort fills with the background colour, get 0 when the screen's background
//   index is the transparent index and 255 otherwise.
//
// The codec libraries are linked to this module (target `palettealpha`), not to `picture`, so
// that only the programs that offer it carry them. Toolkit-free.
#pragma once

#include <memory>

#include "picture/picture.h"

// Results of AddPaletteAlpha; 0 is success. PaletteAlphaText gives the operator's text for each.
enum PaletteAlphaResult {
    kPaletteAlphaAdded = 0,
    // Nothing to add: not a PNG or GIF, no tRNS chunk or transparent index, or no pixel of the
    // picture is transparent.
    kPaletteAlphaNothingToAdd = 1,
    kPaletteAlphaHasAlpha = 2,     // the picture already has an alpha plane
    kPaletteAlphaUnreadable = 3,   // the file cannot be opened or decoded, or is too large
    kPaletteAlphaSizeChanged = 4,  // the file's size no longer matches the picture's
    kPaletteAlphaNoMemory = 5,
};

// One fixed English text per result ("" for kPaletteAlphaAdded).
const char* PaletteAlphaText(int result);

// Given the path a picture was loaded from and the picture LoadPicture made of it, sets *withAlpha
// to a new picture with the same header and colour plane and an alpha plane (the alpha byte three
// times per pixel, the picture's padded rows, padding 0) and returns 0. Any other result resets
// *withAlpha. The file is read again; pictures above 2^28 pixels are refused.
int AddPaletteAlpha(const char* path, const Picture& picture,
                    std::shared_ptr<const Picture>* withAlpha);
