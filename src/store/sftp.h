// The SSH/SFTP connection (or the mock one).
#pragma once

// Releases the SFTP subsystem, the SSH session and its socket, and libssh2 itself; every
// step only when its object exists. Used by the disconnect.
void ssh_release_all();
