// Whether the SSH link is up, and, while it is down, the hold: how long commands that need the
// image wait for it to come back. Shared by the image transfers (which find the link broken),
// the reconnect thread (which brings it back) and the statistics.
#pragma once

#include <cstdint>

// Called when the connection is made or ended: the link is up, nothing counted.
void link_health_reset();

bool link_is_up();
// Bumped by every break: work that began before a break cannot trust what it did on the old
// link to be on the server's disk.
uint64_t link_generation();

// The link broke (the caller holds the link lock). Starts the hold and the reconnect pauses.
void link_broke_locked();
// A reconnection succeeded: the link is up again and every waiter goes on.
void link_came_back();
// An attempt failed with code; the pause before the next one doubles, up to 30 s.
void link_attempt_failed(int32_t code, bool hostkey_changed);

// When the hold of the present break ends (tick_ms clock).
uint64_t link_hold_end();
// Waits, holding no lock of the caller's, until the link is up (true) or deadline_ms passes or
// nobody is reconnecting (false).
bool link_wait_up(uint64_t deadline_ms);
// Whether the reconnect thread serves the link; waits end at once without it.
void link_keeper_present(bool present);
// The reconnect thread's nap: until timeout, or until the link breaks or the keeper must go.
void link_keeper_nap(uint32_t ms);

// A successful image transfer or probe: the link is not idle.
void link_note_io();
uint64_t link_idle_ms();
// When the next attempt is due (tick_ms clock).
uint64_t link_next_attempt_at();

struct link_counters {
    bool up = true;
    uint64_t reconnects = 0;
    uint32_t attempts = 0;  // failed attempts since the link went down
    uint64_t next_ms = 0;   // to the next attempt, while down
    int32_t last_error = 0; // of the last failed attempt
    bool hostkey_changed = false;
};
link_counters link_counters_now();
