#pragma once
// Directory listing with the effect of FindFirstFileW / FindNextFileW over
// "<folder>\*.*": the entries directly in a folder, with whether each is a
// folder and whether it is hidden (on this system: its name begins with a
// dot; on Windows: the hidden attribute). "." and ".." are never listed.

#include <string>
#include <vector>

namespace Compat {

struct DirectoryEntry {
    std::wstring name;
    bool isFolder = false;
    bool isHidden = false;
};

// True when the path names an existing folder.
bool IsFolder(const std::wstring& path);
// The folder's entries in no particular order; false (and no entries) when
// the folder is missing or cannot be read. Entries that vanish while the
// folder is read are left out.
bool ListDirectory(const std::wstring& folder, std::vector<DirectoryEntry>& entries);

}  // namespace Compat
