#include "pelbo/corekit/Text.h"

#include <openssl/evp.h>

#include <fstream>
#include <memory>

#include "pelbo/corekit/FsPath.h"
#include "OpenSslHandles.h"
#include "SplitText.h"
#include "pelbo/compat/TextConvert.h"

namespace Util {
namespace String {

void StringSplit(const std::wstring& text, const std::wstring& separator, std::vector<std::wstring>& parts)
{
    try {
        Corekit::SplitText(text, separator, parts);
    } catch (...) {
        parts.clear();
    }
}

}  // namespace String

namespace Convert {

std::wstring Utf8_2_W(const std::string& text)
{
    try {
        return ToWide(text.c_str(), CP_UTF8);
    } catch (...) {
        return std::wstring();
    }
}

std::string W_2_Utf8(const std::wstring& text)
{
    try {
        return ToMultiByte(text.c_str(), CP_UTF8);
    } catch (...) {
        return std::string();
    }
}

}  // namespace Convert

namespace MD5 {
namespace {

constexpr size_t kFileChunk = 64 * 1024;

}  // namespace

std::string BufferToMD5(const void* bytes, size_t length)
{
    if (bytes == nullptr && length != 0)
        return std::string();
    try {
        const Corekit::MdContext context = Corekit::NewDigest(EVP_md5());
        if (!context || (length != 0 && EVP_DigestUpdate(context.get(), bytes, length) != 1))
            return std::string();
        return Corekit::FinishHex(context.get());
    } catch (...) {
        return std::string();
    }
}

int GetFileMD5Value(const wchar_t* path, CStringW& out)
{
    if (path == nullptr || path[0] == L'\0')
        return 0;
    try {
        std::ifstream file(Corekit::ToFsPath(path), std::ios::binary);
        if (!file)
            return 0;
        const Corekit::MdContext context = Corekit::NewDigest(EVP_md5());
        if (!context)
            return 0;
        std::unique_ptr<char[]> chunk(new char[kFileChunk]);
        while (file) {
            file.read(chunk.get(), static_cast<std::streamsize>(kFileChunk));
            const std::streamsize got = file.gcount();
            if (got > 0 && EVP_DigestUpdate(context.get(), chunk.get(), static_cast<size_t>(got)) != 1)
                return 0;
        }
        // A read error, unlike the end of the file, leaves a partial digest.
        if (file.bad())
            return 0;
        const std::string hex = Corekit::FinishHex(context.get());
        if (hex.empty())
            return 0;
        out = ToWide(hex.c_str(), CP_UTF8);
        return 1;
    } catch (...) {
        return 0;
    }
}

}  // namespace MD5
}  // namespace Util
