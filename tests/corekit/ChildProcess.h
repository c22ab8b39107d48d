#pragma once
// Runs a check in a child process, for calls that could otherwise hold the
// test process for good (an open() waiting for a FIFO's writer). The alarm
// is a watchdog, not a measure of speed: a child still stuck after it is
// ended, and the check fails instead of hanging the run. Windows has no
// fork(): the tests that need it are skipped there.
#if !defined(_WIN32)

#include <sys/wait.h>
#include <unistd.h>

#include <functional>

inline bool PassesInChild(const std::function<bool()>& check)
{
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::alarm(30);
        ::_exit(check() ? 0 : 1);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid)
        return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

#endif
