// Tidewell's command line. Arbitrary text parses without harm into values
// taken from its arguments; and arguments joined the way the Linux entry
// joins them (each quoted as needed, blanks between) split back into the
// same arguments, so no value can pass for another or for an option.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "LaunchArgs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::wstring text = Fuzz::Text(data, size);
    const std::wstring line = text.substr(0, text.find(L'\0'));
    const ST_LaunchArgs args = ParseLaunchArgs(line.c_str());
    const std::vector<CStringW> tokens = SplitCommandLine(line.c_str());
    // The value of the first argument that begins with the option's name.
    const auto valueOf = [&tokens](const std::wstring& option, std::wstring& value) {
        for (const CStringW& token : tokens) {
            if (token.str().compare(0, option.size(), option) == 0) {
                value = token.str().substr(option.size());
                return true;
            }
        }
        return false;
    };
    std::wstring value;
    Fuzz::Check(valueOf(L"--url=", value) ? args.url.str() == value : args.url.IsEmpty(), "--url= gives the address");
    Fuzz::Check(valueOf(L"--md5=", value) ? args.md5.str() == value : args.md5.IsEmpty(), "--md5= gives the digest");
    Fuzz::Check(valueOf(L"--root=", value) ? args.root.str() == value : args.root.IsEmpty(), "--root= gives the folder");
    Fuzz::Check(valueOf(L"--version=", value) || args.version == 0, "a version comes from --version=");

    // The same bytes as an argument vector, split at the zeros.
    std::vector<std::wstring> arguments;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find(L'\0', start);
        arguments.push_back(text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
        if (end == std::wstring::npos)
            break;
        start = end + 1;
    }
    std::wstring joined;
    for (size_t i = 0; i < arguments.size(); ++i) {
        if (i > 0)
            joined += L' ';
        joined += QuoteArgument(arguments[i]);
    }
    const std::vector<CStringW> split = SplitCommandLine(joined.c_str());
    Fuzz::Check(split.size() == arguments.size(), "as many arguments come back as went in");
    for (size_t i = 0; i < arguments.size(); ++i)
        Fuzz::Check(split[i].str() == arguments[i], "each argument comes back unchanged");
    return 0;
}
