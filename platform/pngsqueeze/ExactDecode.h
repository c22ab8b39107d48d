#pragma once
// Whether the image codec's decoding of a PNG file (8-bit RGBA in sRGB) is
// the file's own samples with their own meaning, so that writing those
// pixels again loses nothing.

namespace Png {

// True for at most 8 bits a sample, no gamma but sRGB's (the decoder would
// convert another), no ICC profile and no primaries but sRGB's (a file
// written from the pixels would not carry them). False also when the header
// cannot be read.
bool DecodesToItsOwnSamples(const char* path);

}  // namespace Png
