#include "pelbo/corekit/Path.h"

#if defined(_WIN32)
#include <windows.h>
#include <shlobj.h>
#else
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <filesystem>
#include <mutex>
#include <system_error>
#include <vector>

#include "pelbo/corekit/FsPath.h"
#include "SplitText.h"

namespace fs = std::filesystem;

namespace Util {
namespace Path {
namespace {

constexpr wchar_t kDefaultUserFolder[] = L"default";

struct PathState {
    std::mutex lock;
    std::wstring root;        // empty: the user's data directory
    std::wstring userFolder = kDefaultUserFolder;
    std::wstring exeFolder;   // empty: the running program's folder
};

PathState& State()
{
    static PathState state;
    return state;
}

#if defined(_WIN32)
// The local (not roaming) application data: the store and the pictures
// belong to this machine, and the profile folder is the user's alone.
std::wstring DefaultRoot()
{
    PWSTR known = nullptr;
    std::wstring root;
    if (SUCCEEDED(::SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_CREATE, nullptr, &known)) && known != nullptr)
        root = known;
    ::CoTaskMemFree(known);
    if (root.empty()) {
        wchar_t temp[MAX_PATH + 1] = {};
        const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
        root.assign(temp, length <= MAX_PATH ? length : 0);
    }
    while (!root.empty() && (root.back() == L'\\' || root.back() == L'/'))
        root.pop_back();
    return root + L"\\Pelbo";
}
#else
// The home folder comes from the password database rather than $HOME: the
// product reads no environment variable.
std::wstring DefaultRoot()
{
    const uid_t uid = getuid();
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::string buffer(size > 0 ? static_cast<size_t>(size) : 16384u, '\0');
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir != nullptr && found->pw_dir[0] != '\0') {
        return ToWide(found->pw_dir, CP_UTF8) + L"/.local/share/Pelbo";
    }
    return L"/tmp/Pelbo-" + std::to_wstring(uid);
}
#endif

bool IsSeparator(wchar_t c)
{
#if defined(_WIN32)
    return c == L'/' || c == L'\\';
#else
    return c == L'/';
#endif
}

// A root keeps its separator: "/" and, on Windows, "C:\".
std::wstring WithoutTrailingSeparator(std::wstring path)
{
    size_t keep = 1;
#if defined(_WIN32)
    if (path.size() >= 3 && path[1] == L':')
        keep = 3;
#endif
    while (path.size() > keep && IsSeparator(path.back()))
        path.pop_back();
    return path;
}

std::wstring Root()
{
    PathState& state = State();
    std::lock_guard<std::mutex> lock(state.lock);
    if (state.root.empty())
        state.root = DefaultRoot();
    return state.root;
}

// The folders hold the profile store with its session token, and the logs:
// missing ones, on the way to the folder too, are made for the user alone.
// Folders that exist keep their mode.
void MakeFolders(const fs::path& folder)
{
    std::error_code ec;
    std::vector<fs::path> missing;
    for (fs::path at = folder; !at.empty() && !fs::exists(at, ec); at = at.parent_path()) {
        missing.push_back(at);
        if (at == at.parent_path())
            break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
#if defined(_WIN32)
        if (!::CreateDirectoryW(it->c_str(), nullptr) && ::GetLastError() != ERROR_ALREADY_EXISTS)
            return;
#else
        if (::mkdir(it->c_str(), 0700) != 0 && errno != EEXIST)
            return;
#endif
    }
}

// Folder getters hand out the path even when it cannot be created: the
// caller's own file operation then reports the failure where it happens.
CStringW Ensure(const std::wstring& folder)
{
    MakeFolders(Corekit::ToFsPath(folder));
    return CStringW(folder);
}

bool IsSafeFolderName(const std::wstring& name)
{
    // ":" would name a drive or, on NTFS, a hidden stream of the file.
    return !name.empty() && name != L"." && name != L".." && name.find_first_of(L"/\\:") == std::wstring::npos;
}

bool IsSurrogate(unsigned long code)
{
    return code >= 0xD800 && code <= 0xDFFF;
}

// Characters that Windows refuses in a name (and "/", which no system takes).
bool IsForbiddenInName(unsigned long code)
{
    if (code < 0x20 || code == 0x7F)
        return true;
    switch (code) {
    case '<': case '>': case ':': case '"': case '/': case '\\': case '|': case '?': case '*':
        return true;
    default:
        return false;
    }
}

// One character of a name: its code point and the wide units it takes
// (two for a surrogate pair where wchar_t has 16 bits).
struct NameChar {
    unsigned long code;
    std::wstring units;
};

std::vector<NameChar> Characters(const std::wstring& text)
{
    std::vector<NameChar> chars;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned long unit = static_cast<unsigned long>(text[i]) & 0xFFFFFFFFul;
        const bool pair = sizeof(wchar_t) == 2 && unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() &&
                          text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
        if (pair) {
            const unsigned long low = static_cast<unsigned long>(text[i + 1]);
            chars.push_back({0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00), text.substr(i, 2)});
            ++i;
            continue;
        }
        // A lone surrogate or a value beyond Unicode has no UTF-8 form.
        if (IsForbiddenInName(unit) || IsSurrogate(unit) || unit > 0x10FFFF)
            chars.push_back({'_', L"_"});
        else
            chars.push_back({unit, std::wstring(1, text[i])});
    }
    return chars;
}

size_t Utf8Size(unsigned long code)
{
    return code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
}

// Windows opens a device instead of a file for these names, whatever
// follows the first dot.
bool IsDeviceName(const std::wstring& name)
{
    std::wstring stem = name.substr(0, name.find(L'.'));
    while (!stem.empty() && stem.back() == L' ')
        stem.pop_back();
    for (wchar_t& ch : stem) {
        if (ch >= L'a' && ch <= L'z')
            ch = static_cast<wchar_t>(ch - L'a' + L'A');
    }
    for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"}) {
        if (stem == device)
            return true;
    }
    // Windows takes the superscript digits 1 to 3 for port numbers too.
    if (stem.size() != 4 || (stem.compare(0, 3, L"COM") != 0 && stem.compare(0, 3, L"LPT") != 0))
        return false;
    const wchar_t digit = stem[3];
    return (digit >= L'1' && digit <= L'9') || digit == L'\u00b9' || digit == L'\u00b2' || digit == L'\u00b3';
}

}  // namespace

std::wstring SafeFileName(const std::wstring& title, const std::wstring& extension, size_t maxBytes)
{
    const std::vector<NameChar> ext = Characters(extension);
    size_t extBytes = 0;
    for (const NameChar& ch : ext)
        extBytes += Utf8Size(ch.code);
    const std::vector<NameChar> chars = Characters(title);
    // The title cut to room bytes, the extension, the end made safe.
    auto build = [&](size_t room) {
        std::vector<NameChar> kept;
        size_t used = 0;
        for (const NameChar& ch : chars) {
            if (used + Utf8Size(ch.code) > room)
                break;
            used += Utf8Size(ch.code);
            kept.push_back(ch);
        }
        if (kept.empty())
            kept.push_back({'_', L"_"});
        kept.insert(kept.end(), ext.begin(), ext.end());
        for (auto it = kept.rbegin(); it != kept.rend() && (it->code == '.' || it->code == ' '); ++it)
            *it = NameChar{'_', L"_"};
        std::wstring name;
        for (const NameChar& ch : kept)
            name += ch.units;
        return name;
    };
    const size_t room = maxBytes > extBytes ? maxBytes - extBytes : 0;
    const std::wstring name = build(room);
    if (!IsDeviceName(name))
        return name;
    return L"_" + build(room > 0 ? room - 1 : 0);
}

void SetRootFolder(const wchar_t* root)
{
    try {
        PathState& state = State();
        std::wstring chosen = root != nullptr ? WithoutTrailingSeparator(root) : std::wstring();
        std::lock_guard<std::mutex> lock(state.lock);
        state.root = std::move(chosen);
    } catch (...) {
        // Out of memory: the previous root stays.
    }
}

CStringW GetRootFolder()
{
    try {
        return CStringW(Root());
    } catch (...) {
        return CStringW();
    }
}

CStringW GetDataFolder(int)
{
    try {
        return Ensure(Root());
    } catch (...) {
        return CStringW();
    }
}

void SetUserFolderName(const wchar_t* name)
{
    try {
        PathState& state = State();
        const std::wstring chosen = name != nullptr && name[0] != L'\0' ? name : kDefaultUserFolder;
        // The name becomes one path component: anything that would leave
        // the users folder is refused.
        if (!IsSafeFolderName(chosen))
            return;
        std::lock_guard<std::mutex> lock(state.lock);
        state.userFolder = chosen;
    } catch (...) {
        // Out of memory: the previous name stays.
    }
}

CStringW GetUserFolder(int)
{
    try {
        std::wstring name;
        {
            PathState& state = State();
            std::lock_guard<std::mutex> lock(state.lock);
            name = state.userFolder;
        }
        return Ensure(Root() + L"/users/" + name);
    } catch (...) {
        return CStringW();
    }
}

CStringW GetUserPicFolder()
{
    try {
        const CStringW user = GetUserFolder(0);
        return user.IsEmpty() ? user : Ensure(user.str() + L"/pictures");
    } catch (...) {
        return CStringW();
    }
}

CStringW GetQRCodePath()
{
    try {
        return Ensure(Root() + L"/qrcode");
    } catch (...) {
        return CStringW();
    }
}

CStringW GetDUpgradeFolder(int)
{
    try {
        return Ensure(Root() + L"/upgrade");
    } catch (...) {
        return CStringW();
    }
}

CStringW GetLogFolder()
{
    try {
        return Ensure(Root() + L"/logs");
    } catch (...) {
        return CStringW();
    }
}

void SetExeFolder(const wchar_t* folder)
{
    try {
        PathState& state = State();
        std::wstring chosen = folder != nullptr ? WithoutTrailingSeparator(folder) : std::wstring();
        std::lock_guard<std::mutex> lock(state.lock);
        state.exeFolder = std::move(chosen);
    } catch (...) {
        // Out of memory: the previous folder stays.
    }
}

CStringW GetExeFolder()
{
    try {
        {
            PathState& state = State();
            std::lock_guard<std::mutex> lock(state.lock);
            if (!state.exeFolder.empty())
                return CStringW(state.exeFolder);
        }
#if defined(_WIN32)
        std::wstring exe(MAX_PATH, L'\0');
        for (;;) {
            const DWORD length = ::GetModuleFileNameW(nullptr, exe.data(), static_cast<DWORD>(exe.size()));
            if (length == 0)
                return CStringW();
            if (length < exe.size()) {
                exe.resize(length);
                break;
            }
            exe.resize(exe.size() * 2);
        }
        return CStringW(fs::path(exe).parent_path().wstring());
#else
        std::error_code ec;
        const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
        return ec ? CStringW() : CStringW(Corekit::FromFsPath(exe.parent_path()));
#endif
    } catch (...) {
        return CStringW();
    }
}

int IsFileExist(const wchar_t* path)
{
    if (path == nullptr || path[0] == L'\0')
        return 0;
    try {
        std::error_code ec;
        return fs::exists(Corekit::ToFsPath(path), ec) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

int DeleteFolder(const wchar_t* path, int deleteSelf)
{
    if (path == nullptr || path[0] == L'\0')
        return 0;
    try {
        const fs::path folder = Corekit::ToFsPath(path);
        std::error_code ec;
        // A file system root is never emptied, whatever the caller passed.
        if (fs::weakly_canonical(folder, ec) == folder.root_path() || ec)
            return 0;
        if (!fs::is_directory(fs::symlink_status(folder, ec)))
            return 0;
        if (deleteSelf != 0) {
            fs::remove_all(folder, ec);
            return ec ? 0 : 1;
        }
        bool ok = true;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            std::error_code removeError;
            fs::remove_all(it->path(), removeError);
            ok = ok && !removeError;
        }
        return ok && !ec ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

void SplitString(const wchar_t* text, const wchar_t* separator, std::vector<CStringW>& parts)
{
    try {
        Corekit::SplitText(text != nullptr ? text : L"", separator != nullptr ? separator : L"", parts);
    } catch (...) {
        parts.clear();
    }
}

int GetCmdLineValue(const std::vector<CStringW>& items, const wchar_t* prefix, CStringW& value)
{
    if (prefix == nullptr)
        return 0;
    try {
        const std::wstring head(prefix);
        for (const CStringW& item : items) {
            if (item.str().compare(0, head.size(), head) == 0) {
                value = item.str().substr(head.size());
                return 1;
            }
        }
    } catch (...) {
        return 0;
    }
    return 0;
}

}  // namespace Path
}  // namespace Util
