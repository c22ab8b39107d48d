#include "pelbo/account/UserHeadCache.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <vector>

#include "pelbo/compat/DirectoryList.h"
#include "pelbo/compat/StringW.h"
#include "pelbo/compat/TextConvert.h"
#include "pelbo/corekit/Log.h"
#include "pelbo/corekit/Path.h"

namespace Account {
namespace {

constexpr wchar_t kTag[] = L"CUserHeadCache";

bool FileExists(const std::wstring& path)
{
    return Util::Path::IsFileExist(path.c_str()) != 0;
}

// Removes one picture file. (The folder removal of the platform library
// refuses plain files, so the file is removed directly.)
bool RemovePictureFile(const std::wstring& path)
{
    std::error_code ec;
    const bool removed = std::filesystem::remove(std::filesystem::u8path(ToMultiByte(path.c_str(), CP_UTF8)), ec);
    if (ec)
        Util::Log::Warn(kTag, L"DelUserHead: cannot delete %s: %S", path.c_str(), ec.message().c_str());
    return removed && !ec;
}

// The entries that contain the prefix, in the cache's order. Lock held.
std::vector<std::wstring> Matching(const std::set<std::wstring>& paths, const std::wstring& prefix)
{
    std::vector<std::wstring> found;
    for (const std::wstring& path : paths) {
        if (path.find(prefix) != std::wstring::npos)
            found.push_back(path);
    }
    return found;
}

}  // namespace

std::wstring CUserHeadCache::UserPrefix(const std::wstring& folder, uint32_t userId)
{
    return folder + L"/" + std::to_wstring(userId) + L"_";
}

std::wstring CUserHeadCache::PictureFor(const std::wstring& folder, uint32_t userId, const std::wstring& headUrl)
{
    CStringW url(headUrl);
    url.MakeLower();
    url.Trim();
    if (url.IsEmpty())
        return std::wstring();
    const std::wstring& text = url.str();
    size_t slash = text.rfind(L'\\');
    if (slash == std::wstring::npos)
        slash = text.rfind(L'/');
    std::wstring name = slash == std::wstring::npos ? text : text.substr(slash + 1);
    const size_t dot = name.rfind(L'.');
    if (dot != std::wstring::npos)
        name.erase(dot);
    return UserPrefix(folder, userId) + name + L".png";
}

void CUserHeadCache::LoadFolder(const std::wstring& folder)
{
    if (folder.empty())
        return;
    std::vector<Compat::DirectoryEntry> entries;
    if (!Compat::ListDirectory(folder, entries))
        return;
    std::vector<std::wstring> files;
    for (const Compat::DirectoryEntry& entry : entries) {
        if (!entry.isFolder && !entry.isHidden)
            files.push_back(folder + L"/" + entry.name);
    }
    std::lock_guard<std::mutex> lock(m_lock);
    m_paths.insert(files.begin(), files.end());
}

bool CUserHeadCache::Add(const std::wstring& path)
{
    std::lock_guard<std::mutex> lock(m_lock);
    return m_paths.insert(path).second;
}

bool CUserHeadCache::DeleteUser(const std::wstring& folder, uint32_t userId, const std::wstring& keep)
{
    const std::wstring prefix = UserPrefix(folder, userId);
    std::vector<std::wstring> found;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        found = Matching(m_paths, prefix);
    }
    found.erase(std::remove(found.begin(), found.end(), keep), found.end());
    bool deleted = false;
    for (const std::wstring& path : found) {
        if (FileExists(path) && RemovePictureFile(path))
            deleted = true;
    }
    std::lock_guard<std::mutex> lock(m_lock);
    for (const std::wstring& path : found)
        m_paths.erase(path);
    return deleted;
}

bool CUserHeadCache::FindUser(const std::wstring& folder, uint32_t userId, std::wstring& path)
{
    std::vector<std::wstring> found;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        found = Matching(m_paths, UserPrefix(folder, userId));
    }
    for (const std::wstring& candidate : found) {
        if (FileExists(candidate)) {
            path = candidate;
            return true;
        }
    }
    return false;
}

bool CUserHeadCache::HasExisting(const std::wstring& path)
{
    {
        std::lock_guard<std::mutex> lock(m_lock);
        if (m_paths.count(path) == 0)
            return false;
    }
    return FileExists(path);
}

}  // namespace Account
