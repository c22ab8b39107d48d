// The names of downloaded pictures: a user's picture from its address, a
// QR code from its query. Whatever the text, the file lies directly in its
// folder under a name that Windows and Linux both accept as an ordinary
// file: no separator, no "." or "..", no character Windows refuses, no
// trailing dot or blank, no device name, at most 255 bytes in UTF-8. The
// staging name of a picture keeps to the same rules, in the same folder.
//
// The first byte chooses how the rest becomes text: UTF-8 as an address
// arrives, or raw 32-bit units (lone surrogates, values beyond Unicode).

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <string>

#include "FuzzSupport.h"
#include "pelbo/core/UniKey.h"
#include "pelbo/corekit/Path.h"
#include "pelbo/transfers/PicDownloadMgr.h"
#include "pelbo/transfers/QRCodeDownloadMgr.h"

namespace {

std::wstring Units(const uint8_t* data, size_t size)
{
    std::wstring text;
    for (size_t i = 0; i + 4 <= size; i += 4) {
        uint32_t unit = 0;
        std::memcpy(&unit, data + i, 4);
        text += static_cast<wchar_t>(unit);
    }
    return text;
}

bool IsDevice(const std::wstring& name)
{
    std::wstring stem = name.substr(0, name.find(L'.'));
    while (!stem.empty() && (stem.back() == L' ' || stem.back() == L'.'))
        stem.pop_back();
    for (wchar_t& ch : stem) {
        if (ch >= L'a' && ch <= L'z')
            ch = static_cast<wchar_t>(ch - L'a' + L'A');
    }
    for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"}) {
        if (stem == device)
            return true;
    }
    if (stem.size() != 4 || (stem.compare(0, 3, L"COM") != 0 && stem.compare(0, 3, L"LPT") != 0))
        return false;
    // Windows reserves the superscript digits too.
    const wchar_t digit = stem[3];
    return (digit >= L'1' && digit <= L'9') || digit == L'\u00b9' || digit == L'\u00b2' || digit == L'\u00b3';
}

size_t Utf8Bytes(const std::wstring& name)
{
    size_t bytes = 0;
    for (wchar_t ch : name) {
        const auto code = static_cast<uint32_t>(ch);
        bytes += code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
    }
    return bytes;
}

void CheckName(const std::wstring& name)
{
    Fuzz::Check(!name.empty() && name != L"." && name != L"..", "a name names a file");
    for (wchar_t ch : name) {
        const auto code = static_cast<uint32_t>(ch);
        Fuzz::Check(code >= 0x20 && code != 0x7F, "no control character");
        Fuzz::Check(std::wcschr(L"<>:\"/\\|?*", ch) == nullptr, "no character Windows refuses");
        Fuzz::Check(!(code >= 0xD800 && code <= 0xDFFF) && code <= 0x10FFFF, "every character is Unicode");
    }
    Fuzz::Check(name.back() != L'.' && name.back() != L' ', "no trailing dot or blank");
    Fuzz::Check(!IsDevice(name), "no device name");
    Fuzz::Check(Utf8Bytes(name) <= 255, "at most 255 bytes");
}

// path is folder + "/" + a name that keeps to the rules.
void CheckInFolder(const std::wstring& path, const std::wstring& folder)
{
    Fuzz::Check(path.size() > folder.size() + 1 && path.compare(0, folder.size(), folder) == 0 &&
                    path[folder.size()] == L'/',
                "the file lies in its folder");
    CheckName(path.substr(folder.size() + 1));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    Fuzz::PrivateRoot();
    static const std::wstring pictures = Util::Path::GetUserPicFolder().str();
    static const std::wstring codes = Util::Path::GetQRCodePath().str();
    const std::wstring text = (data[0] & 1) != 0 ? Units(data + 1, size - 1) : Fuzz::Text(data + 1, size - 1);

    const UniKey user(KEY_TYPE_USER, 4242u + data[0]);
    const std::wstring picture = CPicDownloadMgr::DestinationPath(user, text);
    CheckInFolder(picture, pictures);
    CheckInFolder(CPicDownloadMgr::StagingPath(picture), pictures);

    const std::wstring code = CQRCodeDownloadMgr::FilePath(text);
    CheckInFolder(code, codes);
    Fuzz::Check(code.substr(codes.size() + 1) == CQRCodeDownloadMgr::SafeFileName(text), "the path ends in the name");
    return 0;
}
