#include "PalettePng.h"

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

// libpng reports errors by longjmp to the setjmp below. Everything that
// owns memory lives in the caller, so the jump skips no destructor.
bool WriteWithLibpng(FILE* file, const PaletteImage& image, const png_color* colours, const png_byte* alphas,
                     int translucent, png_bytep* rows)
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
    png_set_compression_mem_level(png, 5);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    png_set_IHDR(png, info, image.width, image.height, BitDepthFor(image.palette.size()), PNG_COLOR_TYPE_PALETTE,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_PLTE(png, info, colours, static_cast<int>(image.palette.size()));
    if (translucent > 0)
        png_set_tRNS(png, info, alphas, translucent, nullptr);
    png_set_gAMA(png, info, 0.45455);
    png_write_info(png, info);
    png_set_packing(png);
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
    int translucent = 0;
    for (size_t i = 0; i < image.palette.size(); ++i) {
        colours[i] = {image.palette[i].r, image.palette[i].g, image.palette[i].b};
        alphas[i] = image.palette[i].a;
        if (alphas[i] != 255)
            translucent = static_cast<int>(i) + 1;
    }
    std::vector<png_bytep> rows(image.height);
    for (uint32_t y = 0; y < image.height; ++y)
        rows[y] = const_cast<png_bytep>(&image.indices[static_cast<size_t>(y) * image.width]);
    return WriteWithLibpng(file, image, colours.data(), alphas.data(), translucent, rows.data());
}

}  // namespace Png
