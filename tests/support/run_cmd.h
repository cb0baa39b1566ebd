// Runs an external program (an iSCSI initiator tool, qemu-img) with a time limit.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

struct cmd_result {
    int exit_code = -1;     // the program's exit status; -1 when it did not exit normally
    int term_signal = 0;    // the signal that ended it, 0 when it exited
    bool timed_out = false; // killed because the time limit passed
    bool started = false;   // false when the program could not be started at all
    std::string output;     // standard output and standard error, interleaved as written

    bool ok() const { return started && !timed_out && exit_code == 0; }
    // One line for a failure message: how it ended and the tail of its output.
    std::string describe() const;
};

// Runs argv[0] (looked up on PATH) with the given arguments, standard input from /dev/null.
// The program runs in a process group of its own; when it is still running after
// timeout_ms, the whole group is killed, so helpers the tool started go too.
cmd_result run_cmd(const std::vector<std::string>& argv, uint32_t timeout_ms);

// True when the program can be found on PATH.
bool have_program(const std::string& name);

// Starts a server in the background: argv[0] looked up on PATH, standard input from /dev/null,
// its output appended to log. setpriv (when installed) sends it death_signal ("TERM", "KILL")
// when the calling thread ends, so a test process that dies leaves no server behind. The pid,
// or -1.
pid_t spawn_server(const std::vector<std::string>& argv, const std::string& log,
                   const char* death_signal);

// Waits until 127.0.0.1:port accepts. False when the server ended first (reaped, and pid set
// to -1: its port was taken meanwhile, or a bad configuration) or timeout_ms passed.
bool wait_listening(pid_t& pid, int port, uint32_t timeout_ms);
