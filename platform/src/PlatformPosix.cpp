// Stand-ins for the Windows calls on POSIX. They keep the Windows results, error numbers
// included, so the library's own code runs unchanged; the test seams pick the outcomes of the
// calls that a test cannot otherwise provoke (the console token, impersonation, the folder).
#include "Platform.h"
#include "PlatformTesting.h"
#include "TextCodec.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>

#include <sys/stat.h>
#include <unistd.h>

namespace {
thread_local DWORD lastError = 0;
std::atomic<unsigned long> consoleTokenError{ERROR_PRIVILEGE_NOT_HELD};
std::atomic<bool> impersonationFails{false};
std::atomic<unsigned long> appDataError{0};
thread_local bool impersonating = false;  // impersonation belongs to one thread
std::atomic<int> openTokens{0};
int consoleToken;  // the handle the stand-in hands out

constexpr DWORD kErrorNoUnicodeTranslation = 1113;
constexpr DWORD kErrorInsufficientBuffer = 122;
constexpr DWORD kErrorInvalidParameter = 87;
constexpr HRESULT kFail = static_cast<HRESULT>(0x80004005u);
constexpr size_t kMaxPath = 260;

}  // namespace

namespace PlatformTesting {
void SimulateConsoleToken(unsigned long error) { consoleTokenError = error; }
void SimulateImpersonationFailure(bool fail) { impersonationFails = fail; }
void SimulateAppDataFailure(unsigned long error) { appDataError = error; }
bool IsImpersonating() { return impersonating; }
int OpenConsoleTokens() { return openTokens; }
}  // namespace PlatformTesting

DWORD GetLastError() { return lastError; }
void SetLastError(DWORD code) { lastError = code; }

DWORD WTSGetActiveConsoleSessionId() { return 1; }

BOOL WTSQueryUserToken(ULONG, PHANDLE token) {
    unsigned long error = consoleTokenError;
    if (error != 0 || token == nullptr) {
        SetLastError(error != 0 ? error : kErrorInvalidParameter);
        return FALSE;
    }
    *token = &consoleToken;
    ++openTokens;
    return TRUE;
}

BOOL ImpersonateLoggedOnUser(HANDLE) {
    if (impersonationFails) {
        SetLastError(ERROR_PRIVILEGE_NOT_HELD);
        return FALSE;
    }
    impersonating = true;
    return TRUE;
}

BOOL RevertToSelf() {
    impersonating = false;
    return TRUE;
}

BOOL CloseHandle(HANDLE handle) {
    if (handle == &consoleToken) --openTokens;
    return TRUE;
}

HRESULT SHGetFolderPathA(HWND, int folder, HANDLE, DWORD, LPSTR path) {
    unsigned long error = appDataError;
    if (error != 0 || folder != CSIDL_COMMON_APPDATA || path == nullptr) {
        SetLastError(error != 0 ? error : kErrorInvalidParameter);
        return kFail;
    }
    const char* env = std::getenv("PROGRAMDATA");
    std::string value = (env != nullptr && *env != '\0') ? env : "/var/lib";
    while (value.size() > 1 && value.back() == '/') value.pop_back();
    if (value.size() >= kMaxPath) {
        SetLastError(kErrorInsufficientBuffer);
        return kFail;
    }
    std::memcpy(path, value.c_str(), value.size() + 1);
    return 0;
}

// The ANSI code page of a POSIX system is UTF-8, whatever the C locale says.
int MultiByteToWideChar(UINT, DWORD, LPCSTR text, int bytes, LPWSTR out, int units) {
    if (text == nullptr || bytes == 0 || bytes < -1 || units < 0) {
        SetLastError(kErrorInvalidParameter);
        return 0;
    }
    size_t size = bytes == -1 ? std::strlen(text) + 1 : static_cast<size_t>(bytes);
    auto data = reinterpret_cast<const unsigned char*>(text);
    size_t written = 0;
    for (size_t i = 0; i < size;) {
        char32_t c;
        size_t length = TextCodec::DecodeUtf8(data, size, i, c);
        if (length == 0) {
            SetLastError(kErrorNoUnicodeTranslation);
            return 0;
        }
        if (units != 0) {
            if (written >= static_cast<size_t>(units)) {
                SetLastError(kErrorInsufficientBuffer);
                return 0;
            }
            out[written] = static_cast<wchar_t>(c);
        }
        ++written;
        i += length;
    }
    return static_cast<int>(written);
}

__time64_t _time64(__time64_t* out) {
    __time64_t now = static_cast<__time64_t>(std::time(nullptr));
    if (out != nullptr) *out = now;
    return now;
}

errno_t wcsncpy_s(wchar_t* dest, size_t destSize, const wchar_t* src, size_t count) {
    if (dest == nullptr || destSize == 0) return EINVAL;
    if (src == nullptr) {
        dest[0] = L'\0';
        return EINVAL;
    }
    size_t length = 0;
    while (length < count && src[length] != L'\0') ++length;
    if (length >= destSize) {
        dest[0] = L'\0';
        return ERANGE;
    }
    std::wmemcpy(dest, src, length);
    dest[length] = L'\0';
    return 0;
}

errno_t memcpy_s(void* dest, size_t destSize, const void* src, size_t count) {
    if (count == 0) return 0;
    if (dest == nullptr) return EINVAL;
    if (src == nullptr || destSize < count) {
        std::memset(dest, 0, destSize);
        return src == nullptr ? EINVAL : ERANGE;
    }
    std::memcpy(dest, src, count);
    return 0;
}

namespace Platform {
FileId IdentifyFile(const std::string& path) {
    FileId id;
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) return id;
    id.exists = true;
    id.device = static_cast<unsigned long long>(info.st_dev);
    id.inode = static_cast<unsigned long long>(info.st_ino);
    return id;
}

unsigned long ProcessId() { return static_cast<unsigned long>(::getpid()); }
}  // namespace Platform
