// A machine without an iSCSI initiator: no service to open, and every discovery call is
// refused with the status Windows gives for a service that does not exist.
#include "platform/initiator.h"

namespace {
constexpr uint32_t k_no_initiator = 1060; // ERROR_SERVICE_DOES_NOT_EXIST
}

service_t initiator_service_open(service_access) {
    return nullptr;
}

int initiator_service_running(service_t) {
    return -1;
}

void initiator_service_start(service_t) {}

void initiator_service_close(service_t) {}

uint32_t initiator_add_portal(const char*, uint16_t) {
    return k_no_initiator;
}

uint32_t initiator_login(const char*, const char*, uint16_t, iscsi_session_id*) {
    return k_no_initiator;
}

uint32_t initiator_logout(const iscsi_session_id&) {
    return k_no_initiator;
}

uint32_t initiator_remove_portal(const char*, uint16_t) {
    return k_no_initiator;
}
