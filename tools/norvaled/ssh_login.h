// Connecting the library to an SSH server the way ssh would: the user's configuration, the
// known_hosts files and the question about an unknown host, then the agent, the identity
// files (with their passphrases), keyboard-interactive and the password.
#pragma once

#include <cstdint>
#include <string>

#include "options.h"

// Fills in the user, the port and the host to connect to from ssh's configuration, then
// connects. 0 when connected; a library code with the library's message (reported by the
// caller); or 0 with a line in usage_err for something the command line must change.
// o.user and o.ssh_port are set to what was used.
int32_t ssh_login(serve_options& o, std::string& usage_err);

// True when the key file is encrypted, from its header (libssh2 cannot tell): an OpenSSH
// key with a cipher other than "none", or a PEM key marked ENCRYPTED.
bool key_file_encrypted(const std::string& path);
