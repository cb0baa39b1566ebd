// The background write-back thread and the disk-content probe.
#pragma once

#include <cstdint>

// Body of the flush thread: about every 5 s, or as soon as half the slots are dirty, writes
// dirty chunks back while g_flush_running.
int flush_main();
// Content class of sector 0: 0 blank, 1 recognised, 2 unrecognised or unreadable.
// Target running, state lock held.
int32_t bc_disk_state();
