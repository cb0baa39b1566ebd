// The few things the host does differently on POSIX and on Windows; platform_posix.cpp or
// platform_win32.cpp is chosen at build time.
#pragma once

#include <cstddef>
#include <string>

// Readies the process before the library starts any thread: Ctrl-C and SIGTERM (Ctrl-C,
// Ctrl-Break and console close on Windows) go to interrupt_arrived(); a write to a closed
// socket or pipe does not end the process; the console takes UTF-8 text.
void platform_init();

// Writes to standard error without stdio: usable where interrupts are handled.
void platform_write_stderr(const char* text, std::size_t len);

bool platform_stdout_is_terminal();

// Sets an environment variable of this process, which the library reads: 0 or -1.
int platform_set_env(const char* name, const char* value);

// Tells a waiting console-close handler that the shutdown is complete (Windows ends the
// process as soon as that handler returns); nothing to do elsewhere.
void platform_shutdown_finished();

// True when the process has a terminal to ask the user on (/dev/tty, or a Windows console).
bool platform_has_terminal();

// Shows prompt on the terminal and reads one line into answer, not echoed when echo is
// false. False when there is no terminal or the input ended.
bool platform_prompt(const std::string& prompt, bool echo, std::string& answer);

// The local user's name and home directory (HOME, else the account's; USERPROFILE on
// Windows); empty when unknown.
std::string platform_user_name();
std::string platform_home_dir();
