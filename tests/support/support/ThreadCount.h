#pragma once
// The threads of this process, as the system knows them.

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/syscall.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#endif

namespace TestSupport {

// The system's id of the calling thread.
inline uint64_t CurrentThreadSystemId()
{
#if defined(_WIN32)
    return GetCurrentThreadId();
#else
    return static_cast<uint64_t>(syscall(SYS_gettid));
#endif
}

// Whether the thread of that system id still runs in this process.
inline bool ThreadStillRuns(uint64_t id)
{
#if defined(_WIN32)
    const HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(id));
    if (thread == nullptr)
        return false;
    DWORD code = 0;
    const bool running = GetExitCodeThread(thread, &code) != FALSE && code == STILL_ACTIVE;
    CloseHandle(thread);
    return running;
#else
    std::error_code ec;
    return std::filesystem::exists("/proc/self/task/" + std::to_string(id), ec);
#endif
}

#if !defined(_WIN32)
// How many threads the process runs now. Linux only: Windows keeps pool
// threads of its own for sockets, which come and go unrelated to the code
// under test.
inline size_t ProcessThreadCount()
{
    size_t count = 0;
    std::error_code ec;
    for (std::filesystem::directory_iterator it("/proc/self/task", ec), end; !ec && it != end; it.increment(ec))
        ++count;
    return count;
}
#endif

}  // namespace TestSupport
