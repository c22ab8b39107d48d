#include "pelbo/pngsqueeze/Png.h"

#include <png.h>

#include <cstdio>

#include "QualityRange.h"
#include "Recompress.h"
#include "pelbo/compat/FileOpen.h"
#include "pelbo/imagecodec/Image.h"

namespace Png {

bool Check(const char* path)
{
    if (path == nullptr || *path == '\0')
        return false;
    FILE* file = Compat::OpenFile(path, "rb");
    if (file == nullptr)
        return false;
    png_byte signature[8] = {};
    const size_t got = std::fread(signature, 1, sizeof signature, file);
    std::fclose(file);
    return got == sizeof signature && png_sig_cmp(signature, 0, sizeof signature) == 0;
}

bool Compress(const char* src, const char* dst, const char* quality)
{
    try {
        QualityRange range;
        if (!ParseQualityRange(quality, range) || dst == nullptr || *dst == '\0' || !Check(src))
            return false;
        ImageCodec::CImage source;
        if (!source.Load(src, ImageCodec::Format::Png))
            return false;
        return Recompress(src, source, range, dst);
    } catch (...) {
        return false;
    }
}

}  // namespace Png
