#pragma once
// CImage: one decoded picture as 8-bit RGBA rows, loaded from and saved to
// PNG or JPEG files. The format of a file is the caller's to name; nothing
// is guessed from the name or the content.
//
// Pictures larger than kMaxPixels (or wider or taller than kMaxSide) are
// refused from their declared size, before any pixel memory is taken: a
// small file may declare an enormous picture, and decoding it would exhaust
// memory on a 32-bit client.

#include <cstdint>
#include <vector>

namespace ImageCodec {

enum class Format { Png, Jpeg };

// 40 megapixels: an 8K screenshot (33 MP) still fits, 160 MB of RGBA.
constexpr uint64_t kMaxPixels = 40000000;
// The largest side a JPEG file can have.
constexpr uint32_t kMaxSide = 65500;

// True when a picture of this size may be decoded.
bool WithinPixelLimit(uint64_t width, uint64_t height) noexcept;

class CImage {
public:
    CImage() = default;

    // A blank opaque white picture; false (and an invalid image) when the
    // size is empty, over the limit or cannot be allocated.
    bool Create(uint32_t width, uint32_t height, bool hasAlpha) noexcept;
    // Replaces the picture with the file's; false (and an invalid image) when
    // the file is missing, not of the format, damaged, truncated or too large.
    bool Load(const char* path, Format format) noexcept;
    bool IsValid() const noexcept;
    void Clear() noexcept;

    uint32_t Width() const noexcept { return m_width; }
    uint32_t Height() const noexcept { return m_height; }
    // Whether the alpha channel carries meaning; when false it is 255.
    bool HasAlpha() const noexcept { return m_hasAlpha; }
    // Width() * 4 bytes per row, R G B A, rows top to bottom.
    uint8_t* Pixels() noexcept { return m_pixels.data(); }
    const uint8_t* Pixels() const noexcept { return m_pixels.data(); }

    // 1 to 100 (clamped); used by Save as JPEG. Default 75.
    void SetJpegQuality(int quality) noexcept;
    int JpegQuality() const noexcept { return m_jpegQuality; }

    // Writes the file atomically (see CAtomicFile). JPEG has no alpha: a
    // picture with alpha is flattened onto white. False when the image is
    // invalid or the file cannot be written.
    bool Save(const char* path, Format format) const noexcept;

private:
    uint32_t m_width = 0;
    uint32_t m_height = 0;
    bool m_hasAlpha = false;
    int m_jpegQuality = 75;
    std::vector<uint8_t> m_pixels;
};

}  // namespace ImageCodec
