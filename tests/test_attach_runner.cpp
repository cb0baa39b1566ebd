// The mount log, the hidden process runner and the elevation helper, through the real POSIX
// process seam and fake tools (tests/support/attach_env.h). The log path is fixed by the
// first line a process writes, so cases that need another path run in forked children.
#include "attach/attach.h"
#include "attach/scripts.h"
#include "norvaled.h"
#include "support/attach_env.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

// Runs fn in a forked child; the child's exit status, or -1.
int in_child(const std::function<int()>& fn) {
    pid_t pid = fork();
    if (pid == 0) _exit(fn());
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// The pid of each line whose text is `text`; -1 for a line whose prefix is malformed.
std::vector<long> pids_of(const std::vector<std::string>& lines, const std::string& text) {
    std::vector<long> pids;
    for (const std::string& line : lines) {
        int h = -1, m = -1, s = -1, ms = -1;
        unsigned long pid = 0;
        char prefix[64] = {};
        bool parsed =
            std::sscanf(line.c_str(), "[%2d:%2d:%2d.%3d pid=%lu]", &h, &m, &s, &ms, &pid) == 5;
        if (parsed)
            std::snprintf(prefix, sizeof prefix, "[%02d:%02d:%02d.%03d pid=%lu] ", h, m, s, ms,
                          pid);
        if (!parsed || line.compare(0, std::strlen(prefix), prefix) != 0) {
            pids.push_back(-1);
        } else if (line.substr(std::strlen(prefix)) == text) {
            pids.push_back(static_cast<long>(pid));
        }
    }
    return pids;
}

bool process_gone(long pid) {
    std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
    std::size_t paren = stat.rfind(')');
    return stat.empty() || (paren != std::string::npos && stat.compare(paren + 2, 1, "Z") == 0);
}

} // namespace

TEST(AttachMountLog, PathRulesAndOneLinePerCallFromEveryProcess) {
    attach_env box(attach_env::fakes);
    ASSERT_TRUE(box.ok());
    auto log_in_child = [](const char* pub, const char* text) {
        return in_child([=] {
            if (pub == nullptr)
                unsetenv("PUBLIC");
            else
                setenv("PUBLIC", pub, 1);
            vk_mount_log("%s", text);
            return 0;
        });
    };
    std::string with_seps = box.pub() + "//";
    std::string too_long = box.pub() + "/" + std::string(250, 'd'); // the path would be cut
    std::string missing = box.file("no-such-dir");
    // A link planted at the log's name in a shared directory is never followed.
    std::string linked = box.file("linked");
    ASSERT_EQ(mkdir(linked.c_str(), 0755), 0);
    ASSERT_EQ(symlink(box.file("victim").c_str(), (linked + "/vk_norvaled_mount.log").c_str()), 0);
    ASSERT_EQ(log_in_child(box.pub().c_str(), "plain"), 0);
    ASSERT_EQ(log_in_child(with_seps.c_str(), "trailing"), 0);
    ASSERT_EQ(log_in_child(nullptr, "unset"), 0);
    ASSERT_EQ(log_in_child(too_long.c_str(), "too long"), 0);
    ASSERT_EQ(log_in_child(missing.c_str(), "lost"), 0);
    ASSERT_EQ(log_in_child(linked.c_str(), "through a link"), 0);
    EXPECT_NE(access(box.file("victim").c_str(), F_OK), 0);

    std::vector<std::string> pub_lines = box.raw_log_lines();
    ASSERT_EQ(pub_lines.size(), 2u);
    std::vector<long> plain = pids_of(pub_lines, "plain"),
                      trailing = pids_of(pub_lines, "trailing");
    ASSERT_EQ(plain.size(), 1u);
    ASSERT_EQ(trailing.size(), 1u);
    EXPECT_GT(plain[0], 0);
    EXPECT_GT(trailing[0], 0);
    EXPECT_NE(plain[0], trailing[0]);

    std::vector<std::string> tmp_lines = read_lines(box.tmp() + "/vk_norvaled_mount.log");
    ASSERT_EQ(tmp_lines.size(), 2u);
    EXPECT_EQ(pids_of(tmp_lines, "unset").size(), 1u);
    EXPECT_EQ(pids_of(tmp_lines, "too long").size(), 1u);
}

TEST(AttachMountLog, ConcurrentLinesNeverInterleave) {
    attach_env box(attach_env::fakes);
    ASSERT_TRUE(box.ok());
    const std::string a(3000, 'a'), b(3000, 'b');
    std::thread ta([&] {
        for (int i = 0; i < 200; ++i)
            vk_mount_log("%s", a.c_str());
    });
    for (int i = 0; i < 200; ++i)
        vk_mount_log("%s", b.c_str());
    ta.join();
    std::vector<std::string> lines = box.raw_log_lines();
    ASSERT_EQ(lines.size(), 400u);
    EXPECT_EQ(pids_of(lines, a).size(), 200u);
    EXPECT_EQ(pids_of(lines, b).size(), 200u);
}

TEST(AttachRunner, SplitsLikeWindowsAndReturnsTheExitCode) {
    attach_env box(attach_env::fakes);
    ASSERT_TRUE(box.ok());
    // A descriptor the test leaves inheritable must not reach the child.
    int leak = open(box.file("leak-marker").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(leak, 0);
    write_program(box.bin() + "/showargs", "for a; do printf '%s\\n' \"$a\"; done > '" +
                                               box.file("args") + "'\nls -l /proc/$$/fd > '" +
                                               box.file("fds") + "'\nexit 7\n");
    const char* cmd = R"(showargs plain "two words" a\\\"b c\d "x""y" 2\\"q r")";
    EXPECT_EQ(run_hidden(cmd, 60000), 7);
    close(leak);
    EXPECT_EQ(
        read_lines(box.file("args")),
        (std::vector<std::string>{"plain", "two words", R"(a\"b)", R"(c\d)", "x\"y", R"(2\q r)"}));
    std::string fds = read_text(box.file("fds"));
    EXPECT_EQ(fds.find("leak-marker"), std::string::npos) << fds;
    EXPECT_NE(fds.find(" 0 -> /dev/null"), std::string::npos) << fds;
    EXPECT_TRUE(box.log_has(std::string("child done wr=0 exit=7 cmd=") + cmd));

    // cmd gets its text after /c whole: the redirection and the quoted path survive.
    std::string out = box.file("out with blank.txt");
    std::string line = "cmd /c printf hi > \"" + out + "\" 2>&1";
    EXPECT_EQ(run_hidden(line.c_str(), 60000), 0);
    EXPECT_EQ(read_text(out), "hi");
}

TEST(AttachRunner, RefusesACommandLineItWouldHaveToCut) {
    attach_env box(attach_env::fakes);
    ASSERT_TRUE(box.ok());
    write_program(box.bin() + "/mark", ": > '" + box.file("ran") + "'\n");
    std::string cmd = "mark " + std::string(1495, 'x');
    EXPECT_EQ(run_hidden(cmd.c_str(), 60000), -1);
    EXPECT_STREQ(norvaled_last_error(), "command line too long");
    EXPECT_TRUE(box.log_has("command line too long (1500 characters), not run: mark xxx"));
    EXPECT_NE(access(box.file("ran").c_str(), F_OK), 0);
    std::string fits = "mark " + std::string(1018, 'x');
    EXPECT_EQ(run_hidden(fits.c_str(), 60000), 0);
    EXPECT_EQ(access(box.file("ran").c_str(), F_OK), 0);
}

TEST(AttachRunner, LimitEndsTheChildTogetherWithWhatItStarted) {
    attach_env box(attach_env::fakes);
    ASSERT_TRUE(box.ok());
    std::string pid_file = box.file("grandchild.pid");
    write_program(box.bin() + "/spawner", "sleep 600 &\necho $! > '" + pid_file + "'\nwait\n");
    // The grandchild must have been started before the limit; a busy machine gets longer.
    int rc = 0;
    for (uint32_t limit : {1000u, 5000u, 30000u}) {
        rc = run_hidden("spawner", limit);
        if (!read_text(pid_file).empty()) break;
    }
    EXPECT_EQ(rc, 1);
    EXPECT_TRUE(box.log_has("child done wr=258 exit=1 cmd=spawner"));
    std::string text = read_text(pid_file);
    ASSERT_FALSE(text.empty());
    // Gone when the runner returns: it may still hold a file the caller deletes next.
    long grandchild = std::stol(text);
    EXPECT_TRUE(process_gone(grandchild));
    if (!process_gone(grandchild)) kill(static_cast<pid_t>(grandchild), SIGKILL);
}

TEST(AttachRunner, MissingProgramIsError2) {
    attach_env box(attach_env::fakes);
    ASSERT_TRUE(box.ok());
    EXPECT_EQ(run_hidden("no-such-program-here arg", 60000), -1);
    EXPECT_STREQ(norvaled_last_error(),
                 "child spawn failed (gle=2) -- admin required for diskpart");
    EXPECT_TRUE(box.log_has("CreateProcess FAILED gle=2 cmd=no-such-program-here arg"));
}

TEST(AttachElevation, DeclinedOrUnstartableLeavesNoFiles) {
    attach_env box(attach_env::fakes);
    ASSERT_TRUE(box.ok());
    setenv("NORVALED_UAC", "decline", 1);
    EXPECT_EQ(norvaled_run_elevated_ps1("mount", "L 'RC=0'\r\n", 60000), -2);
    EXPECT_STREQ(norvaled_last_error(), "Administrator permission was declined (UAC cancelled)");
    EXPECT_TRUE(box.log_has("] elev mount: requesting one UAC prompt"));
    EXPECT_TRUE(box.log_has("] elev mount: UAC declined by the user"));

    unsetenv("NORVALED_UAC");
    setenv("NORVALED_POWERSHELL", box.file("no-powershell").c_str(), 1);
    EXPECT_EQ(norvaled_run_elevated_ps1("unmount", "L 'RC=0'\r\n", 60000), -1);
    EXPECT_STREQ(norvaled_last_error(), "could not start the elevation helper (gle=2)");
    EXPECT_TRUE(box.log_has("] elev unmount: ShellExecuteEx failed gle=2"));
    EXPECT_TRUE(box.tmp_files("vk_norvaled_elev_").empty());
}

TEST(AttachElevation, VerdictComesFromTheLastRcLineWithADigit) {
    // Every quote that ends a single-quoted PowerShell string is doubled in the frame.
    attach_env box(attach_env::fakes, "tmp o'brien \u2018q\u2019 \u201A\u201B");
    ASSERT_TRUE(box.ok());
    std::string copy = box.file("script-copy"), mode = box.file("script-mode");
    std::string body = "L 'hello'\r\nCOPY " + copy + "\r\nMODE " + mode + "\r\nL 'RC=5'\r\n";
    EXPECT_EQ(norvaled_run_elevated_ps1("t", body.c_str(), 60000), 5);
    EXPECT_TRUE(box.log_has("] elev t | hello"));
    EXPECT_TRUE(box.log_has("] elev t | RC=5"));

    // The script ran from the user's temporary directory, private, behind the exact frame.
    std::string base = box.file("tmp o''brien \u2018\u2018q\u2019\u2019 \u201A\u201A\u201B\u201B") +
                       "/vk_norvaled_elev_t_" + std::to_string(getpid()) + "_1";
    EXPECT_EQ(read_text(copy),
              "$res = '" + base + ".out'\r\n" +
                  "function L($m) { Add-Content -LiteralPath $res -Value $m }\r\n" + body);
    EXPECT_EQ(read_text(mode), "600\n");

    EXPECT_EQ(norvaled_run_elevated_ps1("t", "L 'RC=1'\r\nL 'RC= -12'\r\n", 60000), -12);
    EXPECT_EQ(norvaled_run_elevated_ps1("t", "L 'RC=1'\r\nL 'RC='\r\n", 60000), 1);
    EXPECT_EQ(norvaled_run_elevated_ps1("t", "L 'RC='\r\nL 'RC=x'\r\n", 60000), -1);
    EXPECT_STREQ(norvaled_last_error(), "the elevated helper did not report a result");
    EXPECT_TRUE(box.log_has("] elev t: no verdict (wait=0 got=0)"));

    EXPECT_TRUE(box.tmp_files("vk_norvaled_elev_").empty());
}

TEST(AttachElevation, LateVerdictOfAnEarlierRunDecidesNothing) {
    attach_env box(attach_env::fakes);
    ASSERT_TRUE(box.ok());
    std::string pid_file = box.file("first.pid"), go = box.file("go"), late = box.file("late");
    // The first run outlives its wait, then reports RC=0 while the second run is waiting.
    std::string first =
        "PID " + pid_file + "\r\nWAITFOR " + go + "\r\nL 'RC=0'\r\nTOUCH " + late + "\r\n";
    EXPECT_EQ(norvaled_run_elevated_ps1("unmount", first.c_str(), 200), -1);
    EXPECT_TRUE(box.log_has("] elev unmount: no verdict (wait=258 got=0)"));
    std::string second = "TOUCH " + go + "\r\nWAITFOR " + late + "\r\nL 'second'\r\n";
    EXPECT_EQ(norvaled_run_elevated_ps1("unmount", second.c_str(), 120000), -1);
    EXPECT_TRUE(box.log_has("] elev unmount | second"));
    EXPECT_FALSE(box.log_has("] elev unmount | RC=0"));
    EXPECT_EQ(access(late.c_str(), F_OK), 0);
    std::string pid = read_text(pid_file);
    if (!pid.empty()) kill(-static_cast<pid_t>(std::stol(pid)), SIGKILL);
}

namespace {
std::size_t count_of(const char* text, const char* what) {
    std::size_t n = 0;
    for (const char* p = std::strstr(text, what); p != nullptr; p = std::strstr(p + 1, what))
        ++n;
    return n;
}
} // namespace

TEST(AttachScripts, TextsHaveTheirSizesAndLineEnds) {
    EXPECT_EQ(std::strlen(k_release_script), 325u);
    EXPECT_EQ(count_of(k_release_script, "\r\n"), 7u);
    EXPECT_EQ(std::strlen(k_unmount_helper_script), 1854u);
    EXPECT_EQ(count_of(k_unmount_helper_script, "\r\n"), 38u);
    EXPECT_EQ(count_of(k_mount_helper_script, "\r\n"), 39u);
    EXPECT_EQ(count_of(k_mount_helper_script, "\n"), 39u); // no bare line feed
    EXPECT_EQ(std::strlen(k_elev_frame_log_function), 60u);
    EXPECT_EQ(count_of(k_diskpart_keep_data, "\n"), 6u);
    EXPECT_EQ(count_of(k_diskpart_format, "\n"), 8u);
    EXPECT_EQ(count_of(k_diskpart_format, "\r"), 0u);
    char filled[256];
    std::snprintf(filled, sizeof filled, k_diskpart_keep_data, 3, 'E');
    EXPECT_STREQ(filled, "select disk 3\nattributes disk clear readonly\nonline disk noerr\n"
                         "select partition 1\nremove all noerr\nassign letter=E\n");
}
