#pragma once
// JPEG files <-> CImage pixels, on libjpeg-turbo's TurboJPEG API.

#include <cstdint>
#include <cstdio>

#include "DecodedPixels.h"

namespace ImageCodec {

// Decodes a baseline or progressive JPEG to RGBA; a truncated or damaged
// file fails (libjpeg would otherwise pad it with grey and warn).
bool ReadJpeg(const char* path, DecodedPixels& out);
// Encodes RGBA rows with 4:2:0 chroma at the quality given; alpha, when
// meaningful, is flattened onto white first.
bool WriteJpeg(FILE* file, uint32_t width, uint32_t height, bool hasAlpha, const uint8_t* rgba, int quality);

}  // namespace ImageCodec
