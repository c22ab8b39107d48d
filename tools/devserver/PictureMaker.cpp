#include "devserver/PictureMaker.h"

#include <png.h>
#include <qrencode.h>

#include <csetjmp>
#include <memory>
#include <vector>

namespace DevServer {
namespace {

void AppendBytes(png_structp png, png_bytep data, png_size_t length)
{
    auto* out = static_cast<std::string*>(png_get_io_ptr(png));
    out->append(reinterpret_cast<const char*>(data), length);
}

void NoFlush(png_structp) {}

// rows: height rows of width * channels bytes. Empty on failure.
std::string EncodePng(unsigned width, unsigned height, int colorType, const std::vector<std::vector<png_byte>>& rows)
{
    std::string out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (png == nullptr)
        return std::string();
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        return std::string();
    }
    std::vector<png_const_bytep> pointers;
    pointers.reserve(rows.size());
    for (const auto& row : rows)
        pointers.push_back(row.data());
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return std::string();
    }
    png_set_write_fn(png, &out, &AppendBytes, &NoFlush);
    png_set_IHDR(png, info, width, height, 8, colorType, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (png_const_bytep row : pointers)
        png_write_row(png, row);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

}  // namespace

std::string MakeHeadPng(unsigned width, unsigned height, uint32_t seed)
{
    if (width == 0 || height == 0)
        return std::string();
    std::vector<std::vector<png_byte>> rows(height, std::vector<png_byte>(static_cast<size_t>(width) * 3));
    const unsigned base = seed * 2654435761u;
    for (unsigned y = 0; y < height; ++y) {
        for (unsigned x = 0; x < width; ++x) {
            png_byte* pixel = &rows[y][static_cast<size_t>(x) * 3];
            pixel[0] = static_cast<png_byte>((base >> 0) + x * 255 / width);
            pixel[1] = static_cast<png_byte>((base >> 8) + y * 255 / height);
            pixel[2] = static_cast<png_byte>((base >> 16) + (x + y) * 127 / (width + height));
        }
    }
    return EncodePng(width, height, PNG_COLOR_TYPE_RGB, rows);
}

std::string MakeQrPng(const std::string& text, unsigned width, std::string* error)
{
    std::unique_ptr<QRcode, void (*)(QRcode*)> code(
        QRcode_encodeData(static_cast<int>(text.size()), reinterpret_cast<const unsigned char*>(text.data()), 0,
                          QR_ECLEVEL_M),
        &QRcode_free);
    if (!code) {
        *error = "the text does not fit a QR code";
        return std::string();
    }
    const unsigned modules = static_cast<unsigned>(code->width);
    const unsigned quiet = 4;
    const unsigned span = modules + 2 * quiet;
    const unsigned scale = width / span > 0 ? width / span : 1;
    const unsigned size = span * scale;
    std::vector<std::vector<png_byte>> rows(size, std::vector<png_byte>(size, 0xFF));
    for (unsigned y = 0; y < modules; ++y) {
        for (unsigned x = 0; x < modules; ++x) {
            if ((code->data[y * modules + x] & 1) == 0)
                continue;
            for (unsigned dy = 0; dy < scale; ++dy) {
                png_byte* row = rows[(y + quiet) * scale + dy].data();
                for (unsigned dx = 0; dx < scale; ++dx)
                    row[(x + quiet) * scale + dx] = 0;
            }
        }
    }
    std::string png = EncodePng(size, size, PNG_COLOR_TYPE_GRAY, rows);
    if (png.empty())
        *error = "PNG encoding failed";
    return png;
}

}  // namespace DevServer
