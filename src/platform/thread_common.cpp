#include "platform/thread.h"

#include <exception>

int thread_run_body(int (*body)()) {
    try {
        return body();
    } catch (const std::exception&) {
        return -1;
    }
}

void thread_end_within(thread_t& t, uint32_t limit_ms) {
    if (t == nullptr) return;
    if (!thread_join_for(t, limit_ms)) thread_join(t);
    thread_release(t);
    t = nullptr;
}
