// How the host shows a library failure: the library's own text, its code, and a hint.
#pragma once

#include <cstdint>
#include <string>

enum class host_step { connect, start, mount, unmount, flush, stop };

// The hint line for a failure of `step` with `code`, or "" when none helps.
std::string failure_hint(host_step step, int32_t code);

// Prints "error: <last error> (code N)" and the hint, if any, to standard error.
void report_failure(host_step step, int32_t code);
