#include "VtFileUtil.h"

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace DE {
int CreateDeepDirectory(const std::string& path, LPSECURITY_ATTRIBUTES) {
    if (path.empty()) return 0;
    std::error_code error;
    fs::create_directories(fs::path(path), error);
    if (error) return 0;
    return fs::is_directory(fs::path(path), error) ? 1 : 0;
}

int DeleteDeepDirectory(const std::string& path) {
    if (path.empty()) return 0;
    std::error_code error;
    fs::remove_all(fs::path(path), error);
    return error ? 0 : 1;
}
}  // namespace DE
