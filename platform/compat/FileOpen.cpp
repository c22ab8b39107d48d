#include "pelbo/compat/FileOpen.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#endif

#include <cerrno>

#include "pelbo/compat/TextConvert.h"

namespace Compat {

#if defined(_WIN32)

namespace {

std::wstring Widened(const std::string& utf8Path)
{
    return utf8Path.empty() ? std::wstring() : ToWide(utf8Path.c_str(), CP_UTF8);
}

}  // namespace

std::FILE* OpenFile(const std::string& utf8Path, const char* mode)
{
    const std::wstring path = Widened(utf8Path);
    const std::wstring wideMode = ToWide(mode, CP_UTF8);
    if (path.empty() || wideMode.empty()) {
        errno = EINVAL;
        return nullptr;
    }
    return ::_wfopen(path.c_str(), wideMode.c_str());
}

std::FILE* CreateNewFile(const std::string& utf8Path)
{
    const std::wstring path = Widened(utf8Path);
    if (path.empty()) {
        errno = EINVAL;
        return nullptr;
    }
    const int fd = ::_wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0)
        return nullptr;
    std::FILE* file = ::_fdopen(fd, "wb");
    if (file == nullptr)
        ::_close(fd);
    return file;
}

#else

std::FILE* OpenFile(const std::string& utf8Path, const char* mode)
{
    return std::fopen(utf8Path.c_str(), mode);
}

std::FILE* CreateNewFile(const std::string& utf8Path)
{
    return std::fopen(utf8Path.c_str(), "wbx");
}

#endif

}  // namespace Compat
