// Where the library keeps its data on Windows: always the all-users application-data folder
// that the system names, whatever the process is told.
#include <windows.h>
#include <shlobj.h>

#include <system_error>

#include "Library.h"
#include "Text.h"
#include "Tool.h"

namespace fs = std::filesystem;

namespace transferdb {

fs::path MachineDataFolder() {
    wchar_t folder[MAX_PATH] = {};
    if (SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder) < 0) {
        throw ToolError(kExitFailure, "cannot find the all-users application-data folder");
    }
    return fs::path(folder);
}

void UseFolderAsDataFolder(const fs::path& folder, bool) {
    const fs::path machine = MachineDataFolder();
    std::error_code error;
    if (!fs::equivalent(folder, machine, error)) {
        throw ToolError(kExitUsage,
                        "--data-dir: on Windows the library always keeps its database in the "
                        "all-users application-data folder, " +
                            Printable(machine) + "; no other folder can be chosen");
    }
}

}  // namespace transferdb
