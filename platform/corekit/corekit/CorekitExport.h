#pragma once

#if defined(_WIN32)
#if defined(COREKIT_BUILD)
#define COREKIT_API __declspec(dllexport)
#else
#define COREKIT_API __declspec(dllimport)
#endif
#else
#define COREKIT_API __attribute__((visibility("default")))
#endif
