// The tree model's finish event: a manual-reset event, so every waiter sees it once set.
#include "Platform.h"

namespace Platform {
HANDLE CreateFinishEvent() { return ::CreateEventW(nullptr, TRUE, FALSE, nullptr); }
void SignalFinishEvent(HANDLE event) {
    if (event != nullptr) ::SetEvent(event);
}
void CloseFinishEvent(HANDLE event) {
    if (event != nullptr) ::CloseHandle(event);
}
}  // namespace Platform
