/*
 * norvaled-example: the smallest complete host of the norvaled library, in plain C.
 *
 *   norvaled-example mock IMAGE [SIZE_MIB [PORT]]
 *   norvaled-example sftp HOST SSH_PORT USER IMAGE SIZE_MIB [PORT]
 *
 * It connects (to a local "mock" image file, or to an SSH server whose SFTP holds the image),
 * starts the iSCSI target on 127.0.0.1, prints the statistics, and serves until Enter is
 * pressed (or stdin ends) or SIGINT/SIGTERM arrives; then it flushes, stops and disconnects.
 * Every call's result is checked and a failure printed with norvaled_last_error().
 * For sftp the credentials come from the environment, never from the command line:
 *   NV_PASSWORD, or NV_KEY (a private key file) with NV_PASSPHRASE when the key has one;
 *   NV_HOST_KEY_SHA256 pins the server's host key.
 * Exit status: 0 when everything was written back to the image, 1 otherwise, 2 for bad
 * arguments.
 */
#define _POSIX_C_SOURCE 200809L

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "norvaled.h"

static volatile sig_atomic_t g_stop_signal = 0;

static void on_stop_signal(int sig) {
    g_stop_signal = sig;
}

static void catch_stop_signals(void) {
#ifdef _WIN32
    signal(SIGINT, on_stop_signal);
    signal(SIGTERM, on_stop_signal);
#else
    /* Without SA_RESTART the signal also ends the wait for Enter. */
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, NULL);
    sigaction(SIGTERM, &sa, NULL);
#endif
}

/* Prints what one call gave; returns its code. */
static int32_t report(const char* call, int32_t rc) {
    if (rc == NORVALED_OK)
        printf("%s: ok\n", call);
    else
        printf("%s: failed, code %d: %s\n", call, (int)rc, norvaled_last_error());
    fflush(stdout);
    return rc;
}

static int parse_number(const char* text, long long min, long long max, long long* out) {
    char* end = NULL;
    errno = 0;
    long long n = strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || n < min || n > max) return 0;
    *out = n;
    return 1;
}

/* Appends "key":"value" to the JSON object in buf, escaping the value. 0 when it does not fit. */
static int add_member(char* buf, size_t cap, const char* key, const char* value) {
    size_t len = strlen(buf);
    if (value == NULL || value[0] == '\0') return 1;
    int n = snprintf(buf + len, cap - len, "%s\"%s\":\"", len > 1 ? "," : "", key);
    if (n < 0 || (size_t)n >= cap - len) return 0;
    len += (size_t)n;
    for (const char* p = value; *p != '\0'; ++p) {
        const char* esc = *p == '"' ? "\\\"" : *p == '\\' ? "\\\\" : NULL;
        size_t need = esc != NULL ? 2 : 1;
        if (len + need + 3 > cap) return 0; /* room for the closing "} and the NUL */
        if (esc != NULL)
            memcpy(buf + len, esc, 2);
        else
            buf[len] = *p;
        len += need;
    }
    buf[len++] = '"';
    buf[len] = '\0';
    return 1;
}

/* The auth text from NV_PASSWORD / NV_KEY / NV_PASSPHRASE / NV_HOST_KEY_SHA256. */
static int auth_from_environment(char* buf, size_t cap) {
    strcpy(buf, "{");
    if (!add_member(buf, cap, "password", getenv("NV_PASSWORD")) ||
        !add_member(buf, cap, "key_path", getenv("NV_KEY")) ||
        !add_member(buf, cap, "passphrase", getenv("NV_PASSPHRASE")) ||
        !add_member(buf, cap, "host_key_sha256", getenv("NV_HOST_KEY_SHA256")))
        return 0;
    strcat(buf, "}");
    return 1;
}

static int usage(void) {
    fputs("usage: norvaled-example mock IMAGE [SIZE_MIB [PORT]]\n"
          "       norvaled-example sftp HOST SSH_PORT USER IMAGE SIZE_MIB [PORT]\n"
          "sftp credentials: NV_PASSWORD, or NV_KEY [NV_PASSPHRASE]; NV_HOST_KEY_SHA256 pins\n"
          "the host key. Enter, end of input, SIGINT or SIGTERM ends the serving.\n",
          stderr);
    return 2;
}

struct arguments {
    const char* host;
    long long ssh_port;
    const char* user;
    const char* image;
    long long size_mib;
    long long port;
};

static int parse_arguments(int argc, char** argv, struct arguments* a) {
    memset(a, 0, sizeof *a);
    a->size_mib = 256;
    if (argc >= 3 && argc <= 5 && strcmp(argv[1], "mock") == 0) {
        a->host = "mock";
        a->user = "local"; /* the library asks for a user name even here */
        a->image = argv[2];
        return (argc < 4 || parse_number(argv[3], 64, 1LL << 32, &a->size_mib)) &&
               (argc < 5 || parse_number(argv[4], 1, 65535, &a->port));
    }
    if (argc >= 7 && argc <= 8 && strcmp(argv[1], "sftp") == 0) {
        a->host = argv[2];
        a->user = argv[4];
        a->image = argv[5];
        return parse_number(argv[3], 1, 65535, &a->ssh_port) &&
               parse_number(argv[6], 64, 1LL << 32, &a->size_mib) &&
               (argc < 8 || parse_number(argv[7], 1, 65535, &a->port));
    }
    return 0;
}

/* Until Enter, the end of stdin, or a stop signal. */
static void wait_for_enter_or_signal(void) {
    char line[256];
    printf("serving; press Enter (or send SIGINT/SIGTERM) to stop\n");
    fflush(stdout);
    while (g_stop_signal == 0) {
        if (fgets(line, sizeof line, stdin) != NULL) break;
        if (feof(stdin) || errno != EINTR) break;
        clearerr(stdin);
    }
    if (g_stop_signal != 0) printf("signal %d: stopping\n", (int)g_stop_signal);
}

int main(int argc, char** argv) {
    struct arguments a;
    char auth[2048];
    if (!parse_arguments(argc, argv, &a)) return usage();
    if (!auth_from_environment(auth, sizeof auth)) {
        fputs("error: the credentials in the environment are too long\n", stderr);
        return 2;
    }
    catch_stop_signals();
    printf("norvaled %s\n", norvaled_version());

    if (report("norvaled_connect", norvaled_connect(a.host, (int32_t)a.ssh_port, a.user, auth)) !=
        NORVALED_OK)
        return 1;
    if (report("norvaled_start", norvaled_start(a.image, a.size_mib << 20, (int32_t)a.port)) !=
        NORVALED_OK) {
        report("norvaled_disconnect", norvaled_disconnect());
        return 1;
    }
    printf("target %s on 127.0.0.1, LUN 0\nstatistics: %s\n", NORVALED_TARGET_IQN,
           norvaled_stats());
    wait_for_enter_or_signal();
    printf("statistics: %s\n", norvaled_stats());

    /* The flush's result tells whether the data reached the image; the stop writes back once
     * more and says so too. */
    int32_t flushed = report("norvaled_flush", norvaled_flush());
    int32_t stopped = report("norvaled_stop", norvaled_stop());
    report("norvaled_disconnect", norvaled_disconnect());
    return flushed == NORVALED_OK && stopped == NORVALED_OK ? 0 : 1;
}
