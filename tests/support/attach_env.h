// A private world for the attachment tests: its own temporary directory (TMPDIR), mount-log
// directory (PUBLIC), machine-lock directory and stand-in state directory, and a directory of
// programs put first on PATH, then the stand-in tools for the Windows initiator. Make it before the
// first attachment call of the process: the mount log's path is fixed by the first line written.
#pragma once

#include <string>
#include <vector>

#include "support/temp_dir.h"

class attach_env {
  public:
    attach_env();
    ~attach_env(); // stops the stand-in daemon that the library started, by its pid file
    attach_env(const attach_env&) = delete;
    attach_env& operator=(const attach_env&) = delete;

    bool ok() const { return ok_; }
    std::string file(const std::string& name) const { return root_.file(name); }
    const std::string& tmp() const { return tmp_; }

    // Writes an executable /bin/sh script under that name into the programs' directory.
    bool add_program(const std::string& name, const std::string& body) const;
    // A fake elevated PowerShell (NORVALED_POWERSHELL points to it): it keeps a copy of the
    // script it runs in seen_script() and appends the lines given to answer() to the result
    // file that the script's first line names; with FAKE_PS_GATE set, only once that file
    // exists (within a minute).
    bool add_fake_powershell() const;
    void answer(const std::string& lines) const;
    std::string seen_script() const;

    // Ends the stand-in initiator daemon, if one runs for this world.
    void stop_standin() const;
    // True when the stand-in tools were built (their directory goes on PATH).
    static bool have_standin();

    // The mount log's lines without their time and process prefix.
    std::vector<std::string> log_lines() const;

  private:
    scoped_dir root_;
    std::string tmp_;
    bool ok_ = false;
};

// Looks for each of `wanted` as a substring of a line, in this order: "" when all were found,
// else the first one missing.
std::string missing_in_order(const std::vector<std::string>& lines,
                             const std::vector<std::string>& wanted);
