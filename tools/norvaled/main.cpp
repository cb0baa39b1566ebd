// norvaled: the command-line host of the library. It uses only the public header, as any
// other host application would.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "norvaled.h"
#include "options.h"
#include "serve.h"

namespace {

constexpr const char* k_usage = R"(usage: norvaled <command> [options]

Serves one disk-image file, a local file or a file on an SFTP server, as an iSCSI disk on
127.0.0.1, through a write-back cache of 2 MiB chunks.

commands:
  serve       serve an image until Ctrl-C (norvaled serve --help lists its options)
  version     print the version
  help        print this text

`norvaled serve` alone serves ./norvaled-demo.img (256 MiB, created if missing) on
127.0.0.1:3261 and prints an initiator command that reads it. The manual: man norvaled.
)";

constexpr const char* k_serve_usage = R"(usage: norvaled serve [IMAGE] [options]
       norvaled serve sftp://[USER@]HOST[:PORT]/PATH --size SIZE [options]

Connects, starts the iSCSI target on 127.0.0.1 and serves the image until Ctrl-C or SIGTERM;
then writes every cached change back to the image, stops and disconnects.
Exit status: 0 when everything was written back, 1 when a step failed or data could not be
written back, 2 for a command line that cannot work.

image:
  IMAGE                    the first argument: a local file, or sftp://[USER@]HOST[:PORT]/PATH,
                           an image on an SSH server (PATH is absolute; /~/PATH is relative
                           to the home directory)
  --image PATH             the image: a local file (default ./norvaled-demo.img), or with
                           --sftp its path on the server. Created when missing, lengthened to
                           SIZE when shorter, never shortened.
  --size SIZE              size of the disk: bytes, or a number with K, M, G or T (powers of
                           1024), at least 64M; rounded down to a multiple of 2M. Default for a
                           local image: its present size, or 256M for a new one. Required
                           with --sftp.
  --port N                 TCP port of the target on 127.0.0.1 (default 3261)

SFTP (without --sftp or an sftp:// URL the image is a local file):
  --sftp [USER@]HOST[:PORT] the SSH server that holds the image, with --image PATH
  -F FILE                  read this ssh configuration file instead of ~/.ssh/config and
                           /etc/ssh/ssh_config (HOST may be a Host alias from either)
  --key FILE               log in with this private key only
  --pubkey FILE            its public key (default: FILE.pub when it exists)
  --password-env VAR       log in with the password in environment variable VAR only
  --passphrase-env VAR     take the private key's passphrase from environment variable VAR
  Without --key or --password-env the login goes as ssh's: the ssh-agent's keys, the
  IdentityFiles (or ~/.ssh/id_*), asking for a key's passphrase on the terminal, then the
  password, asked on the terminal.
  --host-key-sha256 FP     accept the server only when its host key has this SHA-256
                           fingerprint, as `ssh-keygen -lf` prints it (with or without
                           "SHA256:"), instead of checking known_hosts
  --accept-new-host-key    add an unknown server's key to known_hosts without asking (a
                           changed key is still refused)
  --insecure-any-host-key  accept any host key without checking (not recommended)
  Host keys are checked against ~/.ssh/known_hosts and /etc/ssh/ssh_known_hosts (or the
  files the configuration names); an unknown host is asked about on a terminal and refused
  without one.
  --connect-timeout-ms MS  limit for the TCP connect and SSH handshake together (default
                           15000); sets NORVALED_CONNECT_TIMEOUT_MS for the library
  Secrets are never taken on the command line, where other users of the machine can see them.

drive letter:
  --mount LETTER           mount the disk under this drive letter after the start (through the
                           Windows iSCSI initiator and diskpart; administrator rights or one
                           consent prompt) and unmount it on Ctrl-C before the stop
  --allow-format           with --mount: let a blank or unrecognised image be formatted NTFS

output:
  --quiet                  no status line
  -h, --help               print this text

While serving, a status line shows cache hits and misses, bytes read from and written to the
image with their rates, and the dirty chunks not yet written back: refreshed every second on
a terminal, one line every 10 seconds otherwise. While the SSH link is down it says so, and
each change of the link is printed as a line of its own, --quiet or not. More in the manual:
man norvaled.
)";

int usage_error(const std::string& message) {
    std::fprintf(stderr, "error: %s\n", message.c_str());
    return k_exit_usage;
}

int serve_command(const std::vector<std::string>& args) {
    serve_options o;
    std::string err;
    if (!parse_serve_options(args, o, err)) return usage_error(err);
    if (o.help) return std::fputs(k_serve_usage, stdout), k_exit_ok;
    return run_serve(o);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(k_usage, stderr);
        return k_exit_usage;
    }
    const std::string_view command = argv[1];
    const std::vector<std::string> rest(argv + 2, argv + argc);
    if (command == "serve") return serve_command(rest);
    if (command == "version" || command == "--version") {
        std::printf("norvaled %s\n", norvaled_version());
        return k_exit_ok;
    }
    if (command == "help" || command == "--help" || command == "-h") {
        std::fputs(k_usage, stdout);
        return k_exit_ok;
    }
    return usage_error("unknown command '" + std::string(command) + "' (see norvaled --help)");
}
