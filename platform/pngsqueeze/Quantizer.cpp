#include "Quantizer.h"

#include <libimagequant.h>

#include <memory>

namespace Png {
namespace {

struct AttrDeleter {
    void operator()(liq_attr* attr) const { liq_attr_destroy(attr); }
};
struct ImageDeleter {
    void operator()(liq_image* image) const { liq_image_destroy(image); }
};
struct ResultDeleter {
    void operator()(liq_result* result) const { liq_result_destroy(result); }
};

// Full Floyd-Steinberg dithering and sRGB output: what "quality" is tuned
// for, and what viewers of web and UI pictures expect.
constexpr float kDithering = 1.0f;
constexpr double kOutputGamma = 0.45455;

}  // namespace

QuantizeOutcome Quantize(const uint8_t* rgba, uint32_t width, uint32_t height, const QualityRange& quality,
                         PaletteImage& out)
{
    std::unique_ptr<liq_attr, AttrDeleter> attr(liq_attr_create());
    if (!attr || liq_set_quality(attr.get(), quality.minimum, quality.maximum) != LIQ_OK)
        return QuantizeOutcome::Failed;
    // libimagequant only reads the pixels; its API is not const-correct.
    std::unique_ptr<liq_image, ImageDeleter> image(liq_image_create_rgba(
        attr.get(), const_cast<uint8_t*>(rgba), static_cast<int>(width), static_cast<int>(height), 0));
    if (!image)
        return QuantizeOutcome::Failed;
    liq_result* raw = nullptr;
    const liq_error quantized = liq_image_quantize(image.get(), attr.get(), &raw);
    std::unique_ptr<liq_result, ResultDeleter> result(raw);
    if (quantized == LIQ_QUALITY_TOO_LOW)
        return QuantizeOutcome::QualityTooLow;
    if (quantized != LIQ_OK || !result)
        return QuantizeOutcome::Failed;
    if (liq_set_dithering_level(result.get(), kDithering) != LIQ_OK ||
        liq_set_output_gamma(result.get(), kOutputGamma) != LIQ_OK)
        return QuantizeOutcome::Failed;

    out.width = width;
    out.height = height;
    out.indices.resize(static_cast<size_t>(width) * height);
    if (liq_write_remapped_image(result.get(), image.get(), out.indices.data(), out.indices.size()) != LIQ_OK)
        return QuantizeOutcome::Failed;
    const liq_palette* palette = liq_get_palette(result.get());
    if (palette == nullptr || palette->count == 0 || palette->count > 256)
        return QuantizeOutcome::Failed;
    out.palette.resize(palette->count);
    for (unsigned i = 0; i < palette->count; ++i)
        out.palette[i] = {palette->entries[i].r, palette->entries[i].g, palette->entries[i].b, palette->entries[i].a};
    return QuantizeOutcome::Done;
}

}  // namespace Png
