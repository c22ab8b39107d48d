#pragma once
// A picture as palette indices: what the quantiser makes and the palette
// PNG writer writes.

#include <cstdint>
#include <vector>

namespace Png {

struct PaletteColor {
    uint8_t r = 0;
    uint8_t g = 0;
    uint8_t b = 0;
    uint8_t a = 255;
};

// Entries with alpha below 255 come first, so a tRNS chunk can stop at the
// last of them.
struct PaletteImage {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<PaletteColor> palette;
    std::vector<uint8_t> indices;  // width * height, rows top to bottom
};

}  // namespace Png
