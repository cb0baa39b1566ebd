// Calls norvaled_connect once and prints its code and last-error text on one line, so a test
// can hold the Windows DLL's answers next to the Linux library's for the same peers.
//   connect_probe HOST PORT USER [AUTH-JSON]
#include <cstdio>
#include <cstdlib>

#include "norvaled.h"

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: connect_probe HOST PORT USER [AUTH-JSON]\n");
        return 2;
    }
    const int32_t rc =
        norvaled_connect(argv[1], std::atoi(argv[2]), argv[3], argc > 4 ? argv[4] : nullptr);
    std::printf("%d %s\n", static_cast<int>(rc), norvaled_last_error());
    norvaled_disconnect();
    return 0;
}
