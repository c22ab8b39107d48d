#include "Recompress.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "ExactDecode.h"
#include "PngWriter.h"
#include "pelbo/compat/AtomicFile.h"
#include "pelbo/compat/FileOpen.h"

namespace Png {
namespace {

using FileHandle = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

uint32_t ColourAt(const uint8_t* px)
{
    return uint32_t{px[0]} << 24 | uint32_t{px[1]} << 16 | uint32_t{px[2]} << 8 | px[3];
}

// The picture as exactly its own colours, translucent ones first; false
// when it has more than 256.
bool ExactPalette(const ImageCodec::CImage& image, PaletteImage& out)
{
    const size_t pixels = static_cast<size_t>(image.Width()) * image.Height();
    const uint8_t* rgba = image.Pixels();
    std::unordered_map<uint32_t, uint8_t> index;
    for (size_t i = 0; i < pixels; ++i) {
        // Neighbours mostly share a colour: the lookup is skipped for them.
        if (i > 0 && std::equal(rgba + i * 4, rgba + i * 4 + 4, rgba + i * 4 - 4))
            continue;
        if (index.emplace(ColourAt(rgba + i * 4), 0).second && index.size() > 256)
            return false;
    }
    std::vector<uint32_t> colours;
    colours.reserve(index.size());
    for (const auto& entry : index)
        colours.push_back(entry.first);
    // In order of value, so a picture gives the same file on every system.
    std::sort(colours.begin(), colours.end());
    std::stable_partition(colours.begin(), colours.end(), [](uint32_t colour) { return (colour & 0xFF) != 0xFF; });
    out.palette.resize(colours.size());
    for (size_t i = 0; i < colours.size(); ++i) {
        const uint32_t c = colours[i];
        out.palette[i] = {static_cast<uint8_t>(c >> 24), static_cast<uint8_t>(c >> 16), static_cast<uint8_t>(c >> 8),
                          static_cast<uint8_t>(c)};
        index[c] = static_cast<uint8_t>(i);
    }
    out.width = image.Width();
    out.height = image.Height();
    out.indices.resize(pixels);
    for (size_t i = 0; i < pixels; ++i) {
        const bool asBefore = i > 0 && std::equal(rgba + i * 4, rgba + i * 4 + 4, rgba + i * 4 - 4);
        out.indices[i] = asBefore ? out.indices[i - 1] : index.at(ColourAt(rgba + i * 4));
    }
    return true;
}

bool Opaque(const ImageCodec::CImage& image)
{
    if (!image.HasAlpha())
        return true;
    const size_t pixels = static_cast<size_t>(image.Width()) * image.Height();
    for (size_t i = 0; i < pixels; ++i) {
        if (image.Pixels()[i * 4 + 3] != 255)
            return false;
    }
    return true;
}

// The smallest colour type that holds the pixels exactly: a palette for up
// to 256 colours, otherwise RGB, or RGBA when some pixel is not opaque.
bool WriteReencoded(FILE* file, const ImageCodec::CImage& image)
{
    PaletteImage palette;
    if (ExactPalette(image, palette))
        return WritePalettePng(file, palette);
    return WriteTruecolourPng(file, image.Width(), image.Height(), !Opaque(image), image.Pixels());
}

bool CopyOriginal(const char* src, const char* dst)
{
    FileHandle in(Compat::OpenFile(src, "rb"), &std::fclose);
    if (in == nullptr)
        return false;
    Compat::CAtomicFile out(dst);
    FILE* file = out.Open();
    if (file == nullptr)
        return false;
    std::vector<char> buffer(64 * 1024);
    for (size_t got; (got = std::fread(buffer.data(), 1, buffer.size(), in.get())) > 0;) {
        if (std::fwrite(buffer.data(), 1, got, file) != got)
            return false;
    }
    const bool read = std::ferror(in.get()) == 0;
    // Windows renames nothing over a file that is still open, and src may
    // be dst.
    in.reset();
    return read && out.Commit();
}

}  // namespace

// Every quality range is met: the pixels stay exactly as they are. The new
// encoding replaces dst only when it is smaller than src; otherwise dst
// becomes a copy of src, so the result is never larger than the source.
bool Recompress(const char* src, ImageCodec::CImage& source, const QualityRange&, const char* dst)
{
    std::error_code error;
    const std::uintmax_t sourceBytes = std::filesystem::file_size(std::filesystem::u8path(src), error);
    if (error)
        return false;
    if (DecodesToItsOwnSamples(src)) {
        Compat::CAtomicFile out(dst);
        FILE* file = out.Open();
        if (file == nullptr || !WriteReencoded(file, source))
            return false;
        const long written = std::ftell(file);
        if (written < 0)
            return false;
        if (static_cast<std::uintmax_t>(written) < sourceBytes)
            return out.Commit();
    }
    return CopyOriginal(src, dst);
}

}  // namespace Png
