#pragma once
// The process's file-creation mask for one scope, so that a test of the
// modes of new files does not depend on the mask it was started with.
// Windows has no file modes to test: its tests of modes are skipped.
#if !defined(_WIN32)

#include <sys/stat.h>

class Umask {
public:
    explicit Umask(mode_t mask) : m_previous(::umask(mask)) {}
    ~Umask() { ::umask(m_previous); }
    Umask(const Umask&) = delete;
    Umask& operator=(const Umask&) = delete;

private:
    mode_t m_previous;
};

inline unsigned ModeOf(const char* path)
{
    struct stat st {};
    return ::stat(path, &st) == 0 ? st.st_mode & 07777 : 0u;
}

#endif
