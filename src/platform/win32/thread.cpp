#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include "platform/thread.h"

#include <new>

struct plat_thread {
    HANDLE handle;
    int (*body)();
};

namespace {
DWORD WINAPI trampoline(LPVOID arg) {
    return static_cast<DWORD>(thread_run_body(static_cast<plat_thread*>(arg)->body));
}
} // namespace

thread_t thread_start(int (*body)()) {
    auto* t = new (std::nothrow) plat_thread{nullptr, body};
    if (t == nullptr) return nullptr;
    t->handle = CreateThread(nullptr, 0, trampoline, t, 0, nullptr);
    if (t->handle == nullptr) {
        delete t;
        return nullptr;
    }
    return t;
}

// A thread that ran out its wait goes on using its plat_thread (body), so the record stays
// alive until release; closing the handle alone never ends or detaches anything on Windows.
bool thread_join_for(thread_t t, uint32_t ms) {
    if (t == nullptr) return true;
    return WaitForSingleObject(t->handle, ms) == WAIT_OBJECT_0;
}

void thread_join(thread_t t) {
    if (t == nullptr) return;
    WaitForSingleObject(t->handle, INFINITE);
}

void thread_release(thread_t t) {
    if (t == nullptr) return;
    CloseHandle(t->handle);
    delete t;
}
