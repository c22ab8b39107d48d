#include "PartialRecord.h"

#include <fstream>
#include <sstream>
#include <system_error>

namespace Fetcher {
namespace {

const char kRecordHead[] = "pelbo partial download 1";
// Far more than a record needs; a larger file is not one of ours.
constexpr std::streamsize kMaxRecordBytes = 4096;
constexpr size_t kMaxValidatorBytes = 512;

std::string Trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return std::string();
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// It goes into a request header line: no line break may forge another.
bool FitsAHeader(const std::string& value)
{
    if (value.empty() || value.size() > kMaxValidatorBytes)
        return false;
    for (const char c : value) {
        if (c < 0x20 || c > 0x7e)
            return false;
    }
    return true;
}

bool IsHexDigest(const std::string& text)
{
    return text.size() == 32 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The value of the line "name value"; false when the line is another.
bool Member(const std::string& line, const char* name, std::string* value)
{
    const std::string prefix = std::string(name) + " ";
    if (line.compare(0, prefix.size(), prefix) != 0)
        return false;
    *value = line.substr(prefix.size());
    return true;
}

}  // namespace

std::filesystem::path PartialPath(const std::filesystem::path& destination)
{
    std::filesystem::path path = destination;
    path += ".partial";
    return path;
}

std::filesystem::path RecordPath(const std::filesystem::path& destination)
{
    std::filesystem::path path = destination;
    path += ".partial.meta";
    return path;
}

bool ReadPartialRecord(const std::filesystem::path& path, PartialRecord* record)
{
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open())
        return false;
    std::string text(static_cast<size_t>(kMaxRecordBytes) + 1, '\0');
    in.read(&text[0], kMaxRecordBytes + 1);
    const std::streamsize got = in.gcount();
    if (got > kMaxRecordBytes)
        return false;
    text.resize(static_cast<size_t>(got));

    std::istringstream lines(text);
    std::string head, digest, total, validator;
    if (!std::getline(lines, head) || head != kRecordHead || !std::getline(lines, digest) ||
        !Member(digest, "address", &digest) || !std::getline(lines, total) || !Member(total, "total", &total) ||
        !std::getline(lines, validator) || !Member(validator, "validator", &validator))
        return false;
    // The last line ends in a line break: a record cut short never parses.
    std::string rest;
    if (text.empty() || text.back() != '\n' || std::getline(lines, rest))
        return false;
    PartialRecord read;
    if (!IsHexDigest(digest) || !ParseDecimal(total, &read.total) || read.total == 0 || !FitsAHeader(validator))
        return false;
    read.addressDigest = digest;
    read.validator = validator;
    *record = read;
    return true;
}

bool WritePartialRecord(const std::filesystem::path& path, const PartialRecord& record)
{
    if (!IsHexDigest(record.addressDigest) || !FitsAHeader(record.validator) || record.total == 0)
        return false;
    std::filesystem::path temporary = path;
    temporary += ".tmp";
    bool written = false;
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << kRecordHead << "\naddress " << record.addressDigest << "\ntotal " << record.total << "\nvalidator "
            << record.validator << "\n";
        out.flush();
        written = static_cast<bool>(out);
    }
    std::error_code ec;
    if (written)
        std::filesystem::rename(temporary, path, ec);
    if (!written || ec) {
        std::filesystem::remove(temporary, ec);
        return false;
    }
    return true;
}

std::string ChooseValidator(const std::string& etag, const std::string& lastModified)
{
    const std::string tag = Trimmed(etag);
    const bool weak = tag.size() >= 2 && (tag[0] == 'W' || tag[0] == 'w') && tag[1] == '/';
    if (!weak && FitsAHeader(tag))
        return tag;
    const std::string date = Trimmed(lastModified);
    return FitsAHeader(date) ? date : std::string();
}

bool ParseDecimal(const std::string& text, unsigned long long* value)
{
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long long result = 0;
    for (const char c : text)
        result = result * 10 + static_cast<unsigned long long>(c - '0');
    *value = result;
    return true;
}

bool ParseContentRange(const std::string& text, unsigned long long* first, unsigned long long* last,
                       unsigned long long* total)
{
    const std::string value = Trimmed(text);
    if (value.size() < 6)
        return false;
    std::string unit = value.substr(0, 6);
    for (char& c : unit)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (unit != "bytes ")
        return false;
    const std::string range = value.substr(6);
    const size_t dash = range.find('-');
    const size_t slash = range.find('/');
    if (dash == std::string::npos || slash == std::string::npos || slash < dash)
        return false;
    unsigned long long a = 0, b = 0, size = 0;
    if (!ParseDecimal(range.substr(0, dash), &a) || !ParseDecimal(range.substr(dash + 1, slash - dash - 1), &b) ||
        !ParseDecimal(range.substr(slash + 1), &size) || b < a || b >= size)
        return false;
    *first = a;
    *last = b;
    *total = size;
    return true;
}

std::string Printable(const std::string& text)
{
    std::string shown;
    for (const char c : text.substr(0, 120))
        shown += (c >= 0x20 && c <= 0x7e) ? c : '?';
    return shown;
}

}  // namespace Fetcher
