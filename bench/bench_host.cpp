// Serves one image through the library's exports until SIGTERM or SIGINT, for the benchmarks.
//
//   bench_host mock <image> <size> <port>
//   bench_host ssh <host> <ssh-port> <user> <key> <image> <size> <port>
//
// Prints "ready" once the target listens, the statistics on each SIGUSR1, and on the way out the
// statistics, the result of the stop and the process's peak resident memory, so a script can
// read them without racing it.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/resource.h>

#include "norvaled.h"

namespace {

int usage() {
    std::fprintf(stderr, "usage: bench_host mock <image> <size> <port>\n"
                         "       bench_host ssh <host> <ssh-port> <user> <key> <image> <size> "
                         "<port>\n");
    return 2;
}

int report_failure(const char* step, int32_t rc) {
    std::fprintf(stderr, "bench_host: %s failed (%d): %s\n", step, rc, norvaled_last_error());
    return 1;
}

// Blocks the signals first so that sigwait, not the default action, receives them.
void block_signals(sigset_t& set) {
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int32_t connect_from_args(int argc, char** argv, int& next) {
    const std::string mode = argv[1];
    if (mode == "mock" && argc == 5) {
        next = 2;
        return norvaled_connect("mock", 0, "bench", nullptr);
    }
    if (mode == "ssh" && argc == 9) {
        next = 6;
        const std::string auth = std::string("{\"key_path\":\"") + argv[5] + "\"}";
        return norvaled_connect(argv[2], std::atoi(argv[3]), argv[4], auth.c_str());
    }
    next = -1;
    return NORVALED_E_ARG;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    sigset_t signals;
    block_signals(signals); // before the library starts its threads, which inherit it

    int next = 0;
    int32_t rc = connect_from_args(argc, argv, next);
    if (next < 0) return usage();
    if (rc != 0) return report_failure("connect", rc);
    const char* image = argv[next];
    const long long size = std::atoll(argv[next + 1]);
    const int port = std::atoi(argv[next + 2]);
    rc = norvaled_start(image, size, port);
    if (rc != 0) {
        norvaled_disconnect();
        return report_failure("start", rc);
    }
    std::printf("ready %d\n", port);
    std::fflush(stdout);

    int sig = 0;
    while (sigwait(&signals, &sig) == 0 && sig == SIGUSR1) {
        std::printf("stats %s\n", norvaled_stats());
        std::fflush(stdout);
    }
    // Before the stop: shows whether the initiator's own cache flush left anything dirty.
    std::printf("stats %s\n", norvaled_stats());

    rc = norvaled_stop();
    std::printf("stop %d %s\n", rc, norvaled_last_error());
    norvaled_disconnect();
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    std::printf("peak_rss_kib %ld\n", ru.ru_maxrss);
    return rc == 0 ? 0 : 1;
}
