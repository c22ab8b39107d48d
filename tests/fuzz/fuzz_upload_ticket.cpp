// The upload ticket reader: an answer to a ticket request, read as the
// document manager and the log manager lay their credentials out, and the
// path pieces of the file the ticket is for.

#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "pelbo/core/JsonBridge.h"
#include "pelbo/transfers/UploadTicket.h"

namespace {

void CheckTrimmed(const std::wstring& text)
{
    const wchar_t* const kSpace = L" \t\r\n\v\f";
    Fuzz::Check(text.empty() || (std::wstring(kSpace).find(text.front()) == std::wstring::npos &&
                                 std::wstring(kSpace).find(text.back()) == std::wstring::npos),
                "credentials are trimmed");
}

void CheckTicket(const Transfers::TicketFields& ticket)
{
    CheckTrimmed(ticket.accessKeyId);
    CheckTrimmed(ticket.accessKeySecret);
    CheckTrimmed(ticket.securityToken);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Fuzz::PrivateRoot();
    const std::wstring text = Fuzz::Text(data, size);
    Json::Value root;
    if (JsonParse(CStringW(text), root)) {
        Transfers::TicketCode(root);
        CheckTicket(Transfers::ReadTicket(root, "assume_role_response", "Credentials", "AccessKeyId",
                                          "AccessKeySecret", "SecurityToken"));
        CheckTicket(Transfers::ReadTicket(root, "credential", nullptr, "access_key_id", "access_key_secret",
                                          "security_token"));
    }
    // The same text as the local path of the file to upload.
    const std::wstring name = Transfers::FileNameOf(text);
    Fuzz::Check(name.find(L'\\') == std::wstring::npos, "a file name has no backslash");
    const std::wstring extension = Transfers::ExtensionOf(text);
    Fuzz::Check(extension.find_first_of(L"\\/ .") == std::wstring::npos, "an extension is one word");
    const std::wstring stem = Transfers::NameWithoutExtension(text);
    Fuzz::Check(name.compare(0, stem.size(), stem) == 0, "the name without extension begins the name");
    Transfers::ContentTypeOf(extension);
    return 0;
}
