// `norvaled serve`: connect, start the target, serve until interrupted, write back and stop.
#pragma once

#include "options.h"

constexpr int k_exit_ok = 0;
constexpr int k_exit_failed = 1; // a library step failed, or not everything was written back
constexpr int k_exit_usage = 2;  // the command line cannot work

// Runs the whole serve command; returns the process exit status.
int run_serve(serve_options& o);
