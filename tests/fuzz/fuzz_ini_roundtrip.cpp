// The INI writer and reader: over an arbitrary file, a value the writer
// accepts for a section and key reads back as that value, and every line
// the write did not concern stays as it was.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "pelbo/compat/IniFile.h"

namespace {

// Up to the first zero: what a caller's wide string can hold.
std::wstring Name(FuzzedDataProvider& input)
{
    const std::wstring text = Fuzz::Text(input.ConsumeRandomLengthString(64));
    return text.substr(0, text.find(L'\0'));
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

size_t CountLines(const std::string& text, const std::string& line)
{
    size_t count = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        if (text.compare(start, end - start, line) == 0)
            ++count;
        start = end + 1;
    }
    return count;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string file = (Fuzz::PrivateRoot() / "roundtrip.ini").string();
    static const std::wstring path = Fuzz::Text(file);
    FuzzedDataProvider input(data, size);
    const std::string before = input.ConsumeRandomLengthString(2048);
    const std::wstring section = Name(input);
    const std::wstring key = Name(input);
    const std::wstring value = Name(input);
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << before;
    }
    if (Compat::WriteIniString(section.c_str(), key.c_str(), value.c_str(), path.c_str()) == 0)
        return 0;
    std::vector<wchar_t> buffer(value.size() + 2);
    const unsigned copied = Compat::ReadIniString(section.c_str(), key.c_str(), L"\x1missing", buffer.data(),
                                                  static_cast<unsigned>(buffer.size()), path.c_str());
    Fuzz::Check(std::wstring(buffer.data(), copied) == value, "a written value reads back as it was set");

    // A line of the old file that the write did not replace is still there
    // as often as before (the write changes or adds the one line of the key,
    // and may add the section's line).
    const std::string after = ReadFile(file);
    size_t start = 0;
    size_t changed = 0;
    while (start < before.size()) {
        size_t end = before.find('\n', start);
        if (end == std::string::npos)
            end = before.size();
        const std::string line = before.substr(start, end - start);
        if (CountLines(after, line) + 1 < CountLines(before, line) || CountLines(after, line) == 0)
            ++changed;
        start = end + 1;
    }
    Fuzz::Check(changed <= 1, "only the key's line changes");
    return 0;
}
