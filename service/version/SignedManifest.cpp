#include "pelbo/version/SignedManifest.h"

#include <cstdio>

#include "pelbo/compat/AtomicFile.h"
#include "pelbo/compat/TextFile.h"
#include "pelbo/core/JsonBridge.h"
#include "pelbo/corekit/Path.h"
#include "pelbo/corekit/Signature.h"
#include "pelbo/corekit/Text.h"
#include "pelbo/version/ReleaseKeys.h"

namespace {

std::string KeptPath()
{
    const CStringW folder = Util::Path::GetDataFolder(0);
    if (folder.IsEmpty())
        return std::string();
    return Util::Convert::W_2_Utf8((folder + L"/" + CSignedManifest::kFileName).str());
}

// The signature file is one base64 line; a server or an editor may end it
// with a line break or surround it with blanks.
std::string Trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return std::string();
    const size_t last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

bool ReadDigits(const std::string& text, size_t at, size_t count, int& value)
{
    value = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

// Days from 1970-01-01 to the given day of the proleptic Gregorian calendar.
int64_t DaysFromCivil(int64_t year, int month, int day)
{
    year -= month <= 2 ? 1 : 0;
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

bool IsLeap(int year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

}  // namespace

CSignedManifest::CSignedManifest(std::string bytes, std::string signature)
    : m_bytes(std::move(bytes)), m_signature(Trimmed(signature))
{
}

CSignedManifest::Verdict CSignedManifest::Check(int64_t now, Json::Value& root, std::string& reason) const
{
    if (m_bytes.size() > kMaxBytes) {
        reason = "the manifest is larger than " + std::to_string(kMaxBytes) + " bytes";
        return Verdict::Unsigned;
    }
    const std::optional<Util::Signature::Bytes> signature =
        Util::Signature::Base64Decode(m_signature, Util::Signature::kSignatureSize);
    if (!signature) {
        reason = m_signature.empty() ? "the signature is missing" : "the signature is not 64 bytes of base64";
        return Verdict::Unsigned;
    }
    if (!Util::Signature::VerifyAny(ReleaseKeys::Trusted(), m_bytes.data(), m_bytes.size(), *signature)) {
        reason = "the signature does not verify with a built-in key";
        return Verdict::Unsigned;
    }
    Json::Value parsed;
    if (!JsonParse(CStringW(Util::Convert::Utf8_2_W(m_bytes).c_str()), parsed) || !parsed.isObject()) {
        reason = "the signed text is not a JSON object";
        return Verdict::NotJson;
    }
    const Json::Value& expires = parsed["expires"];
    const std::optional<int64_t> until = expires.isString() ? ParseUtcTime(expires.asString()) : std::nullopt;
    if (!until) {
        reason = "\"expires\" is not a UTC time";
        return Verdict::Expired;
    }
    if (*until <= now) {
        reason = "the manifest expired at " + expires.asString();
        return Verdict::Expired;
    }
    root = std::move(parsed);
    return Verdict::Trusted;
}

std::optional<CSignedManifest> CSignedManifest::LoadKept()
{
    const std::string path = KeptPath();
    if (path.empty())
        return std::nullopt;
    std::string content;
    bool exists = false;
    // The signature line, its line break and the manifest.
    if (!Compat::ReadTextFile(path, kMaxBytes + 128, content, exists) || !exists)
        return std::nullopt;
    const size_t lineEnd = content.find('\n');
    if (lineEnd == std::string::npos)
        return std::nullopt;
    return CSignedManifest(content.substr(lineEnd + 1), content.substr(0, lineEnd));
}

bool CSignedManifest::Keep() const
{
    const std::string path = KeptPath();
    if (path.empty() || m_signature.find('\n') != std::string::npos)
        return false;
    Compat::CAtomicFile file(path);
    std::FILE* out = file.Open();
    if (out == nullptr)
        return false;
    const std::string head = m_signature + "\n";
    if (std::fwrite(head.data(), 1, head.size(), out) != head.size() ||
        std::fwrite(m_bytes.data(), 1, m_bytes.size(), out) != m_bytes.size())
        return false;
    return file.Commit();
}

std::optional<int64_t> CSignedManifest::ParseUtcTime(const std::string& text)
{
    // 2026-12-31T23:59:59Z
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':' || text[19] != 'Z')
        return std::nullopt;
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    if (!ReadDigits(text, 0, 4, year) || !ReadDigits(text, 5, 2, month) || !ReadDigits(text, 8, 2, day) ||
        !ReadDigits(text, 11, 2, hour) || !ReadDigits(text, 14, 2, minute) || !ReadDigits(text, 17, 2, second))
        return std::nullopt;
    static const int kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || hour > 23 || minute > 59 || second > 59)
        return std::nullopt;
    const int monthDays = kDaysInMonth[month - 1] + (month == 2 && IsLeap(year) ? 1 : 0);
    if (day < 1 || day > monthDays)
        return std::nullopt;
    return DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
}
