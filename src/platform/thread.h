// Threads with a timed join (Win32 threads or pthreads).
#pragma once

#include <cstdint>

struct plat_thread;
using thread_t = plat_thread*;

// Starts body on a new thread with the default stack; nullptr when no thread could be made.
thread_t thread_start(int (*body)());
// Waits at most ms for the thread to end: true when it has ended.
bool thread_join_for(thread_t t, uint32_t ms);
// Waits for the thread to end, however long that takes.
void thread_join(thread_t t);
// Drops the handle; a thread still running goes on detached.
void thread_release(thread_t t);

// Waits for a worker thread that must be gone before what it uses is freed, and drops its
// handle; past limit_ms it can only be finishing one bounded transfer, so it waits for that.
// Nothing when t is nullptr; t is nullptr afterwards.
void thread_end_within(thread_t& t, uint32_t limit_ms);

// Runs a thread's body; an exception that escapes it (bad_alloc) ends the thread with -1
// instead of terminating the process. Both trampolines call it.
int thread_run_body(int (*body)());
