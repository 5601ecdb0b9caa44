// Where the library keeps its data on POSIX: $PROGRAMDATA when set and not empty, else /var/lib.
#include <cstdlib>
#include <system_error>

#include "Library.h"
#include "Text.h"
#include "Tool.h"

namespace fs = std::filesystem;

namespace transferdb {

fs::path MachineDataFolder() {
    const char* folder = std::getenv("PROGRAMDATA");
    return (folder != nullptr && *folder != '\0') ? fs::path(folder) : fs::path("/var/lib");
}

void UseFolderAsDataFolder(const fs::path& folder, bool create) {
    if (create && !fs::is_directory(folder)) {
        std::error_code error;
        fs::create_directories(folder, error);
        if (error) {
            throw ToolError(kExitUsage, "--data-dir " + Printable(folder) + ": " + error.message());
        }
    }
    setenv("PROGRAMDATA", folder.c_str(), 1);
}

}  // namespace transferdb
