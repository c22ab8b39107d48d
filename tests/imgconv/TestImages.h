#pragma once
// Pictures made in code for the image tests, and small file helpers. Every
// picture is deterministic (fixed seeds), so a failure repeats.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

#ifdef __linux__
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include "pelbo/compat/TextConvert.h"
#include "pelbo/corekit/Path.h"
#include "pelbo/imagecodec/Image.h"
#include "service/LogCapture.h"

namespace TestImages {

namespace fs = std::filesystem;

// A fresh folder under the tests' temporary root.
inline fs::path ScratchDir(const std::string& name)
{
    LogCapture::UseTemporaryRoot();
    const fs::path root(ToMultiByte(Util::Path::GetRootFolder().GetString(), CP_UTF8));
    const fs::path dir = root / ("img-" + name + "-" + std::to_string(std::random_device()()));
    fs::create_directories(dir);
    return dir;
}

inline void Fill(ImageCodec::CImage& image, uint32_t x, uint32_t y, uint32_t w, uint32_t h, uint8_t r, uint8_t g,
                 uint8_t b, uint8_t a = 255)
{
    for (uint32_t row = y; row < y + h && row < image.Height(); ++row)
        for (uint32_t col = x; col < x + w && col < image.Width(); ++col) {
            uint8_t* px = image.Pixels() + (static_cast<size_t>(row) * image.Width() + col) * 4;
            px[0] = r;
            px[1] = g;
            px[2] = b;
            px[3] = a;
        }
}

// Flat panels and a few colours: compresses well to a palette.
inline ImageCodec::CImage Screenshot(uint32_t w, uint32_t h)
{
    ImageCodec::CImage image;
    EXPECT_TRUE(image.Create(w, h, false));
    Fill(image, 0, 0, w, h / 8, 40, 60, 120);
    Fill(image, 0, h / 8, w / 4, h, 230, 230, 235);
    for (uint32_t i = 0; i < 6; ++i)
        Fill(image, w / 3, h / 5 + i * (h / 9), w / 2, h / 18, static_cast<uint8_t>(30 * i), 140, 90);
    return image;
}

// Smooth gradients with mild grain, like a photograph.
inline ImageCodec::CImage Photo(uint32_t w, uint32_t h, bool alpha = false)
{
    ImageCodec::CImage image;
    EXPECT_TRUE(image.Create(w, h, alpha));
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> grain(-6, 6);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            uint8_t* px = image.Pixels() + (static_cast<size_t>(y) * w + x) * 4;
            auto clamp = [](int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); };
            px[0] = clamp(static_cast<int>(255 * x / w) + grain(rng));
            px[1] = clamp(static_cast<int>(255 * y / h) + grain(rng));
            px[2] = clamp(128 + grain(rng));
            px[3] = alpha ? static_cast<uint8_t>(255 * x / w) : 255;
        }
    return image;
}

// Independent random pixels: no 256-colour palette comes near high quality.
inline ImageCodec::CImage Noise(uint32_t w, uint32_t h)
{
    ImageCodec::CImage image;
    EXPECT_TRUE(image.Create(w, h, false));
    std::mt19937 rng(11);
    for (size_t i = 0; i < static_cast<size_t>(w) * h * 4; ++i)
        image.Pixels()[i] = (i % 4 == 3) ? 255 : static_cast<uint8_t>(rng());
    return image;
}

inline uint32_t Crc32(const uint8_t* data, size_t size)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

inline void PutBE32(std::vector<uint8_t>& out, uint32_t value)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out.push_back(static_cast<uint8_t>(value >> shift));
}

inline void PutChunk(std::vector<uint8_t>& out, const char* type, const std::vector<uint8_t>& data)
{
    PutBE32(out, static_cast<uint32_t>(data.size()));
    std::vector<uint8_t> typed(type, type + 4);
    typed.insert(typed.end(), data.begin(), data.end());
    out.insert(out.end(), typed.begin(), typed.end());
    PutBE32(out, Crc32(typed.data(), typed.size()));
}

// A well-formed PNG (valid CRCs) that declares width x height RGBA pixels
// and carries a few bytes of data.
inline std::vector<uint8_t> PngDeclaring(uint32_t width, uint32_t height)
{
    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> ihdr;
    PutBE32(ihdr, width);
    PutBE32(ihdr, height);
    ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0});
    PutChunk(png, "IHDR", ihdr);
    PutChunk(png, "IDAT", {0x78, 0x9C, 0x63, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01});
    PutChunk(png, "IEND", {});
    return png;
}

// A PNG whose pixel data is stored without compression. rows are the
// file's own samples, row after row for the bit depth and colour type given
// (the filter byte of each row is added here); chunks (type, data) go before
// the pixels.
inline std::vector<uint8_t> StoredPng(uint32_t width, uint32_t height, uint8_t bitDepth, uint8_t colourType,
                                      const std::vector<uint8_t>& rows,
                                      const std::vector<std::pair<const char*, std::vector<uint8_t>>>& chunks = {})
{
    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<uint8_t> ihdr;
    PutBE32(ihdr, width);
    PutBE32(ihdr, height);
    ihdr.insert(ihdr.end(), {bitDepth, colourType, 0, 0, 0});
    PutChunk(png, "IHDR", ihdr);
    for (const auto& chunk : chunks)
        PutChunk(png, chunk.first, chunk.second);
    std::vector<uint8_t> raw;
    const size_t rowBytes = rows.size() / height;
    for (uint32_t y = 0; y < height; ++y) {
        raw.push_back(0);
        raw.insert(raw.end(), rows.begin() + static_cast<std::ptrdiff_t>(y * rowBytes),
                   rows.begin() + static_cast<std::ptrdiff_t>((y + 1) * rowBytes));
    }
    std::vector<uint8_t> zlib = {0x78, 0x01};
    for (size_t at = 0; at < raw.size(); at += 65535) {
        const size_t length = std::min<size_t>(65535, raw.size() - at);
        zlib.push_back(at + length == raw.size() ? 1 : 0);
        for (const uint16_t field : {static_cast<uint16_t>(length), static_cast<uint16_t>(~length)}) {
            zlib.push_back(static_cast<uint8_t>(field));
            zlib.push_back(static_cast<uint8_t>(field >> 8));
        }
        zlib.insert(zlib.end(), raw.begin() + static_cast<std::ptrdiff_t>(at),
                    raw.begin() + static_cast<std::ptrdiff_t>(at + length));
    }
    uint32_t a = 1;
    uint32_t b = 0;
    for (const uint8_t byte : raw) {
        a = (a + byte) % 65521;
        b = (b + a) % 65521;
    }
    PutBE32(zlib, b << 16 | a);
    PutChunk(png, "IDAT", zlib);
    PutChunk(png, "IEND", {});
    return png;
}

inline std::vector<uint8_t> ReadBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteBytes(const fs::path& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Copies the first half of src to dst.
inline void Truncate(const fs::path& src, const fs::path& dst)
{
    std::vector<uint8_t> bytes = ReadBytes(src);
    bytes.resize(bytes.size() / 2);
    WriteBytes(dst, bytes);
}

inline bool IsJpegFile(const fs::path& path)
{
    const auto bytes = ReadBytes(path);
    return bytes.size() > 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF;
}

// Colour type of a PNG's IHDR (3 = palette); -1 when not a PNG.
inline int PngColourType(const fs::path& path)
{
    const auto bytes = ReadBytes(path);
    static const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    if (bytes.size() < 26 || !std::equal(signature, signature + 8, bytes.begin()))
        return -1;
    return bytes[25];
}

// How many entries dir holds (a failed write must leave no temporary file).
inline size_t FileCount(const fs::path& dir)
{
    size_t count = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        (void)entry;
        ++count;
    }
    return count;
}

// While it lives, the calling thread and the threads it starts obey file
// permissions even when the tests run as root: the thread's effective
// CAP_DAC_OVERRIDE is lowered, and raised again at the end. Without it a
// read-only folder is writable to root, and its tests would prove nothing.
class ObeyFilePermissions {
public:
    ObeyFilePermissions() { m_lowered = SetOverride(false); }
    ~ObeyFilePermissions()
    {
        if (m_lowered)
            SetOverride(true);
    }
    ObeyFilePermissions(const ObeyFilePermissions&) = delete;
    ObeyFilePermissions& operator=(const ObeyFilePermissions&) = delete;

private:
    // True when the effective set changed.
    static bool SetOverride(bool on)
    {
#ifdef __linux__
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
        if (syscall(SYS_capget, &header, data) != 0)
            return false;
        constexpr uint32_t bit = 1u << CAP_DAC_OVERRIDE;
        if (((data[0].effective & bit) != 0) == on || (data[0].permitted & bit) == 0)
            return false;
        data[0].effective = on ? (data[0].effective | bit) : (data[0].effective & ~bit);
        return syscall(SYS_capset, &header, data) == 0;
#else
        (void)on;
        return false;
#endif
    }

    bool m_lowered = false;
};

// True when this process can still create files in a folder it made
// read-only (an administrator can): such a test then proves nothing.
inline bool ReadOnlyIsEnforced(const fs::path& dir)
{
    const fs::path probe = dir / "probe";
    { std::ofstream out(probe); }
    const bool written = fs::exists(probe);
    std::error_code ignored;
    fs::remove(probe, ignored);
    return !written;
}

}  // namespace TestImages
