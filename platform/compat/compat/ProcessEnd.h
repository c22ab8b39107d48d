#pragma once
// Whether the process is ending, for the destructors of objects that live
// as long as a DLL does.
//
// On Windows a process's end first stops every thread but the one that
// ends it, and only then runs each DLL's static destructors. A thread so
// stopped may have held a lock, and a join of it may never return: a
// destructor that waits for its threads there can wait for ever. Such a
// destructor leaves its threads and memory to the system when this is
// true. An unloading of the DLL alone (FreeLibrary) is not a process's end:
// the threads still run and must be waited for.

#if defined(_WIN32)
#include <windows.h>
#endif

#include <utility>

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

// Moves an object (a thread, or one whose destructor joins threads) where
// it is never destroyed: the process's end frees its memory, and nothing
// waits for threads that are gone.
template <typename T>
void LeaveToProcessEnd(T& object)
{
    new T(std::move(object));
}

}  // namespace Compat
