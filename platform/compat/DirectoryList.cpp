#include "pelbo/compat/DirectoryList.h"

#if defined(_WIN32)
#include <windows.h>
#endif

#include <filesystem>
#include <system_error>

#include "pelbo/compat/TextConvert.h"

namespace fs = std::filesystem;

namespace Compat {
namespace {

fs::path FsPath(const std::wstring& path)
{
    return fs::u8path(ToMultiByte(path.c_str(), CP_UTF8));
}

}  // namespace

bool IsFolder(const std::wstring& path)
{
    if (path.empty())
        return false;
    std::error_code ec;
    return fs::is_directory(FsPath(path), ec);
}

bool ListDirectory(const std::wstring& folder, std::vector<DirectoryEntry>& entries)
{
    entries.clear();
    if (!IsFolder(folder))
        return false;
    std::error_code ec;
    for (fs::directory_iterator it(FsPath(folder), ec), end; !ec && it != end; it.increment(ec)) {
        DirectoryEntry entry;
        entry.name = ToWide(it->path().filename().u8string().c_str(), CP_UTF8);
        std::error_code typeError;
        entry.isFolder = it->is_directory(typeError);
        // A leading dot hides a file on every system (the pictures' staging
        // files rely on it); Windows adds its hidden attribute.
        entry.isHidden = !entry.name.empty() && entry.name.front() == L'.';
#if defined(_WIN32)
        const DWORD attributes = ::GetFileAttributesW(it->path().c_str());
        entry.isHidden = entry.isHidden ||
                         (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_HIDDEN) != 0);
#endif
        if (!entry.name.empty())
            entries.push_back(std::move(entry));
    }
    if (ec) {
        entries.clear();
        return false;
    }
    return true;
}

}  // namespace Compat
