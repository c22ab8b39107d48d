#pragma once
// What a decoder hands to CImage: the size and the RGBA rows.

#include <cstdint>
#include <vector>

namespace ImageCodec {

struct DecodedPixels {
    uint32_t width = 0;
    uint32_t height = 0;
    bool hasAlpha = false;
    std::vector<uint8_t> rgba;
};

}  // namespace ImageCodec
