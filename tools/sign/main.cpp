// pelbo-sign: release signing keys, file signatures and the signed update
// manifest (docs/updater.md, "Signing releases").

#include <iostream>
#include <string>
#include <vector>

#include "SignTool.h"

#if defined(_WIN32)
#include <windows.h>
#include <shellapi.h>

#include "pelbo/compat/TextConvert.h"

// The narrow argv holds the ANSI code page, which loses any character it
// cannot represent; the wide command line keeps every path and note whole.
int main()
{
    int count = 0;
    LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (wide == nullptr) {
        std::cerr << "pelbo-sign: cannot read the command line\n";
        return SignTool::kExitFailed;
    }
    std::vector<std::string> args;
    for (int i = 1; i < count; ++i)
        args.push_back(ToMultiByte(wide[i], CP_UTF8));
    ::LocalFree(wide);
    return SignTool::Run(args, std::cout, std::cerr);
}
#else
int main(int argc, char** argv)
{
    return SignTool::Run(std::vector<std::string>(argv + 1, argv + argc), std::cout, std::cerr);
}
#endif
