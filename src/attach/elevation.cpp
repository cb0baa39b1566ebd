// The elevation test, its export, and the variable that sends an elevated process down the
// one-prompt path all the same.
#include "attach/attach.h"

#include "norvaled.h"
#include "platform/proc.h"
#include "platform/sys.h"

#include <string>

int norvaled_is_process_elevated() {
    return proc_is_elevated();
}

// No lock and no change to the last-error text: callable at any time, from any thread.
extern "C" NORVALED_API int32_t norvaled_process_elevated(void) {
    return norvaled_is_process_elevated();
}

bool force_uac_requested() {
    std::string value;
    if (!env_get("VK_NORVALED_FORCE_UAC", value)) return false;
    return !value.empty() && value.size() <= 7 && value[0] == '1';
}
