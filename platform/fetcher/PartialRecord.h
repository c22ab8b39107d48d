#pragma once
// The files of a resumable download beside its destination, and the parts of
// an answer that decide whether a partial file can be continued.

#include <filesystem>
#include <string>

namespace Fetcher {

// "<path>.partial.meta": what a later attempt needs to ask for the rest.
struct PartialRecord {
    std::string addressDigest;  // MD5 of the address (the address itself may hold a token)
    std::string validator;      // sent back in If-Range
    unsigned long long total = 0;  // the whole file's size
};

std::filesystem::path PartialPath(const std::filesystem::path& destination);
std::filesystem::path RecordPath(const std::filesystem::path& destination);

// False when the record is missing, truncated or not one this code wrote.
bool ReadPartialRecord(const std::filesystem::path& path, PartialRecord* record);
// Writes under a temporary name and renames, so a reader never meets half a
// record; false (and nothing left) when that fails.
bool WritePartialRecord(const std::filesystem::path& path, const PartialRecord& record);

// The validator to send in If-Range: the ETag unless it is weak (a weak one
// may not be used for ranges), else Last-Modified; empty when neither can
// travel as a header value.
std::string ChooseValidator(const std::string& etag, const std::string& lastModified);

// "bytes FIRST-LAST/TOTAL", the unit in any case; false for anything else
// ("*" sizes, several ranges, a last byte before the first or at the total).
bool ParseContentRange(const std::string& text, unsigned long long* first, unsigned long long* last,
                       unsigned long long* total);

// A decimal of at most 19 digits (no sign, no blanks); false for anything else.
bool ParseDecimal(const std::string& text, unsigned long long* value);

// Text from the server as a log line may show it: printable ASCII, cut short.
std::string Printable(const std::string& text);

}  // namespace Fetcher
