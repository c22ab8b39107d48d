#pragma once
// The command line the client starts the updater with. Arguments are
// separated by blanks (spaces or tabs) and read as Windows reads a command
// line: double quotes group an argument that holds blanks ("--root=C:\Pelbo
// Data" in quotes, or --root="C:\Pelbo Data"), a backslash before a quote
// makes it literal, other backslashes are plain characters. Options:
//   --version=N   release to install (decimal; reading stops at the first
//                 non-digit; 0 or absent means no update)
//   --url=TEXT    download address of the installer
//   --md5=TEXT    MD5 digest of the installer (any letter case)
//   --size=N      the installer's size in bytes, from the signed manifest
//   --sha256=TEXT SHA-256 digest of the installer (any letter case)
//   --installed-version=N
//                 the version of the client that is installed, numbered as
//                 --version is; a --version not above it is refused
//   --manual=N    non-zero when the user asked for the update (logged only)
//   --root=PATH   data folder of the client (default: the user's), so the
//                 installer lands where the client keeps its files
// The first argument that begins with an option's name gives its value.

#include <string>
#include <vector>

#include "pelbo/compat/StringW.h"

struct ST_LaunchArgs {
    unsigned int version = 0;
    bool manual = false;
    CStringW url;
    CStringW md5;
    unsigned long long size = 0;
    CStringW sha256;
    unsigned int installedVersion = 0;
    CStringW root;

    // An update can start only with a version, an address, both digests,
    // the size and the installed version.
    bool Complete() const
    {
        return version != 0 && !url.IsEmpty() && !md5.IsEmpty() && size != 0 && !sha256.IsEmpty() &&
               installedVersion != 0;
    }
};

ST_LaunchArgs ParseLaunchArgs(const wchar_t* commandLine);

// True when one argument is exactly --help, -h or /?: the updater then
// prints LaunchUsage() and ends, before it opens its log or a window.
bool AsksForHelp(const wchar_t* commandLine);
// The options above, as the updater prints them for --help.
const wchar_t* LaunchUsage();

// The arguments of a command line, by the rules above.
std::vector<CStringW> SplitCommandLine(const wchar_t* commandLine);
// One argument written so that SplitCommandLine gives it back unchanged,
// whatever blanks, quotes or backslashes it holds: a starter joins the
// quoted arguments with blanks.
std::wstring QuoteArgument(const std::wstring& argument);
