#include "pelbo/imgconv/ImageConv.h"

#include <chrono>
#include <filesystem>
#include <string>
#include <system_error>

#include "pelbo/compat/TextConvert.h"
#include "pelbo/corekit/Log.h"
#include "pelbo/imagecodec/Image.h"
#include "pelbo/pngsqueeze/Png.h"

namespace ImgConv {
namespace {

constexpr uint32_t kConvOk = 0;
constexpr uint32_t kConvFail = 0x80004005u;
constexpr int kJpegQuality = 70;

unsigned long long FileSize(const wchar_t* path)
{
    std::error_code error;
    const auto size = std::filesystem::file_size(std::filesystem::path(ToMultiByte(path, CP_ACP)), error);
    return error ? 0 : static_cast<unsigned long long>(size);
}

class CStopwatch {
public:
    unsigned ElapsedMs() const
    {
        return static_cast<unsigned>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - m_start).count());
    }

private:
    std::chrono::steady_clock::time_point m_start = std::chrono::steady_clock::now();
};

// The text after the last dot of the file name (not of a folder name).
std::wstring ExtensionOf(const std::wstring& path)
{
    const size_t nameStart = path.find_last_of(L"/\\");
    const size_t dot = path.rfind(L'.');
    if (dot == std::wstring::npos || (nameStart != std::wstring::npos && dot < nameStart))
        return std::wstring();
    return path.substr(dot + 1);
}

}  // namespace

bool ReencodeAsJpeg(const wchar_t* src, const wchar_t* dst)
{
    const std::wstring extension = ExtensionOf(src);
    ImageCodec::Format format;
    if (extension == L"png")
        format = ImageCodec::Format::Png;
    else if (extension == L"jpg")
        format = ImageCodec::Format::Jpeg;
    else
        return false;
    ImageCodec::CImage image;
    if (!image.Load(ToMultiByte(src, CP_ACP).c_str(), format) || !image.IsValid())
        return false;
    image.SetJpegQuality(kJpegQuality);
    return image.Save(ToMultiByte(dst, CP_ACP).c_str(), ImageCodec::Format::Jpeg);
}

uint32_t DoImageConv(const wchar_t* src, const wchar_t* dst)
{
    const wchar_t* srcText = src != nullptr ? src : L"";
    const wchar_t* dstText = dst != nullptr ? dst : L"";
    Util::Log::Info(L"DoImageConv", L"src_file: %s, dst_file: %s", srcText, dstText);
    const std::string narrowSrc = ToMultiByte(srcText, CP_ACP);

    CStopwatch checkTime;
    const bool isPng = Png::Check(narrowSrc.c_str());
    Util::Log::Info(L"DoImageConv", L"is png src_file: %s, Cost: %u", srcText, checkTime.ElapsedMs());

    if (isPng) {
        const std::string narrowDst = ToMultiByte(dstText, CP_ACP);
        CStopwatch compressTime;
        const bool ok = Png::Compress(narrowSrc.c_str(), narrowDst.c_str(), "50-80");
        Util::Log::Info(L"DoImageConv", L"png strImage: %s, ret: %d, %llu->%llu, Cost: %u", srcText, ok ? 1 : 0,
                        FileSize(srcText), FileSize(dstText), compressTime.ElapsedMs());
        return ok ? kConvOk : kConvFail;
    }

    CStopwatch encodeTime;
    const bool ok = ReencodeAsJpeg(srcText, dstText);
    Util::Log::Info(L"DoImageConv", L"non_png strImage: %s, ret: %d, %llu->%llu, Cost: %u", srcText, ok ? 1 : 0,
                    FileSize(srcText), FileSize(dstText), encodeTime.ElapsedMs());
    return ok ? kConvOk : kConvFail;
}

}  // namespace ImgConv
