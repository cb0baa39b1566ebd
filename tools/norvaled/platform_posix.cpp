#include "platform.h"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <termios.h>
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

bool platform_has_terminal() {
    const int fd = open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    close(fd);
    return true;
}

bool platform_prompt(const std::string& prompt, bool echo, std::string& answer) {
    const int fd = open("/dev/tty", O_RDWR | O_CLOEXEC);
    if (fd < 0) return false;
    // Echo goes off before the prompt shows, so that nothing typed after it is echoed; and
    // without a flush, so that nothing typed is lost.
    termios before{};
    const bool quiet = !echo && tcgetattr(fd, &before) == 0;
    if (quiet) {
        termios silent = before;
        silent.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(fd, TCSANOW, &silent);
    }
    if (write(fd, prompt.data(), prompt.size()) < 0) {
        if (quiet) tcsetattr(fd, TCSANOW, &before);
        close(fd);
        return false;
    }
    answer.clear();
    char c = 0;
    bool got_line = false;
    while (read(fd, &c, 1) == 1) {
        if (c == '\n') {
            got_line = true;
            break;
        }
        if (c != '\r') answer += c;
    }
    if (quiet) {
        tcsetattr(fd, TCSANOW, &before);
        if (write(fd, "\n", 1) < 0) got_line = false;
    }
    close(fd);
    return got_line;
}

std::string platform_user_name() {
    if (const passwd* pw = getpwuid(getuid())) return pw->pw_name;
    const char* user = std::getenv("USER");
    return user != nullptr ? user : "";
}

std::string platform_home_dir() {
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != 0) return home;
    if (const passwd* pw = getpwuid(getuid())) return pw->pw_dir;
    return "";
}
