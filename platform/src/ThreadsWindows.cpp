// The background thread on Windows: it holds a reference to the module it runs in (the library)
// and ends with FreeLibraryAndExitThread, so the library is never unloaded under a running thread,
// and a host's FreeLibrary never waits for one under the loader lock. No fork here.
#include <windows.h>

#include "PlatformThreads.h"

namespace Platform {

struct BackgroundThread::State {
    void (*body)(void*);
    void* context;
    HMODULE module;
    HANDLE done;
    HANDLE thread;
};

namespace {
DWORD WINAPI RunBackground(void* parameter) {
    auto* state = static_cast<BackgroundThread::State*>(parameter);
    HMODULE module = state->module;  // the state may be gone once `done` is set
    state->body(state->context);
    ::SetEvent(state->done);
    if (module != nullptr) ::FreeLibraryAndExitThread(module, 0);
    return 0;
}
}  // namespace

bool BackgroundThread::Start(void (*body)(void*), void* context) {
    auto* next = new State{body, context, nullptr, nullptr, nullptr};
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                         reinterpret_cast<LPCWSTR>(&RunBackground), &next->module);
    next->done = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (next->done != nullptr) {
        next->thread = ::CreateThread(nullptr, 0, RunBackground, next, 0, nullptr);
    }
    if (next->thread == nullptr) {
        if (next->done != nullptr) ::CloseHandle(next->done);
        if (next->module != nullptr) ::FreeLibrary(next->module);
        delete next;
        return false;
    }
    state = next;
    return true;
}

void BackgroundThread::Join() {
    if (state == nullptr) return;
    // `done` when the body returned; the thread's handle when the end of the process stopped it
    // first. Called on the thread itself when its FreeLibraryAndExitThread unloads the library:
    // `done` is set by then.
    HANDLE waits[] = {state->done, state->thread};
    ::WaitForMultipleObjects(2, waits, FALSE, INFINITE);
    ::CloseHandle(state->thread);
    ::CloseHandle(state->done);
    delete state;
    state = nullptr;
}

void AtFork(void (*)(), void (*)(), void (*)()) {}

}  // namespace Platform
