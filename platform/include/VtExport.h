// Export macros of the four libraries. Each library defines its *_BUILDING macro while it is
// compiled; everything it does not mark stays hidden.
#pragma once

#if defined(_WIN32)
#define VT_DLL_EXPORT __declspec(dllexport)
#define VT_DLL_IMPORT __declspec(dllimport)
#else
#define VT_DLL_EXPORT __attribute__((visibility("default")))
#define VT_DLL_IMPORT __attribute__((visibility("default")))
#endif

#if defined(DATABASE_BUILDING)
#define DATABASE_API VT_DLL_EXPORT
#else
#define DATABASE_API VT_DLL_IMPORT
#endif

#if defined(LOGHELPER_BUILDING)
#define LOGHELPER_API VT_DLL_EXPORT
#else
#define LOGHELPER_API VT_DLL_IMPORT
#endif

#if defined(VTFILEUTIL_BUILDING)
#define VTFILEUTIL_API VT_DLL_EXPORT
#else
#define VTFILEUTIL_API VT_DLL_IMPORT
#endif

#if defined(MODEL_BUILDING)
#define MODEL_API VT_DLL_EXPORT
#else
#define MODEL_API VT_DLL_IMPORT
#endif
