#pragma once
// The part of Png::Compress that writes the new file, once the source is
// known to be a PNG that decodes and the quality text is valid. The build
// compiles one of two (PELBO_WITH_LIBIMAGEQUANT): RecompressQuantized.cpp
// reduces the picture to a palette with libimagequant, RecompressLossless.cpp
// keeps every pixel and needs libpng alone.

#include "QualityRange.h"
#include "pelbo/imagecodec/Image.h"

namespace Png {

// Writes dst atomically from src, whose pixels are in source (which may be
// cleared on the way). False when nothing was written.
bool Recompress(const char* src, ImageCodec::CImage& source, const QualityRange& quality, const char* dst);

}  // namespace Png
