#include "serve.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "auth.h"
#include "interrupt.h"
#include "norvaled.h"
#include "platform.h"
#include "report.h"
#include "ssh_login.h"
#include "stats.h"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr auto k_poll_interval = std::chrono::milliseconds(100);
constexpr auto k_terminal_refresh = std::chrono::seconds(1);
constexpr auto k_plain_refresh = std::chrono::seconds(10);
// How often the link's state is looked at, so that a change is printed without waiting for
// the next status line (ten seconds apart in a log).
constexpr auto k_link_check = std::chrono::milliseconds(500);

void say(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void say_error(const std::string& line) {
    std::fprintf(stderr, "error: %s\n", line.c_str());
    std::fflush(stderr);
}

// Without --size a local image keeps the size it has; a new one gets the demo size.
bool choose_size(const serve_options& o, int64_t& size, std::string& err) {
    size = o.size;
    if (size != 0) return true;
    std::error_code ec;
    if (!std::filesystem::exists(o.image, ec)) {
        size = k_demo_disk_size;
        return true;
    }
    const uintmax_t have = std::filesystem::file_size(o.image, ec);
    if (ec) {
        err = o.image + ": cannot tell its size (" + ec.message() + "); give --size";
        return false;
    }
    if (have < static_cast<uintmax_t>(k_min_disk_size)) {
        err = o.image + " is " + format_bytes(have) +
              ", below the 64M minimum; give --size to lengthen it";
        return false;
    }
    size = static_cast<int64_t>(have);
    return true;
}

// 0, a library code (reported), or k_exit_usage's cause in `usage_err`.
int32_t connect_library(serve_options& o, std::string& usage_err) {
    if (!o.sftp()) return norvaled_connect("mock", 0, "norvaled", nullptr);
    if (!o.connect_timeout_ms.empty() &&
        platform_set_env("NORVALED_CONNECT_TIMEOUT_MS", o.connect_timeout_ms.c_str()) != 0) {
        usage_err = "cannot set NORVALED_CONNECT_TIMEOUT_MS";
        return 0;
    }
    return ssh_login(o, usage_err);
}

std::string describe_image(const serve_options& o, bool created) {
    if (o.sftp()) return o.user + "@" + o.host + ":" + o.image + " over SFTP";
    return o.image + (created ? " (local file, created)" : " (local file)");
}

// "E:", the drive the disk is mounted under.
std::string drive_name(char letter) {
    return std::string(1, letter) + ":";
}

void print_how_to_reach(const serve_options& o, bool created, const stats_snapshot& s) {
    const std::string portal = "127.0.0.1:" + std::to_string(s.port);
    const std::string url = "iscsi://" + portal + "/" NORVALED_TARGET_IQN "/0";
    say("norvaled " + std::string(norvaled_version()) + ": serving " + describe_image(o, created));
    say("  disk    " + format_bytes(s.capacity) + " (" + std::to_string(s.capacity) + " bytes)");
    say("  portal  " + portal);
    say("  target  " NORVALED_TARGET_IQN);
    say("  lun     0");
    if (o.sftp() && o.insecure_any_host_key)
        say("  warning the SSH host key was not checked (--insecure-any-host-key)");
    if (o.mount_letter != 0) {
        say("  drive   " + drive_name(o.mount_letter));
        say("Ctrl-C unmounts and stops; cached writes are written back to the image first.");
        return;
    }
    say("try it from another terminal:");
    say("  iscsi-inq " + url);
    say("  qemu-img info " + url);
    say("Ctrl-C stops; cached writes are written back to the image first.");
}

// The live status: rewritten in place on a terminal, a plain line now and then otherwise.
// Changes of the link are printed as lines of their own in both cases, --quiet or not: they
// are what a user or a log reader must not miss.
struct status_line {
    bool enabled = false;
    bool terminal = false;
    std::size_t shown = 0; // length of the text now on the terminal line
    std::string prefix;    // the mounted drive, when there is one
    stats_snapshot last;
    clock_type::time_point last_at;
    stats_snapshot link_seen; // as of the last look at the link
    clock_type::time_point link_at;
};

status_line status_begin(const serve_options& o) {
    status_line st;
    st.enabled = !o.quiet;
    if (o.mount_letter != 0) st.prefix = drive_name(o.mount_letter) + "  ";
    st.terminal = platform_stdout_is_terminal();
    st.last = read_stats();
    st.last_at = clock_type::now();
    st.link_seen = st.last;
    st.link_at = st.last_at;
    return st;
}

// Prints a line of its own, over the terminal's status line when one is shown (the next tick
// draws that again below it).
void status_say(status_line& st, const std::string& line) {
    std::string text = line;
    if (st.terminal && st.shown > 0) {
        if (text.size() < st.shown) text.append(st.shown - text.size(), ' ');
        text.insert(0, "\r");
    }
    st.shown = 0;
    say(text);
}

void link_tick(status_line& st) {
    const auto now = clock_type::now();
    if (now - st.link_at < k_link_check) return;
    const stats_snapshot s = read_stats();
    const std::vector<std::string> changes = format_link_change(st.link_seen, s);
    st.link_seen = s;
    st.link_at = now;
    for (const std::string& line : changes)
        status_say(st, line);
}

void status_tick(status_line& st) {
    link_tick(st);
    if (!st.enabled) return;
    const auto now = clock_type::now();
    if (now - st.last_at < (st.terminal ? k_terminal_refresh : k_plain_refresh)) return;
    const stats_snapshot s = read_stats();
    const double seconds = std::chrono::duration<double>(now - st.last_at).count();
    std::string text = st.prefix + format_status(s, st.last, seconds);
    st.last = s;
    st.last_at = now;
    if (st.terminal) {
        // Blanks over the rest of a longer earlier line; no escape sequences needed.
        const std::size_t len = text.size();
        if (len < st.shown) text.append(st.shown - len, ' ');
        st.shown = len;
        std::fputs(("\r" + text).c_str(), stdout);
    } else {
        std::fputs(("status: " + text + "\n").c_str(), stdout);
    }
    std::fflush(stdout);
}

// Ends a terminal status line so that the next message starts on a line of its own.
void status_end(status_line& st) {
    if (st.terminal && st.shown > 0) say("");
    st.shown = 0;
}

void serve_until_interrupted(const serve_options& o) {
    status_line st = status_begin(o);
    while (interrupt_count() == 0) {
        std::this_thread::sleep_for(k_poll_interval);
        status_tick(st);
    }
    status_end(st);
}

// Flush, stop, disconnect. The stop's own final write-back decides: when it saved every
// chunk, everything reached the image even if the flush before it failed.
int shut_down() {
    const stats_snapshot s = read_stats();
    const std::string pending = std::to_string(s.dirty_chunks) +
                                (s.dirty_chunks == 1 ? " dirty chunk (" : " dirty chunks (") +
                                format_bytes(s.dirty_chunks * k_chunk_bytes) + ")";
    interrupt_set_notice("norvaled: still writing back up to " + pending +
                         " to the image; please wait");
    say("stopping: writing back " + pending + " ...");
    if (s.link_up == 0)
        say("the SSH link is down: the write-back waits for it a while, and the stop tries once "
            "more to reconnect");
    const int32_t flushed = norvaled_flush();
    if (flushed != 0) {
        report_failure(host_step::flush, flushed);
        say("trying once more while stopping ...");
    }
    const int32_t stopped = norvaled_stop();
    if (stopped != 0) report_failure(host_step::stop, stopped);
    norvaled_disconnect();
    if (stopped != 0) return k_exit_failed;
    say("stopped: everything was written back to the image");
    return k_exit_ok;
}

// Mounts under the requested letter: true when mounted (or no letter was asked for).
bool mount_drive(const serve_options& o) {
    if (o.mount_letter == 0) return true;
    say("mounting as " + drive_name(o.mount_letter) + " ...");
    const int32_t rc = norvaled_mount_ex(o.mount_letter, o.allow_format ? 1 : 0);
    if (rc == 0) {
        const bool formatted =
            std::strstr(norvaled_stats(), "\"last_mount_formatted\":1") != nullptr;
        say("mounted as " + drive_name(o.mount_letter) +
            (formatted ? " (the image was formatted NTFS)" : " (the image's data kept)"));
        return true;
    }
    report_failure(host_step::mount, rc);
    return false;
}

// Unmounts before the stop; a failure is reported and the stop still runs.
bool unmount_drive(const serve_options& o) {
    if (o.mount_letter == 0) return true;
    interrupt_set_notice("norvaled: still unmounting " + drive_name(o.mount_letter) +
                         "; please wait");
    say("unmounting " + drive_name(o.mount_letter) + " ...");
    const int32_t rc = norvaled_unmount();
    if (rc == 0) {
        say("unmounted " + drive_name(o.mount_letter));
        return true;
    }
    report_failure(host_step::unmount, rc);
    return false;
}

// The end of a run that never got to serve.
int give_up(int status) {
    norvaled_disconnect();
    return status;
}

} // namespace

int run_serve(serve_options& o) {
    std::string err;
    int64_t size = 0;
    if (!o.sftp() && !choose_size(o, size, err)) return say_error(err), k_exit_usage;
    if (o.sftp()) size = o.size;
    std::error_code ec;
    const bool created = !o.sftp() && !std::filesystem::exists(o.image, ec);

    platform_init();
    interrupt_set_notice("norvaled: still connecting; it stops as soon as that ends");
    const int32_t connected = connect_library(o, err);
    if (!err.empty()) return say_error(err), k_exit_usage;
    if (connected != 0) return report_failure(host_step::connect, connected), k_exit_failed;
    if (interrupt_count() > 0) return give_up(k_exit_ok);

    const int32_t started = norvaled_start(o.image.c_str(), size, o.port);
    if (started != 0) {
        report_failure(host_step::start, started);
        return give_up(k_exit_failed);
    }
    interrupt_set_notice("norvaled: still mounting; it unmounts and stops as soon as that ends");
    if (!mount_drive(o)) {
        norvaled_stop();
        return give_up(k_exit_failed);
    }
    // A repeat that comes before the loop sees the first interrupt needs no words of its own.
    interrupt_set_notice("");
    print_how_to_reach(o, created, read_stats());
    serve_until_interrupted(o);
    const bool unmounted = unmount_drive(o);
    int status = shut_down();
    if (!unmounted) status = k_exit_failed;
    platform_shutdown_finished();
    return status;
}
