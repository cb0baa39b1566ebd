#include "platform/thread.h"

#include <cerrno>
#include <ctime>
#include <new>
#include <pthread.h>

struct plat_thread {
    pthread_t id;
    int (*body)();
};

namespace {
void* trampoline(void* arg) {
    thread_run_body(static_cast<plat_thread*>(arg)->body);
    return nullptr;
}
} // namespace

thread_t thread_start(int (*body)()) {
    auto* t = new (std::nothrow) plat_thread{pthread_t{}, body};
    if (t == nullptr) return nullptr;
    if (pthread_create(&t->id, nullptr, trampoline, t) != 0) {
        delete t;
        return nullptr;
    }
    return t;
}

bool thread_join_for(thread_t t, uint32_t ms) {
    if (t == nullptr) return true;
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += ms / 1000;
    deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    if (pthread_timedjoin_np(t->id, nullptr, &deadline) != 0) return false;
    t->body = nullptr; // joined: release must not detach
    return true;
}

void thread_join(thread_t t) {
    if (t == nullptr || t->body == nullptr) return;
    pthread_join(t->id, nullptr);
    t->body = nullptr;
}

void thread_release(thread_t t) {
    if (t == nullptr) return;
    if (t->body != nullptr) pthread_detach(t->id);
    delete t;
}
