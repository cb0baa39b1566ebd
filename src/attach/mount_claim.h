// The machine-wide claim on the attached disk. Every process serves the same target name and
// device identity, so another process's stale-session sweep, device removal and disk finder
// would act on this process's mounted disk: one process at a time may have it mounted.
// Callers hold the state lock.
#pragma once

// 0 when this process holds the claim (*taken_now tells whether this call took it), -1 when
// another process holds it.
int mount_claim_take(bool* taken_now);
// Gives the claim up; nothing happens when this process does not hold it.
void mount_claim_drop();
