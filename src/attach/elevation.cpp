// The elevation test and the variable that sends an elevated process down the
// one-prompt path all the same.
#include "attach/attach.h"

#include "platform/proc.h"
#include "platform/sys.h"

#include <string>

int norvaled_is_process_elevated() {
    return proc_is_elevated();
}

bool force_uac_requested() {
    std::string value;
    if (!env_get("VK_NORVALED_FORCE_UAC", value)) return false;
    return !value.empty() && value.size() <= 7 && value[0] == '1';
}
