#pragma once

// Marks what the library exports; everything else is built with hidden visibility (or, on
// Windows, stays inside veltonet.dll).
#if defined(_WIN32)
#if defined(VELTONET_BUILDING_LIBRARY)
#define VELTONET_EXPORT __declspec(dllexport)
#else
#define VELTONET_EXPORT __declspec(dllimport)
#endif
#else
#define VELTONET_EXPORT __attribute__((visibility("default")))
#endif
