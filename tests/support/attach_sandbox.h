// A sandbox for the attachment tests: the mount log, the temporary directory and PATH all
// point into one fresh directory, where fake cmd, powershell and iscsicli programs (shell
// scripts) play the Windows tools.
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
//                      FAKE_ISCSICLI_BARRIER set, a listing waits until two listings run.
#pragma once

#include "support/temp_dir.h"

#include <string>
#include <vector>

class attach_sandbox {
  public:
    // tmp_name: the temporary directory's name inside the sandbox (may hold blanks, quotes).
    explicit attach_sandbox(const std::string& tmp_name = "tmp");

    bool ok() const { return ok_; }
    const std::string& bin() const { return bin_; }
    const std::string& pub() const { return pub_; } // "PUBLIC": the mount log's directory
    const std::string& tmp() const { return tmp_; } // TMPDIR
    std::string file(const std::string& name) const { return root_.file(name); }

    // A session block for the fake iscsicli; listed in the order of `order`.
    void add_session(int order, const std::string& id, const std::string& target) const;
    std::vector<std::string> sessions_left() const; // ids, in listing order
    std::vector<std::string> logouts() const;       // ids, in logout order

    // The mount log's lines in pub(), prefix included.
    std::vector<std::string> log_lines() const;
    bool log_has(const std::string& text) const;
    // Names in tmp() that start with prefix.
    std::vector<std::string> tmp_files(const std::string& prefix) const;

  private:
    scoped_dir root_;
    std::string bin_, pub_, tmp_, sessions_;
    bool ok_ = false;
};
