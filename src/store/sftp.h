// The SSH/SFTP connection (or the mock one).
#pragma once

#include <cstddef>
#include <string>

// Copies the string member key of a JSON-ish text into out (at most size-1 characters);
// a plain text scan, not a parser. Leaves out untouched when text is null.
void json_get_string(const char* text, const char* key, char* out, std::size_t size);

// Releases the SFTP subsystem, the SSH session and its socket, and libssh2 itself; every
// step only when its object exists. Used by the disconnect.
void ssh_release_all();

// Base64 without the trailing '=' padding, as OpenSSH prints SHA-256 fingerprints.
std::string base64_unpadded(const unsigned char* data, std::size_t len);
