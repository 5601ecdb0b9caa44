// The few calls of the port layer that Windows has no function of the same name for.
#include "Platform.h"

namespace Platform {
// The library's database files are open without sharing deletion, so while they are open they
// cannot be deleted, renamed or replaced: existence is the whole identity.
FileId IdentifyFile(const std::string& path) {
    FileId id;
    WIN32_FILE_ATTRIBUTE_DATA data;
    id.exists = ::GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) != 0;
    return id;
}

unsigned long ProcessId() { return ::GetCurrentProcessId(); }
}  // namespace Platform
