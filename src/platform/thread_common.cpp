#include "platform/thread.h"

#include <exception>

int thread_run_body(int (*body)()) {
    try {
        return body();
    } catch (const std::exception&) {
        return -1;
    }
}
