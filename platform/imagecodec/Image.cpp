#include "pelbo/imagecodec/Image.h"

#include <algorithm>
#include <string>

#include "JpegCodec.h"
#include "PngCodec.h"
#include "pelbo/compat/AtomicFile.h"

namespace ImageCodec {

bool WithinPixelLimit(uint64_t width, uint64_t height) noexcept
{
    return width > 0 && height > 0 && width <= kMaxSide && height <= kMaxSide && width * height <= kMaxPixels;
}

bool CImage::Create(uint32_t width, uint32_t height, bool hasAlpha) noexcept
{
    Clear();
    if (!WithinPixelLimit(width, height))
        return false;
    try {
        m_pixels.assign(static_cast<size_t>(width) * height * 4, 255);
    } catch (...) {
        Clear();
        return false;
    }
    m_width = width;
    m_height = height;
    m_hasAlpha = hasAlpha;
    return true;
}

bool CImage::Load(const char* path, Format format) noexcept
{
    Clear();
    if (path == nullptr || *path == '\0')
        return false;
    try {
        DecodedPixels decoded;
        const bool ok = format == Format::Png ? ReadPng(path, decoded) : ReadJpeg(path, decoded);
        if (!ok)
            return false;
        m_width = decoded.width;
        m_height = decoded.height;
        m_hasAlpha = decoded.hasAlpha;
        m_pixels = std::move(decoded.rgba);
    } catch (...) {
        Clear();
        return false;
    }
    return IsValid();
}

bool CImage::IsValid() const noexcept
{
    return m_width > 0 && m_height > 0 && m_pixels.size() == static_cast<size_t>(m_width) * m_height * 4;
}

void CImage::Clear() noexcept
{
    m_width = 0;
    m_height = 0;
    m_hasAlpha = false;
    m_pixels.clear();
    m_pixels.shrink_to_fit();
}

void CImage::SetJpegQuality(int quality) noexcept
{
    m_jpegQuality = std::clamp(quality, 1, 100);
}

bool CImage::Save(const char* path, Format format) const noexcept
{
    if (!IsValid() || path == nullptr || *path == '\0')
        return false;
    try {
        Compat::CAtomicFile out(path);
        FILE* file = out.Open();
        if (file == nullptr)
            return false;
        const bool written = format == Format::Png
                                 ? WritePng(file, m_width, m_height, m_hasAlpha, m_pixels.data())
                                 : WriteJpeg(file, m_width, m_height, m_hasAlpha, m_pixels.data(), m_jpegQuality);
        return written && out.Commit();
    } catch (...) {
        return false;
    }
}

}  // namespace ImageCodec
