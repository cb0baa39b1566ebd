#include "support/attach_env.h"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const k_fake_powershell = R"(#!/bin/sh
# The elevated PowerShell's stand-in: the last argument is the script file.
for a in "$@"; do script=$a; done
cp "$script" "$FAKE_PS_SEEN"
res=$(head -n 1 "$script" | tr -d '\r' | sed -e "s/^\$res = '//" -e "s/'\$//" -e "s/''/'/g")
if [ -n "$FAKE_PS_GATE" ]; then
  i=0; while [ ! -e "$FAKE_PS_GATE" ] && [ $i -lt 1200 ]; do sleep 0.05; i=$((i+1)); done
fi
if [ -f "$FAKE_PS_ANSWER" ]; then cat "$FAKE_PS_ANSWER" >>"$res"; fi
exit 0
)";

constexpr char k_fake_cmd[] = R"sh(bin=$(dirname "$0")
[ "$1" = /c ] || exit 9
printf '%s\n' "$2" >> "$bin/cmd.calls"
case $2 in *" > \""*) f=${2#*> \"}; f=${f%%\"*}; stat -c %a "$f" >> "$bin/list-modes" 2>&1 ;; esac
exec /bin/sh -c "$2"
)sh";

constexpr char k_scripted_powershell[] = R"sh(for a; do script=$a; done
res=$(head -n 1 "$script" | tr -d '\r' | sed -e "s/^\$res = '//" -e "s/'\$//" -e "s/''/'/g" \
  -e "s/‘‘/‘/g" -e "s/’’/’/g" -e "s/‚‚/‚/g" -e "s/‛‛/‛/g")
tail -n +3 "$script" | tr -d '\r' | {
  while IFS= read -r line; do
    arg=${line#* }
    case $line in
      "L '"*) t=${line#L \'}; printf '%s\r\n' "${t%\'}" >> "$res" ;;
      "COPY "*) cp "$script" "$arg" ;;
      "MODE "*) stat -c %a "$script" > "$arg" ;;
      "PID "*) echo $$ > "$arg" ;;
      "TOUCH "*) : > "$arg" ;;
      "WAITFOR "*) i=0; while [ ! -e "$arg" ] && [ $i -lt 600 ]; do sleep 0.1; i=$((i+1)); done ;;
      "EXIT "*) exit "$arg" ;;
    esac
  done
}
)sh";

std::string fake_iscsicli(const std::string& sessions, const std::string& logouts) {
    return "d='" + sessions + "'\n" + R"sh(case "$1" in
SessionList)
  if [ -n "$FAKE_ISCSICLI_BARRIER" ]; then
    : > "$FAKE_ISCSICLI_BARRIER/$$"; i=0
    while [ "$(ls "$FAKE_ISCSICLI_BARRIER" | wc -l)" -lt 2 ] && [ $i -lt 600 ]; do
      sleep 0.1; i=$((i + 1))
    done
  fi
  printf 'Microsoft iSCSI Initiator Version 10.0 Build 19041\r\n\r\n'
  printf 'Total of %d sessions\r\n\r\n' "$(ls "$d" | wc -l)"
  for f in "$d"/*; do [ -f "$f" ] && cat "$f"; done
  printf 'The operation completed successfully. \r\n' ;;
LogoutTarget)
  printf '%s\n' "$2" >> ')sh" +
           logouts + R"sh('
  rm -f "$d"/*."$2" ;;
esac
)sh";
}

std::vector<std::string> names_in(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

attach_env::attach_env(tools with, const std::string& tmp_name) {
    if (!root_.ok()) return;
    bin_ = root_.file("bin");
    pub_ = root_.file("public");
    tmp_ = root_.file(tmp_name);
    sessions_ = root_.file("sessions");
    for (const std::string& d : {tmp_, pub_, root_.file("locks"), root_.file("standin"), bin_})
        if (mkdir(d.c_str(), 0700) != 0) return;
    std::string bins;
    if (with == fakes) {
        if (mkdir(sessions_.c_str(), 0700) != 0) return;
        write_program(bin_ + "/cmd", k_fake_cmd);
        write_program(bin_ + "/powershell", k_scripted_powershell);
        write_program(bin_ + "/iscsicli", fake_iscsicli(sessions_, root_.file("logouts.txt")));
        bins = bin_ + ":/usr/bin:/bin";
        unsetenv("NORVALED_UAC");
        unsetenv("NORVALED_POWERSHELL");
    } else {
        const char* path = std::getenv("PATH");
        bins = bin_ + ":" +
               NORVALED_BINARY_DIR "/standin-bin:" + (path != nullptr ? path : "/usr/bin:/bin");
    }
    ok_ = setenv("TMPDIR", tmp_.c_str(), 1) == 0 && setenv("PUBLIC", pub_.c_str(), 1) == 0 &&
          setenv("NORVALED_LOCK_DIR", root_.file("locks").c_str(), 1) == 0 &&
          setenv("NORVALED_STANDIN_DIR", root_.file("standin").c_str(), 1) == 0 &&
          setenv("PATH", bins.c_str(), 1) == 0;
}

attach_env::~attach_env() {
    stop_standin();
}

void attach_env::stop_standin() const {
    std::ifstream in(root_.file("standin/msiscsi.pid"));
    long pid = 0;
    if (!(in >> pid) || pid <= 1) return;
    if (kill(static_cast<pid_t>(pid), SIGTERM) != 0) return;
    // Not our child (it runs in a session of its own): wait until it is gone.
    for (int i = 0; i < 500 && kill(static_cast<pid_t>(pid), 0) == 0; ++i)
        usleep(20000);
}

bool attach_env::have_standin() {
    return access(NORVALED_BINARY_DIR "/standin-bin/msiscsi", X_OK) == 0;
}

bool attach_env::add_program(const std::string& name, const std::string& body) const {
    const std::string path = root_.file("bin/" + name);
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << body;
        if (!out) return false;
    }
    return chmod(path.c_str(), 0755) == 0;
}

bool attach_env::add_fake_powershell() const {
    return add_program("fake-powershell", k_fake_powershell) &&
           setenv("NORVALED_POWERSHELL", root_.file("bin/fake-powershell").c_str(), 1) == 0 &&
           setenv("FAKE_PS_SEEN", root_.file("seen.ps1").c_str(), 1) == 0 &&
           setenv("FAKE_PS_ANSWER", root_.file("answer.txt").c_str(), 1) == 0;
}

void attach_env::answer(const std::string& lines) const {
    std::ofstream(root_.file("answer.txt"), std::ios::binary | std::ios::trunc) << lines;
}

std::string attach_env::seen_script() const {
    return read_text(root_.file("seen.ps1"));
}

std::vector<std::string> attach_env::log_lines() const {
    std::vector<std::string> lines;
    std::istringstream in(read_text(pub_ + "/vk_norvaled_mount.log"));
    for (std::string line; std::getline(in, line);) {
        const std::size_t end = line.find("] ");
        lines.push_back(line[0] == '[' && end != std::string::npos ? line.substr(end + 2) : line);
    }
    return lines;
}

std::vector<std::string> attach_env::new_log_lines() {
    std::vector<std::string> all = log_lines();
    std::vector<std::string> fresh(all.begin() + static_cast<long>(std::min(log_seen_, all.size())),
                                   all.end());
    log_seen_ = all.size();
    return fresh;
}

std::string missing_in_order(const std::vector<std::string>& lines,
                             const std::vector<std::string>& wanted) {
    std::size_t at = 0;
    for (const std::string& w : wanted) {
        while (at < lines.size() && lines[at].find(w) == std::string::npos)
            ++at;
        if (at == lines.size()) return w;
        ++at;
    }
    return "";
}

void attach_env::add_session(int order, const std::string& id, const std::string& target) const {
    char name[16];
    std::snprintf(name, sizeof name, "%03d.", order);
    std::ofstream(sessions_ + "/" + name + id, std::ios::binary)
        << "Session Id             : " << id << "\r\n"
        << "Initiator Node Name    : iqn.1991-05.com.microsoft:host\r\n"
        << "Target Node Name       : (null)\r\n"
        << "Target Name            : " << target << "\r\n"
        << "ISID                   : 40 00 01 37 00 00\r\n\r\n";
}

std::vector<std::string> attach_env::sessions_left() const {
    std::vector<std::string> ids;
    for (const std::string& n : names_in(sessions_))
        ids.push_back(n.substr(n.find('.') + 1));
    return ids;
}

std::vector<std::string> attach_env::logouts() const {
    return read_lines(root_.file("logouts.txt"));
}

std::vector<std::string> attach_env::raw_log_lines() const {
    return read_lines(pub_ + "/vk_norvaled_mount.log");
}

bool attach_env::log_has(const std::string& text) const {
    for (const std::string& line : raw_log_lines())
        if (line.find(text) != std::string::npos) return true;
    return false;
}

std::vector<std::string> attach_env::tmp_files(const std::string& prefix) const {
    std::vector<std::string> found;
    for (const std::string& n : names_in(tmp_))
        if (n.compare(0, prefix.size(), prefix) == 0) found.push_back(n);
    return found;
}
