#pragma once
// Palette reduction of RGBA pixels; the one place that calls libimagequant.

#include <cstdint>

#include "PaletteImage.h"
#include "QualityRange.h"

namespace Png {

enum class QuantizeOutcome { Done, QualityTooLow, Failed };

QuantizeOutcome Quantize(const uint8_t* rgba, uint32_t width, uint32_t height, const QualityRange& quality,
                         PaletteImage& out);

}  // namespace Png
