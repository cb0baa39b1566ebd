// Physical drives and volumes: the storage property query and the volume operations that the
// unmount uses. On Windows the storage IOCTLs; on POSIX the stand-in daemon's drives.
#pragma once

#include <string>

// Standard device-property query on physical drive N. 0 and the vendor and product strings
// (taken only from the bytes the query returned) when the query succeeded and both strings are
// present; -1 when the drive cannot be opened or queried or lacks either string.
int storage_query_ids(int drive, std::string& vendor, std::string& product);

// Whether a volume already holds the drive letter (A..Z): 0 when none does; 1 when one does,
// with the vendor and product of the physical drive under it, both empty when that cannot be
// told (a network drive, a volume over several disks, a failed query).
int volume_letter_taken(char letter, std::string& vendor, std::string& product);

// The volume of a drive letter.
struct plat_volume;
using volume_t = plat_volume*;
// nullptr and the system error number when the volume cannot be opened.
volume_t volume_open(char letter, unsigned long* sys_error);
void volume_flush(volume_t v);
bool volume_lock(volume_t v);
bool volume_dismount(volume_t v);
bool volume_unlock(volume_t v);
void volume_close(volume_t v);
// Removes the mount point "X:\"; true on success.
bool volume_remove_mount_point(char letter);
