#include "LaunchArgs.h"

#include <limits>
#include <vector>

#include "corekit/Path.h"

namespace {

// Base 10, stopping at the first non-digit ("12abc" is 12); too many digits
// saturate rather than wrap round to a small, wrong version.
unsigned int ReadUnsigned(const CStringW& text)
{
    unsigned long long value = 0;
    for (int i = 0; i < text.GetLength(); ++i) {
        const wchar_t ch = text[i];
        if (ch < L'0' || ch > L'9') {
            break;
        }
        value = value * 10 + static_cast<unsigned>(ch - L'0');
        if (value > std::numeric_limits<unsigned int>::max()) {
            return std::numeric_limits<unsigned int>::max();
        }
    }
    return static_cast<unsigned int>(value);
}

}  // namespace

ST_LaunchArgs ParseLaunchArgs(const wchar_t* commandLine)
{
    ST_LaunchArgs args;
    std::vector<CStringW> tokens;
    Util::Path::SplitString(commandLine != nullptr ? commandLine : L"", L" ", tokens);
    CStringW value;
    if (Util::Path::GetCmdLineValue(tokens, L"--version=", value) != 0) {
        args.version = ReadUnsigned(value);
    }
    if (Util::Path::GetCmdLineValue(tokens, L"--manual=", value) != 0) {
        args.manual = ReadUnsigned(value) != 0;
    }
    if (Util::Path::GetCmdLineValue(tokens, L"--url=", value) != 0) {
        args.url = value;
    }
    if (Util::Path::GetCmdLineValue(tokens, L"--md5=", value) != 0) {
        args.md5 = value;
    }
    if (Util::Path::GetCmdLineValue(tokens, L"--root=", value) != 0) {
        args.root = value;
    }
    return args;
}
