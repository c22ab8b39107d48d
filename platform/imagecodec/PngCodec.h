#pragma once
// PNG files <-> CImage pixels, on libpng's simplified API.

#include <cstdint>
#include <cstdio>

#include "DecodedPixels.h"

namespace ImageCodec {

// Decodes any PNG to 8-bit RGBA (16-bit and gamma-tagged files are brought
// to sRGB); false on any damage or when the size is over the limit.
bool ReadPng(const char* path, DecodedPixels& out);
// Writes RGBA rows as an RGBA PNG, or as RGB when hasAlpha is false.
bool WritePng(FILE* file, uint32_t width, uint32_t height, bool hasAlpha, const uint8_t* rgba);

}  // namespace ImageCodec
