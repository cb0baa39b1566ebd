// The SSH/SFTP connection (or the mock one).
#pragma once

#include <cstddef>

// Copies the string member key of a JSON-ish text into out (at most size-1 characters);
// a plain text scan, not a parser. Leaves out untouched when text is null.
void json_get_string(const char* text, const char* key, char* out, std::size_t size);

// Releases the SFTP subsystem, the SSH session and its socket, and libssh2 itself; every
// step only when its object exists. Used by the disconnect.
void ssh_release_all();

// The link lock: serialises every libssh2 call (one session, one handle, its read-ahead
// position) and every use of the mock image's stream. Waiters are served in arrival order:
// a thread that gives the link up and asks again goes behind those already waiting, which a
// plain mutex does not promise. Never taken while the cache lock is held.
void link_acquire();
void link_release();
struct link_guard {
    link_guard() { link_acquire(); }
    ~link_guard() { link_release(); }
    link_guard(const link_guard&) = delete;
    link_guard& operator=(const link_guard&) = delete;
};
