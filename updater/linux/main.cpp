// Linux entry of the updater: the arguments become the one command line
// the updater reads, as on Windows; each is quoted as needed, so a value
// with a blank stays one argument and cannot pass as another option.

#include <unistd.h>

#include <climits>
#include <cstdio>
#include <exception>
#include <string>

#include "LaunchArgs.h"
#include "TidewellApp.h"
#include "pelbo/compat/TextConvert.h"

namespace {

std::wstring ProgramPath(const char* argv0)
{
    char buffer[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", buffer, sizeof(buffer) - 1);
    if (length > 0) {
        return ToWide(std::string(buffer, static_cast<size_t>(length)).c_str(), CP_UTF8);
    }
    return ToWide(argv0 != nullptr ? argv0 : "", CP_UTF8);
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        std::wstring commandLine;
        for (int i = 1; i < argc; ++i) {
            if (i > 1) {
                commandLine += L' ';
            }
            commandLine += QuoteArgument(ToWide(argv[i], CP_UTF8));
        }
        if (AsksForHelp(commandLine.c_str())) {
            std::fputs(ToMultiByte(LaunchUsage(), CP_UTF8).c_str(), stdout);
            return 0;
        }
        return RunTidewell(nullptr, ProgramPath(argc > 0 ? argv[0] : nullptr).c_str(), commandLine.c_str());
    } catch (const std::exception&) {
        return kExitNoWindow;
    }
}
