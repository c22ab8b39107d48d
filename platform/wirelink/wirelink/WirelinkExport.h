#pragma once

#if defined(_WIN32)
#if defined(WIRELINK_BUILD)
#define WIRELINK_API __declspec(dllexport)
#else
#define WIRELINK_API __declspec(dllimport)
#endif
#else
#define WIRELINK_API __attribute__((visibility("default")))
#endif
