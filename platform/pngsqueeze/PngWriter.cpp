#include "PngWriter.h"

#include <png.h>
#include <zlib.h>

#include <csetjmp>
#include <vector>

namespace Png {
namespace {

int BitDepthFor(size_t colours)
{
    if (colours <= 2)
        return 1;
    if (colours <= 4)
        return 2;
    if (colours <= 16)
        return 4;
    return 8;
}

// What differs between the files written here.
struct Layout {
    int bitDepth = 8;
    int colourType = PNG_COLOR_TYPE_PALETTE;
    int filters = PNG_FILTER_NONE;
    int memLevel = 8;  // zlib's default
    const png_color* palette = nullptr;
    int paletteSize = 0;
    const png_byte* alphas = nullptr;
    int translucent = 0;
    bool dropAlpha = false;  // RGBA rows written as RGB
};

// libpng reports errors by longjmp to the setjmp below. Everything that
// owns memory lives in the caller, so the jump skips no destructor.
bool WriteWithLibpng(FILE* file, uint32_t width, uint32_t height, const Layout& layout, png_bytep* rows)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (png == nullptr)
        return false;
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_init_io(png, file);
    png_set_compression_level(png, Z_BEST_COMPRESSION);
    png_set_compression_mem_level(png, layout.memLevel);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, layout.filters);
    png_set_IHDR(png, info, width, height, layout.bitDepth, layout.colourType, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (layout.palette != nullptr)
        png_set_PLTE(png, info, layout.palette, layout.paletteSize);
    if (layout.translucent > 0)
        png_set_tRNS(png, info, layout.alphas, layout.translucent, nullptr);
    png_set_gAMA(png, info, 0.45455);
    png_write_info(png, info);
    png_set_packing(png);
    if (layout.dropAlpha)
        png_set_filler(png, 0, PNG_FILLER_AFTER);
    png_write_image(png, rows);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

bool WritePalettePng(FILE* file, const PaletteImage& image)
{
    if (image.palette.empty() || image.palette.size() > 256 ||
        image.indices.size() != static_cast<size_t>(image.width) * image.height)
        return false;
    std::vector<png_color> colours(image.palette.size());
    std::vector<png_byte> alphas(image.palette.size());
    Layout layout;
    for (size_t i = 0; i < image.palette.size(); ++i) {
        colours[i] = {image.palette[i].r, image.palette[i].g, image.palette[i].b};
        alphas[i] = image.palette[i].a;
        if (alphas[i] != 255)
            layout.translucent = static_cast<int>(i) + 1;
    }
    layout.bitDepth = BitDepthFor(image.palette.size());
    layout.memLevel = 5;
    layout.palette = colours.data();
    layout.paletteSize = static_cast<int>(image.palette.size());
    layout.alphas = alphas.data();
    std::vector<png_bytep> rows(image.height);
    for (uint32_t y = 0; y < image.height; ++y)
        rows[y] = const_cast<png_bytep>(&image.indices[static_cast<size_t>(y) * image.width]);
    return WriteWithLibpng(file, image.width, image.height, layout, rows.data());
}

bool WriteTruecolourPng(FILE* file, uint32_t width, uint32_t height, bool hasAlpha, const uint8_t* rgba)
{
    if (width == 0 || height == 0 || rgba == nullptr)
        return false;
    Layout layout;
    layout.colourType = hasAlpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB;
    layout.filters = PNG_ALL_FILTERS;
    layout.dropAlpha = !hasAlpha;
    // libpng only reads the rows; its API is not const-correct.
    std::vector<png_bytep> rows(height);
    for (uint32_t y = 0; y < height; ++y)
        rows[y] = const_cast<png_bytep>(&rgba[static_cast<size_t>(y) * width * 4]);
    return WriteWithLibpng(file, width, height, layout, rows.data());
}

}  // namespace Png
