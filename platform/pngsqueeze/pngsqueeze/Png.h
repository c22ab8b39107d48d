#pragma once
// Png: recognises PNG files and recompresses them lossily to a palette of
// at most 256 colours (alpha kept). Paths are narrow text in the system's
// code page (UTF-8 outside Windows). Nothing here throws.

#include "pelbo/pngsqueeze/PngsqueezeExport.h"

namespace Png {

// True when the file begins with the 8-byte PNG signature; the name plays
// no part.
PNGSQUEEZE_API bool Check(const char* path);

// Writes src, a PNG, to dst as a palette PNG. quality is "min-max" on the
// 0-100 scale of JPEG qualities: the fewest colours that reach max are used;
// when even 256 colours stay below min the compression fails and dst is not
// touched. Also accepted: "-max" (min 0), "min-" (max 100) and "N" (max N,
// min 90% of N). dst is replaced atomically, so it is either the old file or
// the complete new one. False on any failure: unreadable, damaged or
// oversized source (see ImageCodec::kMaxPixels), bad quality text, minimum
// not reached, destination not writable.
PNGSQUEEZE_API bool Compress(const char* src, const char* dst, const char* quality);

}  // namespace Png
