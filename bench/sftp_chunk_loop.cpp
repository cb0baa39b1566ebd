// The ceiling of the design on one SFTP channel: reads or writes a remote file front to back
// in 2 MiB chunks with blocking libssh2 calls, one chunk at a time, nothing else.
//
//   sftp_chunk_loop <host> <port> <user> <key> <path> <bytes> read|write
//
// Prints the bytes moved and the seconds the transfer took (connect and open excluded).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <libssh2.h>
#include <libssh2_sftp.h>

namespace {

constexpr size_t k_chunk = 2097152;

struct ssh_link {
    int sock = -1;
    LIBSSH2_SESSION* session = nullptr;
    LIBSSH2_SFTP* sftp = nullptr;
    LIBSSH2_SFTP_HANDLE* file = nullptr;

    ~ssh_link() {
        if (file != nullptr) libssh2_sftp_close_handle(file);
        if (sftp != nullptr) libssh2_sftp_shutdown(sftp);
        if (session != nullptr) {
            libssh2_session_disconnect(session, "done");
            libssh2_session_free(session);
        }
        if (sock >= 0) close(sock);
    }
};

int die(const char* what) {
    std::fprintf(stderr, "sftp_chunk_loop: %s\n", what);
    return 1;
}

int connect_tcp(const char* host, int port) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (s < 0 || inet_pton(AF_INET, host, &a.sin_addr) != 1 ||
        connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (s >= 0) close(s);
        return -1;
    }
    return s;
}

int open_file(ssh_link& l, char** argv, bool write) {
    l.sock = connect_tcp(argv[1], std::atoi(argv[2]));
    if (l.sock < 0) return die("cannot connect");
    l.session = libssh2_session_init();
    if (l.session == nullptr || libssh2_session_handshake(l.session, l.sock) != 0)
        return die("SSH handshake failed");
    libssh2_session_set_blocking(l.session, 1);
    if (libssh2_userauth_publickey_fromfile(l.session, argv[3], nullptr, argv[4], nullptr) != 0)
        return die("authentication failed");
    l.sftp = libssh2_sftp_init(l.session);
    if (l.sftp == nullptr) return die("SFTP init failed");
    const unsigned long flags = write ? LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT : LIBSSH2_FXF_READ;
    l.file = libssh2_sftp_open(l.sftp, argv[5], flags, 0600);
    return l.file == nullptr ? die("cannot open the remote file") : 0;
}

int read_chunk(LIBSSH2_SFTP_HANDLE* f, char* buf) {
    size_t got = 0;
    while (got < k_chunk) {
        const ssize_t n = libssh2_sftp_read(f, buf + got, k_chunk - got);
        if (n <= 0) return n == 0 ? 0 : -1;
        got += static_cast<size_t>(n);
    }
    return 0;
}

int write_chunk(LIBSSH2_SFTP_HANDLE* f, const char* buf) {
    size_t put = 0;
    while (put < k_chunk) {
        const ssize_t n = libssh2_sftp_write(f, buf + put, k_chunk - put);
        if (n <= 0) return -1;
        put += static_cast<size_t>(n);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 8) {
        std::fprintf(
            stderr,
            "usage: sftp_chunk_loop <host> <port> <user> <key> <path> <bytes> read|write\n");
        return 2;
    }
    const bool write = std::strcmp(argv[7], "write") == 0;
    const unsigned long long bytes = std::strtoull(argv[6], nullptr, 10);
    if (libssh2_init(0) != 0) return die("libssh2_init failed");
    int rc = 0;
    {
        ssh_link link;
        if (open_file(link, argv, write) != 0) return 1;
        std::vector<char> buf(k_chunk, write ? 0x5a : 0);
        const auto t0 = std::chrono::steady_clock::now();
        for (unsigned long long done = 0; done < bytes && rc == 0; done += k_chunk)
            rc = write ? write_chunk(link.file, buf.data()) : read_chunk(link.file, buf.data());
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - t0;
        if (rc != 0) {
            die(write ? "write failed" : "read failed");
        } else {
            std::printf("%llu bytes %.3f s %.1f MB/s\n", bytes, took.count(),
                        bytes / took.count() / 1e6);
        }
    }
    libssh2_exit();
    return rc == 0 ? 0 : 1;
}
