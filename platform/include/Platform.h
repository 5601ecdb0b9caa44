// The port layer. The library calls the Windows functions by their own names; on Windows they
// are the real ones, elsewhere this header declares stand-ins with the same meaning (see
// platform/src/PlatformPosix.cpp). Library sources include this header and no system header
// of their own, so they read the same on every platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "PlatformTypes.h"

#if defined(_WIN32)
#include <shlobj.h>
#include <wtsapi32.h>
#include <ctime>
#include <cstring>
#include <cwchar>
#else
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef wchar_t* LPWSTR;
typedef void* HWND;
typedef HANDLE* PHANDLE;
typedef unsigned int UINT;
typedef unsigned long ULONG;
typedef int HRESULT;  // 32 bits, as on Windows: failures are negative
typedef long long __time64_t;
typedef int errno_t;

#define CP_ACP 0
#define CSIDL_COMMON_APPDATA 0x0023
#define SHGFP_TYPE_CURRENT 0
#define ERROR_PRIVILEGE_NOT_HELD 1314L

DWORD WTSGetActiveConsoleSessionId();
BOOL WTSQueryUserToken(ULONG sessionId, PHANDLE token);
BOOL ImpersonateLoggedOnUser(HANDLE token);
BOOL RevertToSelf();
BOOL CloseHandle(HANDLE handle);
DWORD GetLastError();
void SetLastError(DWORD code);
HRESULT SHGetFolderPathA(HWND window, int folder, HANDLE token, DWORD flags, LPSTR path);
int MultiByteToWideChar(UINT codePage, DWORD flags, LPCSTR text, int bytes, LPWSTR out, int units);
__time64_t _time64(__time64_t* out);
errno_t wcsncpy_s(wchar_t* dest, size_t destSize, const wchar_t* src, size_t count);
errno_t memcpy_s(void* dest, size_t destSize, const void* src, size_t count);
#endif

namespace Platform {
// The separator between the parts of a path on this platform.
#if defined(_WIN32)
constexpr char kPathSeparator = '\\';
constexpr wchar_t kWidePathSeparator = L'\\';
#else
constexpr char kPathSeparator = '/';
constexpr wchar_t kWidePathSeparator = L'/';
#endif

// Which file a path names at this moment: two equal ids name the same file. Where an open file
// can be neither deleted nor renamed (Windows), only its existence can change while it is open.
struct FileId {
    bool exists = false;
    unsigned long long device = 0;
    unsigned long long inode = 0;
    bool operator==(const FileId& other) const {
        return exists == other.exists && device == other.device && inode == other.inode;
    }
    bool operator!=(const FileId& other) const { return !(*this == other); }
};
FileId IdentifyFile(const std::string& path);

// This process's id: a forked child has another one than its parent.
unsigned long ProcessId();

// A manual-reset event that a waiter can block on; null where the platform has none.
HANDLE CreateFinishEvent();
void SignalFinishEvent(HANDLE event);
void CloseFinishEvent(HANDLE event);

}  // namespace Platform
