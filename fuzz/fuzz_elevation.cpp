// The elevation helper's result file: any lines, RC lines among them. The verdict is only set
// when an RC line was read.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "attach/parse.h"
#include "quiet_log.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    quiet_mount_log();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::FILE* f = input_stream(data, size);
    if (f == nullptr) std::abort();
    const int untouched = INT_MIN + 7;
    int verdict = untouched;
    bool seen = read_elevation_result(f, "fuzz", &verdict);
    std::fclose(f);
    if (!seen && verdict != untouched) std::abort();
    return 0;
}
