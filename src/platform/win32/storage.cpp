// Physical drives and volumes through the storage IOCTLs.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>

#include <winioctl.h>

#include "platform/storage.h"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

// A string of the descriptor, searched only within the bytes the query returned.
bool descriptor_string(const unsigned char* buf, DWORD got, DWORD offset, std::string& out) {
    if (offset == 0 || offset >= got) return false;
    const char* s = reinterpret_cast<const char*>(buf + offset);
    out.assign(s, strnlen(s, got - offset));
    return true;
}

} // namespace

int storage_query_ids(int drive, std::string& vendor, std::string& product) {
    char name[64];
    std::snprintf(name, sizeof name, "\\\\.\\PhysicalDrive%d", drive);
    HANDLE h = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageDeviceProperty;
    query.QueryType = PropertyStandardQuery;
    alignas(8) unsigned char buf[1024] = {};
    DWORD got = 0;
    BOOL ok = DeviceIoControl(h, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, buf,
                              sizeof buf, &got, nullptr);
    CloseHandle(h);
    if (!ok || got < offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductRevisionOffset)) return -1;
    STORAGE_DEVICE_DESCRIPTOR desc;
    std::memcpy(&desc, buf, offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductRevisionOffset));
    if (!descriptor_string(buf, got, desc.VendorIdOffset, vendor) ||
        !descriptor_string(buf, got, desc.ProductIdOffset, product))
        return -1;
    return 0;
}

int volume_letter_taken(char letter, std::string& vendor, std::string& product) {
    vendor.clear();
    product.clear();
    if ((GetLogicalDrives() & (1ul << (letter - 'A'))) == 0) return 0;
    // No access asked for: only the device number is wanted, and that needs none.
    char name[8];
    std::snprintf(name, sizeof name, "\\\\.\\%c:", letter);
    HANDLE h = CreateFileA(name, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return 1;
    STORAGE_DEVICE_NUMBER number{};
    DWORD got = 0;
    const BOOL ok = DeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &number,
                                    sizeof number, &got, nullptr);
    CloseHandle(h);
    if (ok && number.DeviceType == FILE_DEVICE_DISK &&
        storage_query_ids(static_cast<int>(number.DeviceNumber), vendor, product) != 0) {
        vendor.clear();
        product.clear();
    }
    return 1;
}

struct plat_volume {
    HANDLE handle;
};

volume_t volume_open(char letter, unsigned long* sys_error) {
    char name[8];
    std::snprintf(name, sizeof name, "\\\\.\\%c:", letter);
    HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        if (sys_error != nullptr) *sys_error = GetLastError();
        return nullptr;
    }
    auto* v = new (std::nothrow) plat_volume{h};
    if (v == nullptr) {
        CloseHandle(h);
        if (sys_error != nullptr) *sys_error = ERROR_NOT_ENOUGH_MEMORY;
    }
    return v;
}

namespace {
bool volume_control(volume_t v, DWORD code) {
    DWORD got = 0;
    return v != nullptr && DeviceIoControl(v->handle, code, nullptr, 0, nullptr, 0, &got, nullptr);
}
} // namespace

void volume_flush(volume_t v) {
    if (v != nullptr) FlushFileBuffers(v->handle);
}

bool volume_lock(volume_t v) {
    return volume_control(v, FSCTL_LOCK_VOLUME);
}

bool volume_dismount(volume_t v) {
    return volume_control(v, FSCTL_DISMOUNT_VOLUME);
}

bool volume_unlock(volume_t v) {
    return volume_control(v, FSCTL_UNLOCK_VOLUME);
}

void volume_close(volume_t v) {
    if (v == nullptr) return;
    CloseHandle(v->handle);
    delete v;
}

bool volume_remove_mount_point(char letter) {
    char root[4] = {letter, ':', '\\', 0};
    return DeleteVolumeMountPointA(root) != 0;
}
