#include "pelbo/compat/IniFile.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <cwctype>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "pelbo/compat/TextConvert.h"
#include "pelbo/compat/TextFile.h"

namespace Compat {
namespace {

// A configuration file is small; anything larger is not one, and reading it
// whole would only cost memory.
constexpr size_t kMaxFileBytes = 16u << 20;

std::string Utf8(const wchar_t* text)
{
    return text != nullptr ? ToMultiByte(text, CP_UTF8) : std::string();
}

// Lines without their "\n"; a "\r" before it stays with the line so that an
// untouched line is written back exactly.
std::vector<std::string> SplitLines(const std::string& content)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < content.size()) {
        const size_t end = content.find('\n', start);
        if (end == std::string::npos) {
            lines.push_back(content.substr(start));
            break;
        }
        lines.push_back(content.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::string_view Trim(std::string_view text)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

bool IsAscii(std::string_view text)
{
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}

bool SameName(std::string_view a, const std::string& b)
{
    if (IsAscii(a) && IsAscii(b)) {
        if (a.size() != b.size())
            return false;
        for (size_t i = 0; i < a.size(); ++i) {
            const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
            if (lower(a[i]) != lower(b[i]))
                return false;
        }
        return true;
    }
    const std::wstring wa = ToWide(std::string(a).c_str(), CP_UTF8);
    const std::wstring wb = ToWide(b.c_str(), CP_UTF8);
    if (wa.size() != wb.size())
        return false;
    for (size_t i = 0; i < wa.size(); ++i) {
        if (std::towlower(static_cast<wint_t>(wa[i])) != std::towlower(static_cast<wint_t>(wb[i])))
            return false;
    }
    return true;
}

// Where a section and a key lie in the lines; -1 when absent.
struct Location {
    long section = -1;
    long key = -1;
    long sectionEnd = -1;  // first line after the section
};

bool SectionName(std::string_view line, std::string_view& name)
{
    const std::string_view text = Trim(line);
    if (text.empty() || text.front() != '[')
        return false;
    const size_t close = text.find(']');
    if (close == std::string_view::npos)
        return false;
    name = Trim(text.substr(1, close - 1));
    return true;
}

bool KeyLine(std::string_view line, std::string_view& name, std::string_view& value)
{
    const std::string_view text = Trim(line);
    const size_t eq = text.find('=');
    if (eq == std::string_view::npos)
        return false;
    name = Trim(text.substr(0, eq));
    value = Trim(text.substr(eq + 1));
    return true;
}

bool IsQuote(char c) { return c == '"' || c == '\''; }

Location Find(const std::vector<std::string>& lines, const std::string& section, const std::string* key)
{
    Location at;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string_view name;
        std::string_view value;
        if (SectionName(lines[i], name)) {
            if (at.section >= 0) {
                at.sectionEnd = static_cast<long>(i);
                break;
            }
            if (SameName(name, section))
                at.section = static_cast<long>(i);
        } else if (at.section >= 0 && key != nullptr && at.key < 0 && KeyLine(lines[i], name, value) &&
                   SameName(name, *key)) {
            at.key = static_cast<long>(i);
        }
    }
    if (at.section >= 0 && at.sectionEnd < 0)
        at.sectionEnd = static_cast<long>(lines.size());
    return at;
}

#if defined(_WIN32)

int ErrnoOf(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    default:
        return EIO;
    }
}

// Closes a handle on every path.
class Handle {
public:
    explicit Handle(HANDLE handle) : m_handle(handle) {}
    ~Handle()
    {
        if (m_handle != INVALID_HANDLE_VALUE)
            ::CloseHandle(m_handle);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return m_handle; }
    bool Close()
    {
        const HANDLE handle = m_handle;
        m_handle = INVALID_HANDLE_VALUE;
        return handle == INVALID_HANDLE_VALUE || ::CloseHandle(handle) != 0;
    }

private:
    HANDLE m_handle;
};

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsUtf8(const std::string& text)
{
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    while (p < end) {
        const unsigned c = *p;
        size_t extra = 0;
        unsigned min = 0;
        if (c < 0x80) {
            ++p;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            extra = 1, min = 0x80;
        } else if (c >= 0xE0 && c <= 0xEF) {
            extra = 2, min = 0x800;
        } else if (c >= 0xF0 && c <= 0xF4) {
            extra = 3, min = 0x10000;
        } else {
            return false;
        }
        if (static_cast<size_t>(end - p) <= extra)
            return false;
        unsigned code = c & (0x3Fu >> extra);
        for (size_t i = 1; i <= extra; ++i) {
            if ((p[i] & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (p[i] & 0x3Fu);
        }
        if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        p += extra + 1;
    }
    return true;
}

// The system's profile functions wrote the ANSI code page; such a file is
// taken as UTF-8 from here on, so nothing stored earlier is lost.
bool AnsiToUtf8(std::string& content)
{
    if (content.empty() || content.size() > static_cast<size_t>(INT_MAX))
        return content.empty();
    const int size = static_cast<int>(content.size());
    const int wideSize = ::MultiByteToWideChar(CP_ACP, 0, content.data(), size, nullptr, 0);
    if (wideSize <= 0)
        return false;
    std::wstring wide(static_cast<size_t>(wideSize), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, content.data(), size, wide.data(), wideSize);
    const int utf8Size = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideSize, nullptr, 0, nullptr, nullptr);
    if (utf8Size <= 0)
        return false;
    std::string utf8(static_cast<size_t>(utf8Size), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), wideSize, utf8.data(), utf8Size, nullptr, nullptr);
    content.swap(utf8);
    return true;
}

bool LoadFile(const std::string& path, std::string& content, bool& exists, bool* byteOrderMark = nullptr)
{
    if (!ReadTextFile(path, kMaxFileBytes, content, exists, byteOrderMark))
        return false;
    if (!IsUtf8(content) && !AnsiToUtf8(content)) {
        errno = EILSEQ;
        return false;
    }
    return true;
}

// Writes content to a new file beside path, flushes it and moves it over
// path in one step that is itself written through to the disk.
bool WriteAtomically(const std::wstring& path, const std::string& content)
{
    static std::atomic<unsigned> serial{0};
    std::wstring temp;
    HANDLE created = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 100 && created == INVALID_HANDLE_VALUE; ++attempt) {
        temp = path + L"." + std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(serial++) + L".tmp";
        created = ::CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (created == INVALID_HANDLE_VALUE && ::GetLastError() != ERROR_FILE_EXISTS) {
            errno = ErrnoOf(::GetLastError());
            return false;
        }
    }
    Handle file(created);
    if (file.get() == INVALID_HANDLE_VALUE) {
        errno = EEXIST;
        return false;
    }
    bool ok = true;
    DWORD error = ERROR_SUCCESS;
    for (size_t done = 0; ok && done < content.size();) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(content.size() - done, 1u << 20));
        DWORD written = 0;
        ok = ::WriteFile(file.get(), content.data() + done, chunk, &written, nullptr) != 0 && written > 0;
        done += written;
    }
    ok = ok && ::FlushFileBuffers(file.get()) != 0;
    if (!ok)
        error = ::GetLastError();
    ok = file.Close() && ok;
    if (ok && ::MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
        error = ::GetLastError();
        ok = false;
    }
    if (!ok) {
        ::DeleteFileW(temp.c_str());
        errno = ErrnoOf(error);
    }
    return ok;
}

// Runs edit over the file's content and stores the result, holding the
// write lock of the file across processes meanwhile.
bool ReplaceContent(const std::string& file, const std::function<void(std::string&)>& edit)
{
    const std::wstring wide = ToWide(file.c_str(), CP_UTF8);
    Handle lockFile(::CreateFileW((wide + L".lock").c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (lockFile.get() == INVALID_HANDLE_VALUE) {
        errno = ErrnoOf(::GetLastError());
        return false;
    }
    OVERLAPPED whole{};
    if (!::LockFileEx(lockFile.get(), LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &whole)) {
        errno = ErrnoOf(::GetLastError());
        return false;
    }
    std::string content;
    bool exists = false;
    bool byteOrderMark = false;
    if (!LoadFile(file, content, exists, &byteOrderMark))
        return false;
    if (exists) {
        const DWORD attributes = ::GetFileAttributesW(wide.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            errno = ErrnoOf(::GetLastError());
            return false;
        }
        if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) {
            errno = EACCES;
            return false;
        }
    }
    edit(content);
    // A file that began with a byte-order mark keeps it: other readers of
    // the file may go by it.
    if (byteOrderMark)
        content.insert(0, "\xEF\xBB\xBF");
    // Closing the lock file's handle releases the lock.
    return WriteAtomically(wide, content);
}

#else

// Closes a descriptor on every path.
class Fd {
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    // Closes now and reports whether the close succeeded (it can report a
    // write error that the writes did not).
    bool Close()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd < 0 || ::close(fd) == 0;
    }

private:
    int m_fd;
};

bool LoadFile(const std::string& path, std::string& content, bool& exists, bool* byteOrderMark = nullptr)
{
    return ReadTextFile(path, kMaxFileBytes, content, exists, byteOrderMark);
}

// Writes content to a new file beside path, flushes it and renames it over
// path; the folder is flushed too, so the rename itself survives a crash.
bool ReplaceFile(const std::string& path, const std::string& content, mode_t mode)
{
    std::string temp = path + ".XXXXXX";
    Fd fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (fd.get() < 0)
        return false;
    bool ok = ::fchmod(fd.get(), mode) == 0;
    for (size_t done = 0; ok && done < content.size();) {
        const ssize_t n = ::write(fd.get(), content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        ok = n > 0;
        if (ok)
            done += static_cast<size_t>(n);
    }
    ok = ok && ::fsync(fd.get()) == 0;
    ok = fd.Close() && ok;
    ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) {
        const int error = errno;
        ::unlink(temp.c_str());
        errno = error;
        return false;
    }
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() >= 0)
        ::fsync(dir.get());
    return true;
}

bool ReplaceContent(const std::string& file, const std::function<void(std::string&)>& edit)
{
    Fd lockFile(::open((file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (lockFile.get() < 0)
        return false;
    while (::flock(lockFile.get(), LOCK_EX) != 0) {
        if (errno != EINTR)
            return false;
    }
    std::string content;
    bool exists = false;
    bool byteOrderMark = false;
    if (!LoadFile(file, content, exists, &byteOrderMark))
        return false;
    // A new file is the user's alone, like every file in the data folder;
    // an existing one keeps its mode.
    mode_t mode = 0600;
    if (exists) {
        struct stat st {};
        if (::stat(file.c_str(), &st) != 0)
            return false;
        // A read-only file stays as it is, also for a privileged user whom
        // the system would let write.
        if ((st.st_mode & S_IWUSR) == 0 || ::access(file.c_str(), W_OK) != 0) {
            errno = EACCES;
            return false;
        }
        mode = st.st_mode & 07777;
    }
    edit(content);
    // A file that began with a byte-order mark keeps it: other readers of
    // the file may go by it.
    if (byteOrderMark)
        content.insert(0, "\xEF\xBB\xBF");
    return ReplaceFile(file, content, mode);
}

#endif

// The value of the key, or false when the file, section or key is missing.
bool ReadValue(const wchar_t* section, const wchar_t* key, const wchar_t* path, std::wstring& value)
{
    if (section == nullptr || key == nullptr || path == nullptr)
        return false;
    std::string content;
    bool exists = false;
    if (!LoadFile(Utf8(path), content, exists) || !exists)
        return false;
    const std::vector<std::string> lines = SplitLines(content);
    // Names are trimmed as the writer trims them, so a name read as it was
    // written finds what was written.
    const std::string keyName(Trim(Utf8(key)));
    const Location at = Find(lines, std::string(Trim(Utf8(section))), &keyName);
    if (at.key < 0)
        return false;
    std::string_view name;
    std::string_view text;
    KeyLine(lines[static_cast<size_t>(at.key)], name, text);
    if (text.size() >= 2 && IsQuote(text.front()) && text.back() == text.front())
        text = text.substr(1, text.size() - 2);
    value = ToWide(std::string(text).c_str(), CP_UTF8);
    return true;
}

bool HasAny(const wchar_t* text, const wchar_t* characters)
{
    return text != nullptr && std::wcspbrk(text, characters) != nullptr;
}

std::mutex& WriteMutex()
{
    static std::mutex lock;
    return lock;
}

// A value as its line holds it. The reader trims a value and takes one pair
// of equal quotes off it, so a value that would lose its blanks or its
// quotes that way is stored inside a pair of double quotes of its own.
std::string Stored(const std::string& value)
{
    const bool quoted = value.size() >= 2 && IsQuote(value.front()) && value.back() == value.front();
    if (Trim(value).size() == value.size() && !quoted)
        return value;
    return "\"" + value + "\"";
}

// Applies one write to the lines of the file.
void Edit(std::vector<std::string>& lines, const std::string& section, const std::string* key,
          const std::string* value)
{
    // New lines follow the file's own line ending.
    const std::string cr = !lines.empty() && !lines.front().empty() && lines.front().back() == '\r' ? "\r" : "";
    const Location at = Find(lines, section, key);
    if (key == nullptr) {
        if (at.section >= 0)
            lines.erase(lines.begin() + at.section, lines.begin() + at.sectionEnd);
        return;
    }
    if (value == nullptr) {
        if (at.key >= 0)
            lines.erase(lines.begin() + at.key);
        return;
    }
    const std::string entry = *key + "=" + Stored(*value) + cr;
    if (at.key >= 0) {
        lines[static_cast<size_t>(at.key)] = entry;
    } else if (at.section >= 0) {
        // After the section's last non-blank line, so blank lines that part
        // it from the next section stay where they are.
        long insert = at.sectionEnd;
        while (insert - 1 > at.section && Trim(lines[static_cast<size_t>(insert - 1)]).empty())
            --insert;
        lines.insert(lines.begin() + insert, entry);
    } else {
        lines.push_back("[" + section + "]" + cr);
        lines.push_back(entry);
    }
}

}  // namespace

unsigned ReadIniString(const wchar_t* section, const wchar_t* key, const wchar_t* defaultValue, wchar_t* buffer,
                       unsigned size, const wchar_t* path)
{
    if (buffer == nullptr || size == 0)
        return 0;
    std::wstring value;
    try {
        if (!ReadValue(section, key, path, value))
            value = defaultValue != nullptr ? defaultValue : L"";
    } catch (...) {
        value = defaultValue != nullptr ? defaultValue : L"";
    }
    const size_t count = value.size() < size - 1 ? value.size() : size - 1;
    value.copy(buffer, count);
    buffer[count] = L'\0';
    return static_cast<unsigned>(count);
}

int ReadIniInt(const wchar_t* section, const wchar_t* key, int defaultValue, const wchar_t* path)
{
    std::wstring value;
    try {
        if (!ReadValue(section, key, path, value))
            return defaultValue;
    } catch (...) {
        return defaultValue;
    }
    size_t i = 0;
    while (i < value.size() && std::iswspace(static_cast<wint_t>(value[i])))
        ++i;
    bool negative = false;
    if (i < value.size() && (value[i] == L'-' || value[i] == L'+'))
        negative = value[i++] == L'-';
    // Unsigned arithmetic wraps, which is the 32-bit pattern wanted.
    uint32_t result = 0;
    for (; i < value.size() && value[i] >= L'0' && value[i] <= L'9'; ++i)
        result = result * 10u + static_cast<uint32_t>(value[i] - L'0');
    if (negative)
        result = 0u - result;
    int signedResult = 0;
    std::memcpy(&signedResult, &result, sizeof result);
    return signedResult;
}

int WriteIniString(const wchar_t* section, const wchar_t* key, const wchar_t* value, const wchar_t* path)
{
    if (section == nullptr || path == nullptr || path[0] == L'\0' || HasAny(section, L"\r\n]") ||
        HasAny(key, L"\r\n=") || HasAny(value, L"\r\n") ||
        (key != nullptr && (Trim(Utf8(key)).empty() || Trim(Utf8(key)).front() == '['))) {
        errno = EINVAL;
        return 0;
    }
    try {
        const std::string file = Utf8(path);
        const std::string sectionName(Trim(Utf8(section)));
        const std::string keyName(key != nullptr ? Trim(Utf8(key)) : std::string_view());
        const std::string valueText = Utf8(value);

        std::lock_guard<std::mutex> inProcess(WriteMutex());
        const bool written = ReplaceContent(file, [&](std::string& content) {
            std::vector<std::string> lines = SplitLines(content);
            Edit(lines, sectionName, key != nullptr ? &keyName : nullptr, value != nullptr ? &valueText : nullptr);
            content.clear();
            for (const std::string& line : lines) {
                content += line;
                content += '\n';
            }
        });
        return written ? 1 : 0;
    } catch (...) {
        errno = ENOMEM;
        return 0;
    }
}

}  // namespace Compat
