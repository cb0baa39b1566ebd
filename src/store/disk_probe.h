// The disk-content probe.
#pragma once

#include <cstdint>

// Content class of sector 0: 0 blank, 1 recognised, 2 unrecognised; -10 with its message
// when sector 0 cannot be read. Target running, state lock held.
int32_t bc_disk_state();
