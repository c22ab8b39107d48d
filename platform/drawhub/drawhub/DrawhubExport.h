#pragma once

#if defined(_WIN32)
#if defined(DRAWHUB_BUILD)
#define DRAWHUB_API __declspec(dllexport)
#else
#define DRAWHUB_API __declspec(dllimport)
#endif
#else
#define DRAWHUB_API __attribute__((visibility("default")))
#endif
