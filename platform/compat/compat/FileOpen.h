#pragma once
// Opening files named by UTF-8 paths, on every system. On Windows a narrow
// path reaches the file API in the ANSI code page and loses every character
// the code page cannot hold (a Chinese folder name on a Western system), so
// the path is widened before it gets there.

#include <cstdio>
#include <string>

namespace Compat {

// fopen with a UTF-8 path; null with errno set on failure.
std::FILE* OpenFile(const std::string& utf8Path, const char* mode);

// A new file for binary writing, or null (errno EEXIST) when the name is
// taken. fopen's "x" does this elsewhere; the Windows C runtime ignores it
// and would open the existing file.
std::FILE* CreateNewFile(const std::string& utf8Path);

}  // namespace Compat
