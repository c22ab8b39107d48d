#pragma once
// Writes a PaletteImage as an indexed PNG: the smallest bit depth that holds
// the palette, a tRNS chunk only as long as the translucent entries, no row
// filters (they do not pay off on palette indices) and zlib's best level.

#include <cstdio>

#include "Quantizer.h"

namespace Png {

bool WritePalettePng(FILE* file, const PaletteImage& image);

}  // namespace Png
