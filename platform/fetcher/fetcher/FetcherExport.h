#pragma once

#if defined(_WIN32)
#if defined(FETCHER_BUILD)
#define FETCHER_API __declspec(dllexport)
#else
#define FETCHER_API __declspec(dllimport)
#endif
#else
#define FETCHER_API __attribute__((visibility("default")))
#endif
