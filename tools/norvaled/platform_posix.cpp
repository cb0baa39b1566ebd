#include "platform.h"

#include <csignal>
#include <cstdlib>
#include <pthread.h>
#include <thread>
#include <unistd.h>

#include "interrupt.h"

namespace {

sigset_t interrupt_signals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

[[noreturn]] void take_interrupts(sigset_t set) {
    for (;;) {
        int sig = 0;
        if (sigwait(&set, &sig) == 0) interrupt_arrived();
    }
}

} // namespace

void platform_init() {
    std::signal(SIGPIPE, SIG_IGN);
    // The signals are blocked before the library makes its threads, which inherit the mask,
    // and taken by one thread of their own: no library thread ever sees a socket call cut
    // short by EINTR, and nothing runs in signal-handler context at all.
    const sigset_t set = interrupt_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::thread(take_interrupts, set).detach();
}

void platform_write_stderr(const char* text, std::size_t len) {
    while (len > 0) {
        const ssize_t n = write(STDERR_FILENO, text, len);
        if (n <= 0) return;
        text += n;
        len -= static_cast<std::size_t>(n);
    }
}

bool platform_stdout_is_terminal() {
    return isatty(STDOUT_FILENO) == 1;
}

int platform_set_env(const char* name, const char* value) {
    return setenv(name, value, 1) == 0 ? 0 : -1;
}

void platform_shutdown_finished() {}
