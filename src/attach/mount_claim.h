// The machine-wide claim on the attached disk. Every process serves the same target name and
// device identity, so another process's stale-session sweep, device removal and disk finder
// would act on this process's mounted disk: one process at a time may have it mounted.
// Callers hold the state lock.
#pragma once

#include <cstdint>

// 0 when this process holds the claim (*taken_now tells whether this call took it), -1 when
// another process holds it.
int mount_claim_take(bool* taken_now);
// Gives the claim up; nothing happens when this process does not hold it.
void mount_claim_drop();

// The claim for a mount or an unmount (op names it in the log): 0 when this process holds it,
// else code with "another process has a norvaled disk mounted", and a log line.
int32_t mount_claim_take_for(const char* op, int32_t code, bool* taken_now);
