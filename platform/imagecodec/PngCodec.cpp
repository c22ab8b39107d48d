#include "PngCodec.h"

#include <png.h>

#include <cstdio>
#include <cstring>
#include <memory>

#include "pelbo/compat/FileOpen.h"

#include "pelbo/imagecodec/Image.h"

namespace ImageCodec {

bool ReadPng(const char* path, DecodedPixels& out)
{
    // Opened here rather than by libpng, which would pass the UTF-8 path to
    // the narrow file API.
    const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(Compat::OpenFile(path, "rb"), &std::fclose);
    if (file == nullptr)
        return false;
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    if (png_image_begin_read_from_stdio(&image, file.get()) == 0)
        return false;
    // The header is all that was read so far: the declared size decides
    // before the pixel buffer exists.
    if (!WithinPixelLimit(image.width, image.height)) {
        png_image_free(&image);
        return false;
    }
    out.width = image.width;
    out.height = image.height;
    out.hasAlpha = (image.format & PNG_FORMAT_FLAG_ALPHA) != 0;
    image.format = PNG_FORMAT_RGBA;
    try {
        out.rgba.resize(PNG_IMAGE_SIZE(image));
    } catch (...) {
        png_image_free(&image);
        return false;
    }
    if (png_image_finish_read(&image, nullptr, out.rgba.data(), 0, nullptr) == 0) {
        png_image_free(&image);
        return false;
    }
    return true;
}

bool WritePng(FILE* file, uint32_t width, uint32_t height, bool hasAlpha, const uint8_t* rgba)
{
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = width;
    image.height = height;
    if (hasAlpha) {
        image.format = PNG_FORMAT_RGBA;
        return png_image_write_to_stdio(&image, file, 0, rgba, 0, nullptr) != 0;
    }
    image.format = PNG_FORMAT_RGB;
    const size_t pixels = static_cast<size_t>(width) * height;
    std::vector<uint8_t> rgb(pixels * 3);
    for (size_t i = 0; i < pixels; ++i)
        std::memcpy(&rgb[i * 3], &rgba[i * 4], 3);
    return png_image_write_to_stdio(&image, file, 0, rgb.data(), 0, nullptr) != 0;
}

}  // namespace ImageCodec
