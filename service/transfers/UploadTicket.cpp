#include "pelbo/transfers/UploadTicket.h"

#include <filesystem>
#include <system_error>

#include "pelbo/corekit/FsPath.h"
#include "pelbo/compat/WtoI.h"
#include "pelbo/core/JsonBridge.h"

namespace Transfers {

std::wstring FileNameOf(const std::wstring& path)
{
    size_t cut = path.rfind(L'\\');
    if (cut == std::wstring::npos)
        cut = path.rfind(L'/');
    return cut == std::wstring::npos ? path : path.substr(cut + 1);
}

std::wstring ExtensionOf(const std::wstring& path)
{
    size_t dot = std::wstring::npos;
    for (size_t i = 0; i < path.size(); ++i) {
        const wchar_t c = path[i];
        if (c == L'\\' || c == L'/' || c == L' ')
            dot = std::wstring::npos;
        else if (c == L'.')
            dot = i;
    }
    return dot == std::wstring::npos ? std::wstring() : path.substr(dot + 1);
}

std::wstring NameWithoutExtension(const std::wstring& path)
{
    const std::wstring name = FileNameOf(path);
    const size_t dot = name.rfind(L'.');
    return dot == std::wstring::npos ? name : name.substr(0, dot);
}

std::string ContentTypeOf(const std::wstring& extension)
{
    if (extension == L"pdf")
        return "application/pdf";
    if (extension == L"ppt" || extension == L"pptx")
        return "application/vnd.ms-powerpoint";
    if (extension == L"doc" || extension == L"docx")
        return "application/msword";
    if (extension == L"jpg" || extension == L"jpeg")
        return "image/jpeg";
    if (extension == L"png")
        return "image/png";
    return std::string();
}

std::wstring TrimSpace(const std::wstring& text)
{
    const wchar_t* const kSpace = L" \t\r\n\v\f";
    const size_t first = text.find_first_not_of(kSpace);
    if (first == std::wstring::npos)
        return std::wstring();
    const size_t last = text.find_last_not_of(kSpace);
    return text.substr(first, last - first + 1);
}

unsigned long long FileSizeOf(const std::wstring& path)
{
    std::error_code ec;
    // Through UTF-8: the process locale may not convert the path at all.
    const auto size = std::filesystem::file_size(Corekit::ToFsPath(path), ec);
    return ec ? 0 : static_cast<unsigned long long>(size);
}

int TicketCode(const Json::Value& root)
{
    CStringW code = JsonToText(root["code"]);
    if (code.IsEmpty())
        code = L"0";
    return Compat::WtoI(code);
}

TicketFields ReadTicket(const Json::Value& root, const char* group, const char* subgroup, const char* keyIdName,
                        const char* secretName, const char* tokenName)
{
    TicketFields ticket;
    ticket.fileId = Compat::WtoI64(JsonToText(root["file_id"]));
    ticket.endPoint = JsonToText(root["end_point"]).str();
    ticket.bucket = JsonToText(root["bucket"]).str();
    ticket.path = JsonToText(root["path"]).str();
    ticket.fileUrl = JsonToText(root["file_url"]).str();
    // Reading a member of a value that is not an object would throw: a
    // malformed credential block reads as missing.
    Json::Value credentials = root.isObject() ? root[group] : Json::Value();
    if (subgroup != nullptr)
        credentials = credentials.isObject() ? credentials[subgroup] : Json::Value();
    if (credentials.isObject()) {
        ticket.accessKeyId = TrimSpace(JsonToText(credentials[keyIdName]).str());
        ticket.accessKeySecret = TrimSpace(JsonToText(credentials[secretName]).str());
        ticket.securityToken = TrimSpace(JsonToText(credentials[tokenName]).str());
    }
    return ticket;
}

}  // namespace Transfers
