// The local iSCSI initiator: its service and its discovery interface. On Windows the Microsoft
// iSCSI Initiator (service MSiSCSI, iscsidsc.dll); on POSIX a stand-in daemon, or the plain
// answers of a machine without an initiator.
#pragma once

#include <cstdint>

// Session identifier as the discovery interface hands it out (two 64-bit values).
struct iscsi_session_id {
    uint64_t adapter_unique = 0;
    uint64_t adapter_specific = 0;
};

// Status of the discovery calls: 0 success, else the interface's status code.
constexpr uint32_t k_isdsc_target_already_logged_in = 0xEFFF003F;

// The initiator service, opened with the access asked for.
enum class service_access { query, query_and_start };
struct plat_service;
using service_t = plat_service*;
// nullptr when the service manager or the service cannot be opened with that access.
service_t initiator_service_open(service_access access);
// 1 running, 0 not running, -1 the query failed.
int initiator_service_running(service_t svc);
// Asks the service to start; the result is not examined by the callers.
void initiator_service_start(service_t svc);
void initiator_service_close(service_t svc);

// The four discovery-interface calls, for the loopback portal address:port.
uint32_t initiator_add_portal(const char* address, uint16_t port);
uint32_t initiator_login(const char* target_iqn, const char* address, uint16_t port,
                         iscsi_session_id* session);
uint32_t initiator_logout(const iscsi_session_id& session);
uint32_t initiator_remove_portal(const char* address, uint16_t port);
