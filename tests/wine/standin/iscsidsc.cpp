// Plays the Microsoft iSCSI discovery interface (iscsidsc.dll) in a Wine prefix's System32: the
// four calls the attachment makes, with the SDK's records, each recorded with its arguments.
// Every call succeeds; the login hands out a fixed session identifier that the logout checks.
#include "record.h"

#include "platform/win32/iscsidsc_records.h"

#include <cstring>

namespace {

constexpr ULONG k_invalid_parameter = ERROR_INVALID_PARAMETER;
constexpr ULONGLONG k_adapter_unique = 0xFFFFE0010000A001ull;
constexpr ULONGLONG k_adapter_specific = 0x4000013700000002ull;

// The address as the caller filled it: never trusted to be terminated.
void copy_address(const iscsi_target_portal_a* portal, char (&out)[k_max_portal_address_len + 1]) {
    std::memcpy(out, portal->address, k_max_portal_address_len);
    out[k_max_portal_address_len] = 0;
}

} // namespace

extern "C" {

__declspec(dllexport) ULONG WINAPI
    AddIScsiSendTargetPortalA(PSTR initiator, ULONG port_number, void* options, ULONGLONG security,
                              iscsi_target_portal_a* portal) {
    if (portal == nullptr || options == nullptr) return k_invalid_parameter;
    char address[k_max_portal_address_len + 1];
    copy_address(portal, address);
    standin_record("AddIScsiSendTargetPortalA initiator=%s port_number=0x%08lX security=%llu "
                   "address=%s socket=%u",
                   initiator == nullptr ? "(null)" : initiator, port_number, security, address,
                   portal->socket);
    return 0;
}

__declspec(dllexport) ULONG WINAPI
    LoginIScsiTargetA(PSTR target, BOOLEAN informational, PSTR initiator, ULONG port_number,
                      iscsi_target_portal_a* portal, ULONGLONG security, void* mappings,
                      void* options, ULONG key_size, PCHAR key, BOOLEAN persistent,
                      iscsi_unique_id* session, iscsi_unique_id* connection) {
    (void)mappings;
    (void)options;
    (void)key;
    if (target == nullptr || portal == nullptr || session == nullptr || connection == nullptr)
        return k_invalid_parameter;
    char address[k_max_portal_address_len + 1];
    copy_address(portal, address);
    standin_record("LoginIScsiTargetA target=%s informational=%d initiator=%s "
                   "port_number=0x%08lX address=%s socket=%u security=%llu key_size=%lu "
                   "persistent=%d",
                   target, informational, initiator == nullptr ? "(null)" : initiator, port_number,
                   address, portal->socket, security, key_size, persistent);
    session->adapter_unique = k_adapter_unique;
    session->adapter_specific = k_adapter_specific;
    connection->adapter_unique = k_adapter_unique;
    connection->adapter_specific = k_adapter_specific + 1;
    return 0;
}

__declspec(dllexport) ULONG WINAPI LogoutIScsiTarget(iscsi_unique_id* session) {
    if (session == nullptr) return k_invalid_parameter;
    const bool ours = session->adapter_unique == k_adapter_unique &&
                      session->adapter_specific == k_adapter_specific;
    standin_record("LogoutIScsiTarget session=%016llX-%016llX known=%d", session->adapter_unique,
                   session->adapter_specific, ours ? 1 : 0);
    return 0;
}

__declspec(dllexport) ULONG WINAPI
    RemoveIScsiSendTargetPortalA(PSTR initiator, ULONG port_number, iscsi_target_portal_a* portal) {
    if (portal == nullptr) return k_invalid_parameter;
    char address[k_max_portal_address_len + 1];
    copy_address(portal, address);
    standin_record("RemoveIScsiSendTargetPortalA initiator=%s port_number=0x%08lX address=%s "
                   "socket=%u",
                   initiator == nullptr ? "(null)" : initiator, port_number, address,
                   portal->socket);
    return 0;
}

} // extern "C"
