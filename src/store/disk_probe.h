// The disk-content probe.
#pragma once

#include <cstdint>

// Content class of sector 0: 0 blank, 1 recognised, 2 unrecognised or unreadable.
// Target running, state lock held.
int32_t bc_disk_state();
