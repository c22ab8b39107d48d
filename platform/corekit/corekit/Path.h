#pragma once
// Util::Path: the folders of the product under one root folder. The root is
// the user's data directory ("~/.local/share/Pelbo" on Linux) unless
// SetRootFolder chose another (tests and the demo use a temporary root).
// Getters create the folder when it is missing and return it without a
// trailing separator.

#include <list>
#include <string>
#include <vector>

#include "pelbo/compat/StringW.h"
#include "pelbo/corekit/CorekitExport.h"

namespace Util {
namespace Path {

COREKIT_API void SetRootFolder(const wchar_t* root);
COREKIT_API CStringW GetRootFolder();

// <root>
COREKIT_API CStringW GetDataFolder(int reserved);
// <root>/users/<user folder name> (see SetUserFolderName; "default" when unset)
COREKIT_API CStringW GetUserFolder(int reserved);
// A null or empty name means "default"; a name that is not a single path
// component ("..", one with a separator) is ignored.
COREKIT_API void SetUserFolderName(const wchar_t* name);
// <user folder>/pictures
COREKIT_API CStringW GetUserPicFolder();
// <root>/qrcode
COREKIT_API CStringW GetQRCodePath();
// <root>/upgrade (reserved argument ignored)
COREKIT_API CStringW GetDUpgradeFolder(int reserved);
// <root>/logs
COREKIT_API CStringW GetLogFolder();

// Folder of the running program; SetExeFolder overrides it.
COREKIT_API void SetExeFolder(const wchar_t* folder);
COREKIT_API CStringW GetExeFolder();

// Non-zero when the path names an existing file or folder.
COREKIT_API int IsFileExist(const wchar_t* path);
// Removes the folder; with deleteSelf 0 only its contents. Non-zero on success;
// a missing folder, a file or a file-system root is refused.
COREKIT_API int DeleteFolder(const wchar_t* path, int deleteSelf);

// title + extension made usable as one file name on Windows and Linux
// (extension with its dot, say L".png", or empty). / \ < > : " | ? * and
// control characters become "_", and so do dots and blanks at the end
// of the name; a device name (CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9,
// COM and LPT with a superscript 1, 2 or 3, CONIN$, CONOUT$; any case, with
// any extension) gets a leading "_", and an empty title is "_". The title is
// cut, at a whole character, so that the name takes at most maxBytes bytes
// in UTF-8 (a name component may have 255 on the usual file systems;
// callers that add suffixes keep room for them).
// The extension is kept whole: it must leave at least two of maxBytes.
COREKIT_API std::wstring SafeFileName(const std::wstring& title, const std::wstring& extension, size_t maxBytes);

// Splits text at every occurrence of separator (which may be longer than one
// character); empty pieces are kept. The list is cleared first; an empty text
// gives no pieces, an empty separator the whole text.
COREKIT_API void SplitString(const wchar_t* text, const wchar_t* separator, std::vector<CStringW>& parts);
// Finds the first item that begins with prefix and returns the rest of it;
// non-zero when found.
COREKIT_API int GetCmdLineValue(const std::vector<CStringW>& items, const wchar_t* prefix, CStringW& value);

}  // namespace Path
}  // namespace Util
