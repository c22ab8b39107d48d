#include "pelbo/compat/TextFile.h"

#include <cerrno>
#include <cstdint>

#if defined(_WIN32)
#include <windows.h>

#include "pelbo/compat/TextConvert.h"
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace Compat {

namespace {

bool WithoutByteOrderMark(std::string& content, bool* byteOrderMark)
{
    const bool found = content.compare(0, 3, "\xEF\xBB\xBF") == 0;
    if (found)
        content.erase(0, 3);
    if (byteOrderMark != nullptr)
        *byteOrderMark = found;
    return true;
}

}  // namespace

#if defined(_WIN32)

bool ReadTextFile(const std::string& path, size_t maxBytes, std::string& content, bool& exists, bool* byteOrderMark)
{
    content.clear();
    exists = false;
    const std::wstring wide = ToWide(path.c_str(), CP_UTF8);
    const HANDLE file = ::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return true;
        exists = true;
        errno = error == ERROR_ACCESS_DENIED ? EACCES : EIO;
        return false;
    }
    exists = true;
    bool ok = true;
    LARGE_INTEGER size{};
    // A pipe or a console in the file's place is refused, never waited on.
    if (::GetFileType(file) != FILE_TYPE_DISK || !::GetFileSizeEx(file, &size)) {
        errno = EINVAL;
        ok = false;
    } else if (static_cast<uint64_t>(size.QuadPart) > maxBytes) {
        errno = EFBIG;
        ok = false;
    }
    char chunk[8192];
    while (ok) {
        DWORD n = 0;
        if (!::ReadFile(file, chunk, sizeof chunk, &n, nullptr)) {
            errno = EIO;
            ok = false;
            break;
        }
        if (n == 0)
            break;
        content.append(chunk, n);
        if (content.size() > maxBytes) {
            errno = EFBIG;
            ok = false;
        }
    }
    ::CloseHandle(file);
    if (!ok) {
        content.clear();
        return false;
    }
    return WithoutByteOrderMark(content, byteOrderMark);
}

#else

bool ReadTextFile(const std::string& path, size_t maxBytes, std::string& content, bool& exists, bool* byteOrderMark)
{
    content.clear();
    exists = false;
    // Without O_NONBLOCK, opening a FIFO waits for a writer that may never
    // come; the flag means nothing to the regular file that is read below.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT;
    exists = true;
    bool ok = true;
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        ok = false;
    } else if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        ok = false;
    } else if (static_cast<uint64_t>(st.st_size) > maxBytes) {
        errno = EFBIG;
        ok = false;
    }
    char chunk[8192];
    while (ok) {
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        content.append(chunk, static_cast<size_t>(n));
        if (content.size() > maxBytes) {
            errno = EFBIG;
            ok = false;
        }
    }
    const int error = errno;
    ::close(fd);
    errno = error;
    if (!ok) {
        content.clear();
        return false;
    }
    return WithoutByteOrderMark(content, byteOrderMark);
}

#endif

}  // namespace Compat
