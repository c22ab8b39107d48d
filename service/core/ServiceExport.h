#pragma once
// SERVICE_API marks what libService exports. The library is built with
// hidden visibility, so only declarations marked here are reachable by the
// client; SERVICE_BUILD is defined while the library itself is compiled.

#if defined(_WIN32)
#if defined(SERVICE_BUILD)
#define SERVICE_API __declspec(dllexport)
#else
#define SERVICE_API __declspec(dllimport)
#endif
#else
#define SERVICE_API __attribute__((visibility("default")))
#endif
