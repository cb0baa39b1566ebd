#include "support/attach_env.h"

#include <csignal>
#include <cstdlib>
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

} // namespace

attach_env::attach_env() {
    if (!root_.ok()) return;
    tmp_ = root_.file("tmp");
    for (const char* sub : {"tmp", "public", "locks", "standin", "bin"})
        if (mkdir(root_.file(sub).c_str(), 0700) != 0) return;
    const char* path = std::getenv("PATH");
    const std::string bins = root_.file("bin") + ":" + NORVALED_BINARY_DIR "/standin-bin:" +
                             (path != nullptr ? path : "/usr/bin:/bin");
    ok_ = setenv("TMPDIR", tmp_.c_str(), 1) == 0 &&
          setenv("PUBLIC", root_.file("public").c_str(), 1) == 0 &&
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
    std::istringstream in(read_text(root_.file("public/vk_norvaled_mount.log")));
    for (std::string line; std::getline(in, line);) {
        const std::size_t end = line.find("] ");
        lines.push_back(line[0] == '[' && end != std::string::npos ? line.substr(end + 2) : line);
    }
    return lines;
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
