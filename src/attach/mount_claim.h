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

// One mount or unmount at a time in this process: the helper paths let the state lock go for
// minutes, and a second operation meanwhile would release the claim under the first one or
// act on its half-made mount. Made and ended with the state lock held.
class attach_turn {
  public:
    attach_turn();
    ~attach_turn();
    attach_turn(const attach_turn&) = delete;
    attach_turn& operator=(const attach_turn&) = delete;
    bool taken() const { return taken_; }

  private:
    bool taken_ = false;
};
// -7, "another mount or unmount is in progress", and a log line naming op.
int32_t attach_turn_refused(const char* op);
