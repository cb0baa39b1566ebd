// The real PowerShell 7 engine (scripts/setup-deps.sh installs it) and the stand-in's
// powershell, which runs a script in it with the stand-in cmdlets imported first; and the
// stand-in's disks as an NTFS user sees them.
#pragma once

#include <string>

// The engine itself and the stand-in's powershell launcher.
std::string powershell_engine();
std::string standin_powershell();

// Skips the test when the engine or the stand-in tools are missing; fails it instead in CI
// (CI=true), where scripts/setup-deps.sh must have installed them. Call it from SetUp.
void require_powershell();

// Writes a file into the NTFS of a stand-in drive through its iSCSI session, as a program
// writing to the mounted volume would: the partition read through the session, the file
// copied in with ntfscp, and every changed MiB written back. "" or what failed.
std::string write_file_through_drive(int drive, const std::string& scratch_dir,
                                     const std::string& name, const std::string& text);

// The NTFS partition of a disk image (from 1 MiB on) copied to a file in scratch_dir; then
// ntfscat of one file in it, or the volume's label. "" when the file or volume is unreadable.
std::string ntfs_cat(const std::string& image, const std::string& scratch_dir,
                     const std::string& name);
std::string ntfs_label(const std::string& image, const std::string& scratch_dir);
