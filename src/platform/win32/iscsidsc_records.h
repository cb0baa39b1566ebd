// The discovery records of the Microsoft iSCSI Initiator as the SDK lays them out (mingw's
// iscsidsc.h does not compile), for the library's calls and for the test prefix's stand-in
// iscsidsc.dll, which must read them exactly as the real one does.
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstddef>

constexpr std::size_t k_max_iscsi_name_len = 223;
constexpr std::size_t k_max_portal_name_len = 256;
constexpr std::size_t k_max_portal_address_len = 256;

struct iscsi_target_portal_a {
    CHAR symbolic_name[k_max_portal_name_len];
    CHAR address[k_max_portal_address_len];
    USHORT socket;
};
static_assert(sizeof(iscsi_target_portal_a) == 514, "ISCSI_TARGET_PORTALA");

struct iscsi_login_options {
    ULONG version;
    ULONG information_specified;
    ULONG login_flags;
    ULONG auth_type;
    ULONG header_digest;
    ULONG data_digest;
    ULONG maximum_connections;
    ULONG default_time2wait;
    ULONG default_time2retain;
    ULONG username_length;
    ULONG password_length;
    PUCHAR username;
    PUCHAR password;
};
static_assert(sizeof(iscsi_login_options) == 64, "ISCSI_LOGIN_OPTIONS (x64)");

struct iscsi_unique_id {
    ULONGLONG adapter_unique;
    ULONGLONG adapter_specific;
};
static_assert(sizeof(iscsi_unique_id) == 16, "ISCSI_UNIQUE_SESSION_ID");
