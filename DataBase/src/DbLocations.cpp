#include "DbLocations.h"

#include <filesystem>

#include "DbLog.h"
#include "Platform.h"
#include "VtFileUtil.h"

namespace {
const std::string kDataFolderSuffix =
    std::string(1, Platform::kPathSeparator) + "Voded" + Platform::kPathSeparator + "Corvanel";
const std::string kMainDbName = "corvanel.db";
const std::string kCacheDbName = "doc_Cache.db";
const std::string kCacheFolder =
    std::string(1, Platform::kPathSeparator) + "db_cache" + Platform::kPathSeparator;
}  // namespace

namespace Db {
int GetDataFolder(std::string& folder) {
    char buffer[260] = {};
    if (SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT, buffer) < 0) {
        return static_cast<int>(GetLastError());
    }
    folder = buffer;
    folder += kDataFolderSuffix;
    // Throws for an error other than "not found" (access denied, say): nothing here catches it.
    if (!std::filesystem::exists(std::filesystem::path(folder))) {
        if (DE::CreateDeepDirectory(folder, nullptr) == 0) {
            LogLine(LOG_LEVEL_ERROR, "DE::CreateDeepDirectory process failed!", "GetDBFilePath");
        }
    }
    return 0;
}

std::string MainDbPath(const std::string& folder) {
    return folder.empty() ? std::string() : folder + Platform::kPathSeparator + kMainDbName;
}

std::string CacheDbPath(const std::string& folder) {
    return folder.empty() ? std::string() : CacheFolder(folder) + kCacheDbName;
}

std::string CacheFolder(const std::string& folder) {
    return folder.empty() ? std::string() : folder + kCacheFolder;
}
}  // namespace Db
