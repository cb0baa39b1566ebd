// A private world for the attachment tests: its own temporary directory (TMPDIR), mount-log
// directory (PUBLIC), machine-lock directory and stand-in state directory, and a directory of
// programs put first on PATH. Make it before the first attachment call of the process: the
// mount log's path is fixed by the first line written.
//
// Two kinds of world:
//   standin  the stand-in tools for the Windows initiator follow on PATH (then the caller's);
//   fakes    only /usr/bin and /bin follow, and fake cmd, powershell and iscsicli programs
//            (shell scripts) play the Windows tools; NORVALED_UAC and NORVALED_POWERSHELL
//            are cleared.
//
// The POSIX side of the process seam reads two variables that only tests set:
//   NORVALED_POWERSHELL  the program started for the elevated run (default: powershell on PATH)
//   NORVALED_UAC=decline the consent prompt is answered No (error 1223)
//
// The fakes:
//   cmd /c TEXT        records TEXT in bin/cmd.calls (and, for "... > \"FILE\"", the mode
//                      FILE already has in bin/list-modes) and runs it with /bin/sh
//   powershell ... -File SCRIPT
//                      reads the result path from the script's first line ('' is one ', and
//                      so for the typographic single quotes) and
//                      plays its body: L 'text' appends text (CR LF) to the result file;
//                      COPY path, MODE path (octal mode of the script), PID path, TOUCH path,
//                      WAITFOR path (up to 60 s), EXIT n
//   iscsicli SessionList / LogoutTarget ID
//                      lists the session blocks in sessions/ ("Total of N sessions" first);
//                      a logout records ID in logouts.txt and removes that session. With
//                      FAKE_ISCSICLI_BARRIER set, a listing waits (up to 60 s) until two
//                      listings run.
#pragma once

#include <string>
#include <vector>

#include "support/temp_dir.h"

class attach_env {
  public:
    enum tools { standin, fakes };
    // tmp_name: the temporary directory's name inside the world (may hold blanks, quotes).
    explicit attach_env(tools with = standin, const std::string& tmp_name = "tmp");
    ~attach_env(); // stops the stand-in daemon that the library started, by its pid file
    attach_env(const attach_env&) = delete;
    attach_env& operator=(const attach_env&) = delete;

    bool ok() const { return ok_; }
    std::string file(const std::string& name) const { return root_.file(name); }
    const std::string& bin() const { return bin_; }
    const std::string& pub() const { return pub_; } // "PUBLIC": the mount log's directory
    const std::string& tmp() const { return tmp_; } // TMPDIR

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

    // A session block for the fake iscsicli; listed in the order of `order`.
    void add_session(int order, const std::string& id, const std::string& target) const;
    std::vector<std::string> sessions_left() const; // ids, in listing order
    std::vector<std::string> logouts() const;       // ids, in logout order

    // The mount log's lines without their time and process prefix.
    std::vector<std::string> log_lines() const;
    // The log lines written since the last call of this (all of them the first time).
    std::vector<std::string> new_log_lines();
    // The same lines, prefix included.
    std::vector<std::string> raw_log_lines() const;
    bool log_has(const std::string& text) const;
    // Names in tmp() that start with prefix.
    std::vector<std::string> tmp_files(const std::string& prefix) const;

  private:
    std::size_t log_seen_ = 0;
    scoped_dir root_;
    std::string bin_, pub_, tmp_, sessions_;
    bool ok_ = false;
};

// Looks for each of `wanted` as a substring of a line, in this order: "" when all were found,
// else the first one missing.
std::string missing_in_order(const std::vector<std::string>& lines,
                             const std::vector<std::string>& wanted);
