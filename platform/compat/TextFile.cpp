#include "compat/TextFile.h"

#if !defined(_WIN32)

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace Compat {

bool ReadTextFile(const std::string& path, size_t maxBytes, std::string& content, bool& exists)
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
    if (content.compare(0, 3, "\xEF\xBB\xBF") == 0)
        content.erase(0, 3);
    return true;
}

}  // namespace Compat

#endif
