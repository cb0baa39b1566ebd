#include "support/powershell.h"

#include <cstdint>
#include <cstdlib>
#include <gtest/gtest.h>
#include <unistd.h>
#include <vector>

#include "platform/posix/standin_client.h"
#include "support/run_cmd.h"
#include "support/temp_dir.h"

namespace {

constexpr uint32_t k_tool_ms = 120000;
constexpr uint64_t k_partition_offset = 1u << 20;
constexpr std::size_t k_io_bytes = 1u << 20;

bool in_ci() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string(ci) == "true";
}

// The partition (from 1 MiB to the end) of a disk image copied into scratch_dir.
std::string copy_partition(const std::string& image, const std::string& scratch_dir) {
    const std::string part = scratch_dir + "/partition.img";
    const cmd_result copy = run_cmd(
        {"dd", "if=" + image, "of=" + part, "bs=1M", "skip=1", "conv=sparse", "status=none"},
        k_tool_ms);
    return copy.ok() ? part : "";
}

} // namespace

std::string powershell_engine() {
    return NORVALED_PWSH;
}

std::string standin_powershell() {
    return NORVALED_BINARY_DIR "/standin-bin/powershell";
}

void require_powershell() {
    std::string missing;
    if (access(NORVALED_PWSH, X_OK) != 0)
        missing = "no PowerShell engine at " NORVALED_PWSH " (scripts/setup-deps.sh installs it)";
    else if (access(standin_powershell().c_str(), X_OK) != 0 ||
             access(NORVALED_BINARY_DIR "/standin-bin/msiscsi", X_OK) != 0)
        missing = "the stand-in tools were not built";
    if (missing.empty()) return;
    if (in_ci()) FAIL() << missing;
    GTEST_SKIP() << missing;
}

std::string write_file_through_drive(int drive, const std::string& scratch_dir,
                                     const std::string& name, const std::string& text) {
    const std::string n = std::to_string(drive);
    standin_reply info;
    if (standin_call("drive " + n, info) != 0 || !info.ok) return "no drive " + n;
    std::vector<std::string> f;
    for (std::size_t at = 0, tab; at <= info.text.size(); at = tab + 1) {
        tab = info.text.find('\t', at);
        if (tab == std::string::npos) tab = info.text.size();
        f.push_back(info.text.substr(at, tab - at));
    }
    if (f.size() != 4 || f[3] != "512") return "unexpected drive " + info.text;
    const uint64_t size = std::stoull(f[2]) * 512;
    const std::string part = scratch_dir + "/through-drive.img";
    for (uint64_t at = k_partition_offset; at < size; at += k_io_bytes) {
        standin_reply r;
        const std::string req =
            "read " + n + " " + std::to_string(at / 512) + " " + std::to_string(k_io_bytes / 512);
        if (standin_call(req, r) != 0 || !r.ok || r.payload.size() != k_io_bytes)
            return "read at " + std::to_string(at) + " failed: " + r.text;
        if (!write_at(part, at - k_partition_offset,
                      std::vector<uint8_t>(r.payload.begin(), r.payload.end())))
            return "cannot write " + part;
    }
    const std::vector<uint8_t> before = read_at(part, 0, size - k_partition_offset);
    const std::string source = scratch_dir + "/" + name;
    if (!write_at(source, 0, std::vector<uint8_t>(text.begin(), text.end())))
        return "cannot write " + source;
    const cmd_result cp = run_cmd({"ntfscp", part, source, name}, k_tool_ms);
    if (!cp.ok()) return "ntfscp: " + cp.describe();
    const std::vector<uint8_t> after = read_at(part, 0, before.size());
    for (std::size_t at = 0; at < after.size(); at += k_io_bytes) {
        if (std::equal(after.begin() + at, after.begin() + at + k_io_bytes, before.begin() + at))
            continue;
        standin_reply r;
        const std::string req =
            "write " + n + " " + std::to_string((at + k_partition_offset) / 512);
        if (standin_call(req, r, after.data() + at, k_io_bytes) != 0 || !r.ok)
            return "write at " + std::to_string(at) + " failed: " + r.text;
    }
    return "";
}

std::string ntfs_cat(const std::string& image, const std::string& scratch_dir,
                     const std::string& name) {
    const std::string part = copy_partition(image, scratch_dir);
    if (part.empty()) return "";
    const cmd_result cat = run_cmd({"ntfscat", "--force", part, name}, k_tool_ms);
    return cat.ok() ? cat.output : "";
}

std::string ntfs_label(const std::string& image, const std::string& scratch_dir) {
    const std::string part = copy_partition(image, scratch_dir);
    if (part.empty()) return "";
    const cmd_result label = run_cmd({"ntfslabel", "--force", part}, k_tool_ms);
    return label.ok() ? label.output : "";
}
