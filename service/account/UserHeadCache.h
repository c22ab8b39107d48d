#pragma once
// CUserHeadCache: the full paths of the head-picture files known to exist,
// in plain code-unit order (upper-case ASCII before lower-case). Guarded by
// its own lock, which is never held while the disk is touched: a picture
// download registers its file from its own thread while the client reads.

#include <cstdint>
#include <mutex>
#include <set>
#include <string>

namespace Account {

class CUserHeadCache {
public:
    // "<folder>/<user id>_": what every head picture of the user begins
    // with; the "_" keeps user 12 from matching the pictures of user 123.
    static std::wstring UserPrefix(const std::wstring& folder, uint32_t userId);
    // "<folder>/<user id>_<file title of the URL, lower case>.png"; empty
    // when the URL is blank.
    static std::wstring PictureFor(const std::wstring& folder, uint32_t userId, const std::wstring& headUrl);

    // Adds the visible files directly in folder; a missing folder adds none.
    void LoadFolder(const std::wstring& folder);
    // True when the path was added, false when it was there already.
    bool Add(const std::wstring& path);
    // Deletes and forgets the user's entries but keep (when given); true
    // when a file was deleted.
    bool DeleteUser(const std::wstring& folder, uint32_t userId, const std::wstring& keep = std::wstring());
    // The first entry of the user whose file exists.
    bool FindUser(const std::wstring& folder, uint32_t userId, std::wstring& path);
    // True when the cache holds exactly path and the file exists.
    bool HasExisting(const std::wstring& path);

private:
    std::mutex m_lock;
    std::set<std::wstring> m_paths;
};

}  // namespace Account
