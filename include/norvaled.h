/*
 * norvaled: serve one disk-image file on an SFTP server (or a local "mock" file) as a
 * loopback iSCSI disk, through a write-back cache of 2 MiB chunks.
 *
 * Calling order:
 *   norvaled_connect -> norvaled_start -> [norvaled_mount_ex ... norvaled_unmount]
 *   -> norvaled_stop -> norvaled_disconnect
 * norvaled_version, norvaled_last_error, norvaled_stats and norvaled_process_elevated may be
 * called at any time; norvaled_flush and norvaled_disk_state while the target runs.
 * A call in the wrong state returns NORVALED_E_STATE (-7) with a message.
 *
 * Every status-returning export returns 0 or a negative NORVALED_E_* code and leaves a
 * message in norvaled_last_error() (empty after a success). All exports are thread-safe;
 * they serialise on one process-wide lock.
 *
 * A link that breaks is a pause, not a loss: the library reconnects in the background (see
 * norvaled_connect) while the cache keeps every written byte and serves what it holds.
 *
 * Time bounds, with T the SSH time-out and H the reconnect hold (see norvaled_connect): one
 * image transfer fails after at most T. While the link is down, a command that needs the image
 * waits for it until H has passed since the break, and fails at once after that, until the
 * link is back. The target answers a command that needs the image within 3T + H (a victim
 * written back and a chunk loaded, after waiting for a flush pass). Exports wait at most:
 * norvaled_disk_state 3T + H; norvaled_flush 3T + H, and as long again for each break of
 * the link under it (at most three rounds); norvaled_stop 5T, plus, when the link is down,
 * two reconnect attempts (each the connect time-out plus 4T); norvaled_disconnect that plus
 * 2T; norvaled_start 3T, plus one reconnect attempt when the link is down. norvaled_stats,
 * norvaled_last_error and norvaled_version never touch the image: they answer at once while
 * only the worker threads wait, and otherwise within the limit of the export that holds the
 * lock. Memory a connection can make the process hold is bounded as well (about 6.5 MiB
 * besides the 256 MiB cache).
 */
#ifndef NORVALED_H
#define NORVALED_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(NORVALED_BUILDING)
#define NORVALED_API __declspec(dllexport)
#else
#define NORVALED_API __declspec(dllimport)
#endif
#else
#define NORVALED_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Return codes. */
#define NORVALED_OK 0
#define NORVALED_E_RESOURCE (-1) /* a thread or memory could not be had */
#define NORVALED_E_ARG (-5)      /* an argument is invalid */
#define NORVALED_E_STATE (-7)    /* the call does not fit the present state */
#define NORVALED_E_NET (-8)      /* resolve, socket, TCP connect, bind or listen failed */
#define NORVALED_E_MOUNT (-9)    /* the mount sequence failed */
#define NORVALED_E_SSH (-10)     /* an SSH, SFTP or image-file step failed */
#define NORVALED_E_CONSENT (-11) /* formatting the image needs the caller's consent */
#define NORVALED_E_UNMOUNT (-12) /* the unmount did not complete */
#define NORVALED_E_TIMEOUT (-13) /* TCP connect or SSH handshake not done in time */

/* Content classes returned by norvaled_disk_state (not failures). */
#define NORVALED_DISK_BLANK 0
#define NORVALED_DISK_RECOGNISED 1
#define NORVALED_DISK_UNRECOGNISED 2

/* The one target this library serves, and its default loopback port. */
#define NORVALED_TARGET_IQN "iqn.2026-08.com.velmorak:norvaled"
#define NORVALED_DEFAULT_PORT 3261

/* "1.0.6"; constant, no lock. */
NORVALED_API const char* norvaled_version(void);

/* The last-error text: empty after a successful call, never NULL. */
NORVALED_API const char* norvaled_last_error(void);

/* One JSON object of numbers, eighteen members in this order:
 * running, connected, port, capacity, cache_hits, cache_misses, sftp_bytes_r, sftp_bytes_w,
 * dirty_chunks, svc_state_mode, last_mount_formatted, last_unmount_stage,
 * link_up (1 or 0; 1 in mock mode and when not connected), reconnects (successful
 * reconnections since the connect), reconnect_attempts (failed attempts since the link went
 * down), reconnect_next_ms (to the next attempt), link_error (0, or the code of the last
 * failed attempt), link_hostkey_changed (1 when the last attempt met a different host key).
 * The buffer is overwritten by the next call. */
NORVALED_API const char* norvaled_stats(void);

/* Connects to an SSH server and starts SFTP, or, for host "mock", records that a local file
 * will hold the image. port <= 0 means 22. auth_json may be NULL; its string members:
 *   "password", "key_path", "pubkey_path", "passphrase"
 *   "host_key_sha256": optional pin of the server's host key, the SHA-256 fingerprint in the
 *       base64 form OpenSSH prints, with or without the "SHA256:" prefix. Any one of the
 *       server's keys may be pinned: when it shows another first, the connect asks for each
 *       other key type (ECDSA, Ed25519, RSA) in a new connection. When none matches, the
 *       connect fails before authentication with "SSH host key mismatch for <host>" and
 *       NORVALED_E_SSH. Without it (and without
 *       "known_hosts") any host key is accepted.
 *   "known_hosts": optional path of an OpenSSH known_hosts file the server's host key must be
 *       listed in, as "host" on port 22 and "[host]:port" on any other, plain or hashed.
 *       Lines that cannot be read are skipped; @cert-authority lines are ignored; a key on an
 *       @revoked line is refused for every host. The host-key algorithms of the keys listed
 *       for the host are offered first, so a server with several keys shows a listed one.
 *       Checked after any "host_key_sha256", before authentication; failures are
 *       NORVALED_E_SSH with "SSH host key for <host> is not known (SHA256:<fp>)" or
 *       "SSH host key for <host> has CHANGED (SHA256:<fp>); refusing to connect".
 *       A file that does not exist lists no host.
 * and its switches, each JSON true or false (or the strings "true" and "false"; any other
 * value is NORVALED_E_ARG):
 *   "reconnect": true by default. While the target runs, a link that broke (a transfer failed
 *       at the session level, or an idle link did not answer a probe within 5 s) is made
 *       again in the background, with pauses from 1 s doubling to 30 s, with these same
 *       arguments (kept, secrets included, in memory until the disconnect, which wipes them)
 *       and only when the server shows the host key of the first connection: a different key
 *       is never accepted, whatever the pin or known_hosts say. The image is reopened, never
 *       created. Written data stays in the cache meanwhile and is written back once the link
 *       is back; what was written back but not yet synced is written again, and when some of
 *       it was no longer cached the next norvaled_flush fails once. false: a broken link stays
 *       broken until the host disconnects and connects again.
 *   "known_hosts_add": an unknown host's key is appended to the file as one line (the file is
 *       never rewritten) and the connect goes on; a changed key is still refused.
 *   "known_hosts_hash": the line added holds the host name hashed, as HashKnownHosts does.
 *   "agent": the keys of the running ssh-agent (SSH_AUTH_SOCK; on Windows the agent's pipe)
 *       are tried first, before the password or the key file.
 * Then the password alone when one is given, otherwise the key file. A server that takes no
 * "password" method but "keyboard-interactive" gets the password as the answer to its
 * prompts. A failed login reads "SSH authentication failed for user <user> (server offers
 * <methods>; tried <methods>)"; no message ever holds a secret.
 * The environment variable NORVALED_CONNECT_TIMEOUT_MS (a positive number) sets the budget
 * for TCP connect plus SSH handshake; 15000 ms by default. NORVALED_IO_TIMEOUT_MS sets T,
 * the SSH time-out: the longest one SSH/SFTP call waits for the server; 20000 by default.
 * NORVALED_RECONNECT_HOLD_MS sets H, how long after a break commands wait for the link;
 * 15000 by default. */
NORVALED_API int32_t norvaled_connect(const char* host, int32_t port, const char* user,
                                      const char* auth_json);

/* Opens (creating or lengthening, never shortening) the image, builds the cache and serves
 * it on 127.0.0.1:port (port <= 0 means 3261; above 65535 is NORVALED_E_ARG). The disk is
 * size rounded down to a multiple of 2 MiB; size must be at least 64 MiB. No other local
 * process can bind the same port meanwhile (SO_EXCLUSIVEADDRUSE on Windows). A stop followed
 * by a start on the same port works; on Windows the bind is retried for up to 5 s while the
 * last connection on the port is still closing. */
NORVALED_API int32_t norvaled_start(const char* remote_path, int64_t size, int32_t port);

/* Ends the target: background flush thread, listener, any initiator connection still open
 * (its socket is shut down, even in the middle of a READ), then one last write-back of the
 * cache, synced to the image's disk as norvaled_flush does, and the image is closed.
 * The cache is never freed while a worker thread may still use it: when a thread is still
 * inside a transfer after its limit (10 s flush, 5 s server), the stop waits for that
 * transfer to end (each image transfer is bounded by the SSH time-out, see below).
 * Returns 0 when every dirty chunk reached the image. When the final write-back failed the
 * target is still fully stopped, but NORVALED_E_SSH is returned with the message
 * "final write-back failed: <n> chunk(s) of cached data could not be written to the image":
 * that data is lost, so a host should call norvaled_flush first and check its result. */
NORVALED_API int32_t norvaled_stop(void);

/* Stops a running target (as norvaled_stop), then ends the connection. The disconnect always
 * completes (the library is idle afterwards), but when the stop's final write-back failed it
 * returns NORVALED_E_SSH with the stop's message; otherwise 0. */
NORVALED_API int32_t norvaled_disconnect(void);

/* Writes every dirty chunk back to the image now, then has the image reach the disk under
 * it: fsync of a mock file, or the server's fsync@openssh.com extension when it offers it
 * (a server without it is trusted as it is). 0, or NORVALED_E_SSH (empty message) when a
 * write-back or the sync failed. SYNCHRONIZE CACHE from the initiator does the same. */
NORVALED_API int32_t norvaled_flush(void);

/* What sector 0 of the served disk holds: NORVALED_DISK_BLANK, _RECOGNISED (NTFS, exFAT,
 * FAT32 or a partition table) or _UNRECOGNISED; NORVALED_E_STATE when not running;
 * NORVALED_E_SSH when sector 0 cannot be read (the mount then fails the same way and never
 * formats). */
NORVALED_API int32_t norvaled_disk_state(void);

/* Windows attachment. 1 when the host process holds an elevated token, else 0. */
NORVALED_API int32_t norvaled_process_elevated(void);

/* Mounts the served disk under a drive letter (A..Z, case-insensitive). allow_format
 * non-zero lets a blank or unrecognised image be formatted as NTFS. A letter that another
 * volume already holds is refused before anything runs: NORVALED_E_ARG. One mount or unmount
 * at a time per process: a second one meanwhile returns NORVALED_E_STATE. */
NORVALED_API int32_t norvaled_mount_ex(char letter, int32_t allow_format);
NORVALED_API int32_t norvaled_mount(char letter);

/* Writes the cache back, dismounts the volume and logs the initiator out. 0 when no session
 * to the target is left; NORVALED_E_UNMOUNT when one is (close any file open on the drive and
 * retry) or the elevation helper did not report success; NORVALED_E_RESOURCE when the helper's
 * script cannot be built; NORVALED_E_STATE, touching nothing, when another process has a
 * norvaled disk mounted (only that process, or one started after it ended, can unmount it),
 * or while another mount or unmount of this process runs. */
NORVALED_API int32_t norvaled_unmount(void);

#ifdef __cplusplus
}
#endif

#endif /* NORVALED_H */
