// The Windows attachment's exports.
#include "norvaled.h"
#include "attach/attach.h"

extern "C" {

// No lock and no change to the last-error text: callable at any time, from any thread.
NORVALED_API int32_t norvaled_process_elevated(void) {
    return norvaled_is_process_elevated();
}

NORVALED_API int32_t norvaled_mount_ex(char letter, int32_t allow_format) {
    return mount_drive(letter, allow_format);
}

NORVALED_API int32_t norvaled_mount(char letter) {
    return mount_drive(letter, 0);
}

NORVALED_API int32_t norvaled_unmount(void) {
    return unmount_drive();
}

} // extern "C"
