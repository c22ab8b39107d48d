#pragma once

#if defined(_WIN32)
#if defined(NETCALL_BUILD)
#define NETCALL_API __declspec(dllexport)
#else
#define NETCALL_API __declspec(dllimport)
#endif
#else
#define NETCALL_API __attribute__((visibility("default")))
#endif
