#pragma once
// The command line the client starts the updater with. Options are tokens
// separated by single spaces, so no value can hold a space:
//   --version=N   release to install (decimal; reading stops at the first
//                 non-digit; 0 or absent means no update)
//   --url=TEXT    download address of the installer
//   --md5=TEXT    MD5 digest of the installer (any letter case)
//   --manual=N    non-zero when the user asked for the update (logged only)
//   --root=PATH   data folder of the client (default: the user's), so the
//                 installer lands where the client keeps its files

#include "compat/StringW.h"

struct ST_LaunchArgs {
    unsigned int version = 0;
    bool manual = false;
    CStringW url;
    CStringW md5;
    CStringW root;

    // An update can start only with a version, an address and a digest.
    bool Complete() const { return version != 0 && !url.IsEmpty() && !md5.IsEmpty(); }
};

ST_LaunchArgs ParseLaunchArgs(const wchar_t* commandLine);
