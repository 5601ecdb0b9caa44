// POSIX has no event object the tree model could hand out: its finish event is null.
#include "Platform.h"

namespace Platform {
HANDLE CreateFinishEvent() { return nullptr; }
void SignalFinishEvent(HANDLE) {}
void CloseFinishEvent(HANDLE) {}
}  // namespace Platform
