#pragma once
// Png: recognises PNG files and recompresses them. Built with libimagequant
// (PELBO_WITH_LIBIMAGEQUANT, the default) the recompression is lossy, to a
// palette of at most 256 colours (alpha kept); built without, it is lossless.
// The interface is the same in both builds. Paths are narrow text in the
// system's code page (UTF-8 outside Windows). Nothing here throws.

#include "pelbo/pngsqueeze/PngsqueezeExport.h"

namespace Png {

// True when the file begins with the 8-byte PNG signature; the name plays
// no part.
PNGSQUEEZE_API bool Check(const char* path);

// Writes src, a PNG, to dst as a smaller PNG. quality is "min-max" on the
// 0-100 scale of JPEG qualities; also accepted: "-max" (min 0), "min-" (max
// 100) and "N" (max N, min 90% of N).
//
// Lossy build: dst is a palette PNG with the fewest colours that reach max;
// when even 256 colours stay below min the compression fails and dst is not
// touched.
//
// Lossless build: dst decodes to exactly the pixels of src, so every valid
// range is met. It is src re-encoded at zlib's best level (as a palette when
// the picture has at most 256 colours, else RGB or RGBA with adaptive row
// filters), or a copy of src when that is not smaller, so dst is never
// larger than src. A file whose decoded pixels would not be its own (16 bits
// a sample, a gamma other than sRGB's, an ICC profile or other primaries) is
// copied as it is.
//
// dst is replaced atomically, so it is either the old file or the complete
// new one; src and dst may be the same file. False on any failure:
// unreadable, damaged or oversized source (see ImageCodec::kMaxPixels), bad
// quality text, minimum not reached (lossy build), destination not writable.
PNGSQUEEZE_API bool Compress(const char* src, const char* dst, const char* quality);

}  // namespace Png
