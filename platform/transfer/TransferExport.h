#pragma once

#if defined(_WIN32)
#if defined(TRANSFER_BUILD)
#define TRANSFER_API __declspec(dllexport)
#else
#define TRANSFER_API __declspec(dllimport)
#endif
#else
#define TRANSFER_API __attribute__((visibility("default")))
#endif
