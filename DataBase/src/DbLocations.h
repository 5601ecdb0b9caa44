// Where the library keeps its files: the data folder under the all-users application-data
// folder, and the two databases in it.
#pragma once

#include <string>

namespace Db {
// Fills `folder` with the data folder, creating it when missing (a failure is logged, the path
// given all the same); returns 0, or the system's error code when the all-users folder cannot
// be found (`folder` then untouched). Throws the file system's error when the folder's existence
// cannot be tested.
int GetDataFolder(std::string& folder);
// The migration database's and the cache database's paths in `folder`, and the cache's folder;
// empty when the folder is unknown, so that nothing is ever created, opened or deleted at the root
// of the drive or filesystem.
std::string MainDbPath(const std::string& folder);
std::string CacheDbPath(const std::string& folder);
std::string CacheFolder(const std::string& folder);
}  // namespace Db
