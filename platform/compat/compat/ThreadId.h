#pragma once
// The calling thread's identity, comparable across modules.
//
// On Windows every DLL built with the static runtime holds its own copy of
// the threads library, and each copy names a thread it did not start with
// a handle of its own: std::this_thread::get_id() taken in one DLL never
// equals the one taken for the same thread in another. Code inlined from a
// header runs in whichever module calls it, so it compares the system's
// thread id instead. A default-constructed ThreadId names no thread.

#if defined(_WIN32)
#include <windows.h>
#else
#include <thread>
#endif

namespace Compat {

#if defined(_WIN32)
using ThreadId = DWORD;
inline ThreadId CurrentThreadId() { return GetCurrentThreadId(); }
#else
using ThreadId = std::thread::id;
inline ThreadId CurrentThreadId() { return std::this_thread::get_id(); }
#endif

}  // namespace Compat
