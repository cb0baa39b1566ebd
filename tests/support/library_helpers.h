// Small helpers for tests that drive the library through its exports.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// A loopback port nobody listens on right now (another process may take it meanwhile).
uint16_t free_port();

// norvaled_start on a free port, retrying when the port was taken between the pick and the
// bind (any other failure is final). Returns the start's result; *port gets the port of a
// successful start. Every test that starts the library on a free port goes through here.
int32_t start_on_free_port(const std::string& path, int64_t size, int* port = nullptr);

// The number value of one member of norvaled_stats(); -1 when the member is missing.
int64_t stat_value(const char* key);

// Polls condition every 20 ms until it holds (true) or limit_ms have passed (false): tests
// wait for a state, never for a time, and the limits are generous for sanitizer builds.
bool wait_until(uint32_t limit_ms, const std::function<bool()>& condition);

// Descriptors open in this process: a failure path that leaks a socket or file shows.
int open_fd_count();

// True when a TCP connect to 127.0.0.1:port completes within a second.
bool port_accepts(int port);
