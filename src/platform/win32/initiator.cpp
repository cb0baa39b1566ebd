// The Microsoft iSCSI Initiator: the MSiSCSI service through the service manager, and the
// discovery interface of iscsidsc.dll, loaded at run time from the system directory.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include "platform/initiator.h"
#include "platform/win32/iscsidsc_records.h"

#include <cstring>
#include <mutex>
#include <new>

// The discovery records as the SDK lays them out. mingw's iscsidsc.h does not compile, and
// linking its import library would stop the DLL from loading wherever iscsidsc.dll is missing.
namespace {

constexpr ULONG k_all_initiator_ports = 0xFFFFFFFFu;
constexpr ULONGLONG k_no_security_flags = 0;

using add_portal_fn = ULONG(WINAPI*)(PSTR, ULONG, iscsi_login_options*, ULONGLONG,
                                     iscsi_target_portal_a*);
using login_fn = ULONG(WINAPI*)(PSTR, BOOLEAN, PSTR, ULONG, iscsi_target_portal_a*, ULONGLONG,
                                void*, iscsi_login_options*, ULONG, PCHAR, BOOLEAN,
                                iscsi_unique_id*, iscsi_unique_id*);
using logout_fn = ULONG(WINAPI*)(iscsi_unique_id*);
using remove_portal_fn = ULONG(WINAPI*)(PSTR, ULONG, iscsi_target_portal_a*);

struct discovery_interface {
    add_portal_fn add_portal = nullptr;
    login_fn login = nullptr;
    logout_fn logout = nullptr;
    remove_portal_fn remove_portal = nullptr;
    ULONG load_error = 0; // why the calls are missing
};

template <typename Fn>
void resolve(HMODULE dll, const char* name, Fn* fn, ULONG* error) {
    *fn = reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(dll, name)));
    if (*fn == nullptr && *error == 0) *error = GetLastError();
}

// Loaded once and kept: only from System32, so a planted iscsidsc.dll is never picked up.
const discovery_interface& discovery() {
    static discovery_interface api;
    static std::once_flag once;
    std::call_once(once, [] {
        HMODULE dll = LoadLibraryExA("iscsidsc.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (dll == nullptr) {
            api.load_error = GetLastError();
            return;
        }
        resolve(dll, "AddIScsiSendTargetPortalA", &api.add_portal, &api.load_error);
        resolve(dll, "LoginIScsiTargetA", &api.login, &api.load_error);
        resolve(dll, "LogoutIScsiTarget", &api.logout, &api.load_error);
        resolve(dll, "RemoveIScsiSendTargetPortalA", &api.remove_portal, &api.load_error);
    });
    return api;
}

ULONG missing(const discovery_interface& api) {
    return api.load_error != 0 ? api.load_error : ERROR_PROC_NOT_FOUND;
}

iscsi_target_portal_a portal_of(const char* address, uint16_t port) {
    iscsi_target_portal_a portal{};
    std::strncpy(portal.address, address, sizeof portal.address - 1);
    portal.socket = port;
    return portal;
}

} // namespace

struct plat_service {
    SC_HANDLE manager;
    SC_HANDLE service;
};

service_t initiator_service_open(service_access access) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) return nullptr;
    DWORD rights = access == service_access::query ? SERVICE_QUERY_STATUS
                                                   : SERVICE_QUERY_STATUS | SERVICE_START;
    SC_HANDLE service = OpenServiceA(manager, "MSiSCSI", rights);
    auto* svc = service == nullptr ? nullptr : new (std::nothrow) plat_service{manager, service};
    if (svc == nullptr) {
        if (service != nullptr) CloseServiceHandle(service);
        CloseServiceHandle(manager);
    }
    return svc;
}

int initiator_service_running(service_t svc) {
    if (svc == nullptr) return -1;
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(svc->service, SC_STATUS_PROCESS_INFO,
                              reinterpret_cast<LPBYTE>(&status), sizeof status, &needed))
        return -1;
    return status.dwCurrentState == SERVICE_RUNNING ? 1 : 0;
}

void initiator_service_start(service_t svc) {
    if (svc != nullptr) StartServiceA(svc->service, 0, nullptr);
}

void initiator_service_close(service_t svc) {
    if (svc == nullptr) return;
    CloseServiceHandle(svc->service);
    CloseServiceHandle(svc->manager);
    delete svc;
}

uint32_t initiator_add_portal(const char* address, uint16_t port) {
    const discovery_interface& api = discovery();
    if (api.add_portal == nullptr) return missing(api);
    iscsi_target_portal_a portal = portal_of(address, port);
    iscsi_login_options options{};
    return api.add_portal(nullptr, k_all_initiator_ports, &options, k_no_security_flags, &portal);
}

uint32_t initiator_login(const char* target_iqn, const char* address, uint16_t port,
                         iscsi_session_id* session) {
    const discovery_interface& api = discovery();
    if (api.login == nullptr) return missing(api);
    if (std::strlen(target_iqn) > k_max_iscsi_name_len) return ERROR_INVALID_PARAMETER;
    CHAR name[k_max_iscsi_name_len + 1] = {};
    std::strncpy(name, target_iqn, k_max_iscsi_name_len);
    iscsi_target_portal_a portal = portal_of(address, port);
    iscsi_login_options options{};
    iscsi_unique_id sid{};
    iscsi_unique_id connection{};
    ULONG status =
        api.login(name, FALSE, nullptr, k_all_initiator_ports, &portal, k_no_security_flags,
                  nullptr, &options, 0, nullptr, FALSE, &sid, &connection);
    session->adapter_unique = sid.adapter_unique;
    session->adapter_specific = sid.adapter_specific;
    return status;
}

uint32_t initiator_logout(const iscsi_session_id& session) {
    const discovery_interface& api = discovery();
    if (api.logout == nullptr) return missing(api);
    iscsi_unique_id sid{session.adapter_unique, session.adapter_specific};
    return api.logout(&sid);
}

uint32_t initiator_remove_portal(const char* address, uint16_t port) {
    const discovery_interface& api = discovery();
    if (api.remove_portal == nullptr) return missing(api);
    iscsi_target_portal_a portal = portal_of(address, port);
    return api.remove_portal(nullptr, k_all_initiator_ports, &portal);
}
