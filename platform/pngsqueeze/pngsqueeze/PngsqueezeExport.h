#pragma once

#if defined(_WIN32)
#if defined(PNGSQUEEZE_BUILD)
#define PNGSQUEEZE_API __declspec(dllexport)
#else
#define PNGSQUEEZE_API __declspec(dllimport)
#endif
#else
#define PNGSQUEEZE_API __attribute__((visibility("default")))
#endif
