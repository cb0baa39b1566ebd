// Interrupts (Ctrl-C, SIGTERM) reach the host only as a counter. Whatever delivers them does
// nothing else but print a prepared notice on a repeat, so the main loop does all the work.
#pragma once

#include <string>

// How many interrupts have arrived.
int interrupt_count();

// Counts one interrupt; from the second on, writes the current notice to standard error.
// Safe in a signal handler and on another thread.
void interrupt_arrived();

// The notice a repeated interrupt prints (a line end is added), e.g. how much is still
// being written back; "" for none. Called only by the main thread.
void interrupt_set_notice(const std::string& text);
