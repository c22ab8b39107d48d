#include "JpegCodec.h"

#include <turbojpeg.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "pelbo/imagecodec/Image.h"

namespace ImageCodec {
namespace {

// A JPEG larger than this is not a picture we would convert; it also keeps
// the whole-file read bounded.
constexpr std::streamoff kMaxFileBytes = 256LL * 1024 * 1024;

class CTurboHandle {
public:
    explicit CTurboHandle(tjhandle handle) : m_handle(handle) {}
    ~CTurboHandle()
    {
        if (m_handle != nullptr)
            tjDestroy(m_handle);
    }
    CTurboHandle(const CTurboHandle&) = delete;
    CTurboHandle& operator=(const CTurboHandle&) = delete;
    tjhandle get() const { return m_handle; }

private:
    tjhandle m_handle;
};

bool ReadWholeFile(const char* path, std::vector<unsigned char>& bytes)
{
    std::ifstream in(std::filesystem::u8path(path), std::ios::binary | std::ios::ate);
    if (!in)
        return false;
    const std::streamoff size = in.tellg();
    if (size <= 0 || size > kMaxFileBytes)
        return false;
    bytes.resize(static_cast<size_t>(size));
    in.seekg(0);
    return static_cast<bool>(in.read(reinterpret_cast<char*>(bytes.data()), size));
}

uint8_t OverWhite(uint8_t channel, uint8_t alpha)
{
    return static_cast<uint8_t>((channel * alpha + 255 * (255 - alpha) + 127) / 255);
}

}  // namespace

bool ReadJpeg(const char* path, DecodedPixels& out)
{
    std::vector<unsigned char> bytes;
    if (!ReadWholeFile(path, bytes))
        return false;
    CTurboHandle handle(tjInitDecompress());
    if (handle.get() == nullptr)
        return false;
    int width = 0;
    int height = 0;
    int subsampling = 0;
    int colorspace = 0;
    if (tjDecompressHeader3(handle.get(), bytes.data(), static_cast<unsigned long>(bytes.size()), &width, &height,
                            &subsampling, &colorspace) != 0)
        return false;
    if (width <= 0 || height <= 0 || !WithinPixelLimit(static_cast<uint64_t>(width), static_cast<uint64_t>(height)))
        return false;
    out.width = static_cast<uint32_t>(width);
    out.height = static_cast<uint32_t>(height);
    out.hasAlpha = false;
    out.rgba.resize(static_cast<size_t>(width) * static_cast<size_t>(height) * 4);
    return tjDecompress2(handle.get(), bytes.data(), static_cast<unsigned long>(bytes.size()), out.rgba.data(), width,
                         0, height, TJPF_RGBA, TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS) == 0;
}

bool WriteJpeg(FILE* file, uint32_t width, uint32_t height, bool hasAlpha, const uint8_t* rgba, int quality)
{
    CTurboHandle handle(tjInitCompress());
    if (handle.get() == nullptr)
        return false;
    const unsigned char* source = rgba;
    int pixelFormat = TJPF_RGBX;
    std::vector<uint8_t> flattened;
    if (hasAlpha) {
        const size_t pixels = static_cast<size_t>(width) * height;
        flattened.resize(pixels * 3);
        for (size_t i = 0; i < pixels; ++i) {
            const uint8_t* px = &rgba[i * 4];
            for (int c = 0; c < 3; ++c)
                flattened[i * 3 + c] = OverWhite(px[c], px[3]);
        }
        source = flattened.data();
        pixelFormat = TJPF_RGB;
    }
    unsigned char* jpeg = nullptr;
    unsigned long jpegSize = 0;
    if (tjCompress2(handle.get(), source, static_cast<int>(width), 0, static_cast<int>(height), pixelFormat, &jpeg,
                    &jpegSize, TJSAMP_420, quality, 0) != 0) {
        tjFree(jpeg);
        return false;
    }
    const bool written = std::fwrite(jpeg, 1, jpegSize, file) == jpegSize;
    tjFree(jpeg);
    return written;
}

}  // namespace ImageCodec
