// Folder helpers of the application. Paths are narrow strings in the process's ANSI code page.
#pragma once

#include <string>

#include "PlatformTypes.h"
#include "VtExport.h"

namespace DE {
// Creates the folder with every missing parent. Non-zero on success (also when the folder is
// already there), 0 on failure. The security attributes are not used.
VTFILEUTIL_API int CreateDeepDirectory(const std::string& path,
                                       LPSECURITY_ATTRIBUTES securityAttributes);
// Removes the folder with everything in it. Non-zero on success (also when it was not there),
// 0 on failure.
VTFILEUTIL_API int DeleteDeepDirectory(const std::string& path);
}  // namespace DE
