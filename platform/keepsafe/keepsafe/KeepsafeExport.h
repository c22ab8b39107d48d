#pragma once

#if defined(_WIN32)
#if defined(KEEPSAFE_BUILD)
#define KEEPSAFE_API __declspec(dllexport)
#else
#define KEEPSAFE_API __declspec(dllimport)
#endif
#else
#define KEEPSAFE_API __attribute__((visibility("default")))
#endif
