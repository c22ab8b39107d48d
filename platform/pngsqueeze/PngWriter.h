#pragma once
// The PNG files pngsqueeze writes: zlib's best level, a gAMA chunk of sRGB's
// gamma (the pixels are sRGB, as the image codec decodes them), nothing
// else beside the pixels.

#include <cstdint>
#include <cstdio>

#include "PaletteImage.h"

namespace Png {

// An indexed PNG: the smallest bit depth that holds the palette, a tRNS
// chunk only as long as the translucent entries, no row filters (they do
// not pay off on palette indices).
bool WritePalettePng(FILE* file, const PaletteImage& image);

// 8-bit RGBA rows as an RGBA PNG, or as RGB (alpha dropped) when hasAlpha is
// false, with libpng's adaptive choice of row filter.
bool WriteTruecolourPng(FILE* file, uint32_t width, uint32_t height, bool hasAlpha, const uint8_t* rgba);

}  // namespace Png
