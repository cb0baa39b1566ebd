#include "support/attach_sandbox.h"

#include <algorithm>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

namespace {

constexpr char k_fake_cmd[] = R"sh(bin=$(dirname "$0")
[ "$1" = /c ] || exit 9
printf '%s\n' "$2" >> "$bin/cmd.calls"
case $2 in *" > \""*) f=${2#*> \"}; f=${f%%\"*}; stat -c %a "$f" >> "$bin/list-modes" 2>&1 ;; esac
exec /bin/sh -c "$2"
)sh";

constexpr char k_fake_powershell[] = R"sh(for a; do script=$a; done
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
    while [ "$(ls "$FAKE_ISCSICLI_BARRIER" | wc -l)" -lt 2 ] && [ $i -lt 600 ];
    do
        sleep 0.1;
    i = $((i + 1)); done
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

attach_sandbox::attach_sandbox(const std::string& tmp_name) {
    if (!root_.ok()) return;
    bin_ = root_.file("bin");
    pub_ = root_.file("public");
    tmp_ = root_.file(tmp_name);
    sessions_ = root_.file("sessions");
    for (const std::string& d : {bin_, pub_, tmp_, sessions_})
        if (mkdir(d.c_str(), 0755) != 0) return;
    write_program(bin_ + "/cmd", k_fake_cmd);
    write_program(bin_ + "/powershell", k_fake_powershell);
    write_program(bin_ + "/iscsicli", fake_iscsicli(sessions_, root_.file("logouts.txt")));
    setenv("PUBLIC", pub_.c_str(), 1);
    setenv("TMPDIR", tmp_.c_str(), 1);
    setenv("PATH", (bin_ + ":/usr/bin:/bin").c_str(), 1);
    unsetenv("NORVALED_UAC");
    unsetenv("NORVALED_POWERSHELL");
    ok_ = true;
}

void attach_sandbox::add_session(int order, const std::string& id,
                                 const std::string& target) const {
    char name[16];
    std::snprintf(name, sizeof name, "%03d.", order);
    std::ofstream(sessions_ + "/" + name + id, std::ios::binary)
        << "Session Id             : " << id << "\r\n"
        << "Initiator Node Name    : iqn.1991-05.com.microsoft:host\r\n"
        << "Target Node Name       : (null)\r\n"
        << "Target Name            : " << target << "\r\n"
        << "ISID                   : 40 00 01 37 00 00\r\n\r\n";
}

std::vector<std::string> attach_sandbox::sessions_left() const {
    std::vector<std::string> ids;
    for (const std::string& n : names_in(sessions_))
        ids.push_back(n.substr(n.find('.') + 1));
    return ids;
}

std::vector<std::string> attach_sandbox::logouts() const {
    return read_lines(root_.file("logouts.txt"));
}

std::vector<std::string> attach_sandbox::log_lines() const {
    return read_lines(pub_ + "/vk_norvaled_mount.log");
}

bool attach_sandbox::log_has(const std::string& text) const {
    for (const std::string& line : log_lines())
        if (line.find(text) != std::string::npos) return true;
    return false;
}

std::vector<std::string> attach_sandbox::tmp_files(const std::string& prefix) const {
    std::vector<std::string> found;
    for (const std::string& n : names_in(tmp_))
        if (n.compare(0, prefix.size(), prefix) == 0) found.push_back(n);
    return found;
}
