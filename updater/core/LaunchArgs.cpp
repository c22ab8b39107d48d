#include "LaunchArgs.h"

#include <limits>

#include "pelbo/corekit/Path.h"

namespace {

// Base 10, stopping at the first non-digit ("12abc" is 12); too many digits
// saturate at limit rather than wrap round to a small, wrong number.
unsigned long long ReadUnsigned(const CStringW& text, unsigned long long limit)
{
    unsigned long long value = 0;
    for (int i = 0; i < text.GetLength(); ++i) {
        const wchar_t ch = text[i];
        if (ch < L'0' || ch > L'9') {
            break;
        }
        const unsigned digit = static_cast<unsigned>(ch - L'0');
        if (value > (limit - digit) / 10) {
            return limit;
        }
        value = value * 10 + digit;
    }
    return value;
}

unsigned int ReadUnsigned(const CStringW& text)
{
    return static_cast<unsigned int>(ReadUnsigned(text, std::numeric_limits<unsigned int>::max()));
}

bool IsBlank(wchar_t ch)
{
    return ch == L' ' || ch == L'\t';
}

}  // namespace

std::vector<CStringW> SplitCommandLine(const wchar_t* commandLine)
{
    std::vector<CStringW> arguments;
    const std::wstring line = commandLine != nullptr ? commandLine : L"";
    size_t i = 0;
    for (;;) {
        while (i < line.size() && IsBlank(line[i])) {
            ++i;
        }
        if (i >= line.size()) {
            return arguments;
        }
        std::wstring argument;
        bool quoted = false;
        while (i < line.size() && (quoted || !IsBlank(line[i]))) {
            if (line[i] == L'\\') {
                size_t slashes = 0;
                while (i < line.size() && line[i] == L'\\') {
                    ++slashes;
                    ++i;
                }
                if (i < line.size() && line[i] == L'"') {
                    // 2n backslashes and a quote: n backslashes, and the quote
                    // opens or closes; 2n+1: n backslashes and a plain quote.
                    argument.append(slashes / 2, L'\\');
                    if (slashes % 2 == 1) {
                        argument += L'"';
                        ++i;
                    }
                } else {
                    argument.append(slashes, L'\\');
                }
            } else if (line[i] == L'"') {
                if (quoted && i + 1 < line.size() && line[i + 1] == L'"') {
                    // Two quotes inside quotes stand for one.
                    argument += L'"';
                    i += 2;
                } else {
                    quoted = !quoted;
                    ++i;
                }
            } else {
                argument += line[i];
                ++i;
            }
        }
        arguments.emplace_back(argument);
    }
}

std::wstring QuoteArgument(const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring quoted = L"\"";
    size_t slashes = 0;
    for (const wchar_t ch : argument) {
        if (ch == L'\\') {
            ++slashes;
            continue;
        }
        // Backslashes count only before a quote, this one or the closing one.
        quoted.append(ch == L'"' ? slashes * 2 + 1 : slashes, L'\\');
        slashes = 0;
        quoted += ch;
    }
    quoted.append(slashes * 2, L'\\');
    quoted += L'"';
    return quoted;
}

ST_LaunchArgs ParseLaunchArgs(const wchar_t* commandLine)
{
    ST_LaunchArgs args;
    const std::vector<CStringW> tokens = SplitCommandLine(commandLine);
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
    if (Util::Path::GetCmdLineValue(tokens, L"--size=", value) != 0) {
        args.size = ReadUnsigned(value, std::numeric_limits<unsigned long long>::max());
    }
    if (Util::Path::GetCmdLineValue(tokens, L"--sha256=", value) != 0) {
        args.sha256 = value;
    }
    if (Util::Path::GetCmdLineValue(tokens, L"--installed-version=", value) != 0) {
        args.installedVersion = ReadUnsigned(value);
    }
    if (Util::Path::GetCmdLineValue(tokens, L"--root=", value) != 0) {
        args.root = value;
    }
    return args;
}

bool AsksForHelp(const wchar_t* commandLine)
{
    for (const CStringW& argument : SplitCommandLine(commandLine)) {
        if (argument == L"--help" || argument == L"-h" || argument == L"/?") {
            return true;
        }
    }
    return false;
}

const wchar_t* LaunchUsage()
{
    return L"usage: Tidewell --version=N --url=URL --md5=HEX --size=BYTES --sha256=HEX\n"
           L"                --installed-version=N [--manual=N] [--root=PATH]\n"
           L"\n"
           L"Downloads the installer of release N from URL, checks its size and\n"
           L"digests and runs it. The client starts Tidewell with the arguments\n"
           L"Aux::Version::GetUpdaterArguments() returns for the announced release.\n"
           L"\n"
           L"  --version=N            release to install (decimal; 0 or absent: no update)\n"
           L"  --url=URL              download address of the installer\n"
           L"  --md5=HEX              MD5 digest of the installer\n"
           L"  --size=BYTES           the installer's size in bytes\n"
           L"  --sha256=HEX           SHA-256 digest of the installer\n"
           L"  --installed-version=N  the installed release; N must be above it\n"
           L"  --manual=N             non-zero when the user asked for the update\n"
           L"  --root=PATH            the client's data folder (default: the user's)\n"
           L"  --help                 this text\n"
           L"\n"
           L"Without a complete set of arguments Tidewell ends at once (exit status 0).\n";
}
