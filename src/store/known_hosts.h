// Host keys checked against an OpenSSH known_hosts file, through libssh2's own parser.
#pragma once

#include <cstdint>
#include <string>

#include <libssh2.h>

// Offers the host-key algorithms of the keys the file lists for host:port first, then the
// rest of libssh2's: a server with several host keys then shows one the file knows. Call
// before the handshake; a file that lists nothing for the host changes nothing.
void known_hosts_prefer(LIBSSH2_SESSION* session, const std::string& path, const char* host,
                        int port);

// After the handshake: 0 when the file lists the server's key for host:port. An unknown host
// is added (one line appended, hashed when hash is set) when add is set; otherwise, and for a
// changed or revoked key, NORVALED_E_SSH with the fingerprint in the message.
int32_t known_hosts_verify(LIBSSH2_SESSION* session, const std::string& path, const char* host,
                           int port, bool add, bool hash);

// The host-key algorithms that show a key of this libssh2 host-key type (the type
// libssh2_session_hostkey reports), for a handshake that must meet the same kind of key;
// nullptr for a type libssh2 does not name.
const char* host_key_methods(int hostkey_type);

// "SHA256:..." of the server's host key, as ssh prints it; empty when there is none.
std::string host_key_fingerprint(LIBSSH2_SESSION* session);
