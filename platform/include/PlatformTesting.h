// Test seams of the POSIX stand-in layer: they let a test play the Windows outcomes of the
// start-up calls. Each takes effect for the calls made after it, on any thread.
#pragma once

#include "VtExport.h"

#if !defined(_WIN32)
namespace PlatformTesting {
// 0: the console token is granted (and impersonation then runs);
// any other value: WTSQueryUserToken fails with that last-error code. Default 1314.
DATABASE_API void SimulateConsoleToken(unsigned long lastError);
// true: ImpersonateLoggedOnUser fails. Default false.
DATABASE_API void SimulateImpersonationFailure(bool fail);
// 0: the application-data folder resolves normally; any other value: the lookup fails and
// GetLastError gives that value. Default 0.
DATABASE_API void SimulateAppDataFailure(unsigned long lastError);

// What the stand-ins saw: whether the calling thread still impersonates the console user, and
// how many console tokens are open (obtained and not yet closed).
DATABASE_API bool IsImpersonating();
DATABASE_API int OpenConsoleTokens();
}  // namespace PlatformTesting
#endif
