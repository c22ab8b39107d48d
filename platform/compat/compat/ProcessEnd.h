#pragma once
// Whether the process is ending, for the destructors of objects that live
// as long as a DLL does.
//
// On Windows a process's end first stops every thread but the one that
// ends it, and only then runs each DLL's static destructors. A thread so
// stopped may have held a lock, and a join of it may never return: a
// destructor that waits for its threads there can wait for ever, and so can
// the destruction of a condition variable a stopped thread was waiting on.
// ProcessWide below leaves such an object whole to the system then. An
// unloading of the DLL alone (FreeLibrary) is not a process's end: the
// threads still run and must be waited for.

#if defined(_WIN32)
#include <windows.h>
#endif

namespace Compat {

inline bool ProcessIsEnding()
{
#if defined(_WIN32)
    using ShutdownQuery = BOOLEAN(NTAPI*)();
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    const auto query = ntdll == nullptr ? nullptr
                                        : reinterpret_cast<ShutdownQuery>(
                                              reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlDllShutdownInProgress")));
    return query != nullptr && query() != FALSE;
#else
    return false;
#endif
}

// Owns a process-wide object whose destructor waits for its threads: the
// object is deleted when its module is unloaded while the process goes on,
// and left whole to the system when the process is ending. Left whole, not
// half-destroyed: destroying a condition variable that a stopped thread was
// waiting on can wait for ever too.
template <typename T>
class ProcessWide {
public:
    explicit ProcessWide(T* object) : m_object(object) {}
    ~ProcessWide()
    {
        if (!ProcessIsEnding())
            delete m_object;
    }
    ProcessWide(const ProcessWide&) = delete;
    ProcessWide& operator=(const ProcessWide&) = delete;

    T& operator*() const { return *m_object; }

private:
    T* m_object;
};

}  // namespace Compat
