#pragma once

#if defined(_WIN32)
#if defined(BUCKETPUT_BUILD)
#define BUCKETPUT_API __declspec(dllexport)
#else
#define BUCKETPUT_API __declspec(dllimport)
#endif
#else
#define BUCKETPUT_API __attribute__((visibility("default")))
#endif
