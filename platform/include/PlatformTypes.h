// The few Windows types that the public headers name. On Windows they come from <windows.h>;
// elsewhere they are plain stand-ins of the same size class.
#pragma once

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
typedef void* HANDLE;
typedef void* LPSECURITY_ATTRIBUTES;
typedef int BOOL;
typedef unsigned long DWORD;
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
#endif
