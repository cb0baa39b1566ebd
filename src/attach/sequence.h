// What the mount and the unmount sequences share: the loopback portal and how they hold the
// state lock.
#pragma once

#include <cstddef>
#include <mutex>

#include "platform/initiator.h"
#include "state/state.h"

// The state lock as the sequences hold it: let go around the one-prompt helper's long wait.
using state_hold = std::unique_lock<std::recursive_mutex>;

constexpr const char* k_loopback = "127.0.0.1";
