// Session inspection and the forced logout, against a fake iscsicli run through the fake
// cmd (tests/support/attach_env.h), as on Windows: "cmd /c iscsicli SessionList > file".
#include "attach/attach.h"
#include "norvaled.h"
#include "support/attach_env.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <sys/stat.h>
#include <thread>

namespace {

const std::string k_ours = NORVALED_TARGET_IQN;
const std::string k_other = "iqn.1991-05.com.example:other-disk";

struct scan_result {
    int present;
    std::string id;
};

scan_result scan() {
    char id[128] = "untouched";
    int present = unmount_our_session_present(id, sizeof id);
    return {present, id};
}

} // namespace

TEST(AttachSessions, OnlySessionsToOurTargetCount) {
    attach_env box(attach_env::fakes);
    ASSERT_TRUE(box.ok());
    scan_result r = scan();
    EXPECT_EQ(r.present, 0); // "Total of 0 sessions"
    EXPECT_EQ(r.id, "");

    // Another iSCSI disk on the machine is not ours: nothing to wait for, nothing to log out.
    box.add_session(1, "ffffe001-4000013700000001", k_other);
    box.add_session(4, "ffffe001-4000013700000004", k_ours + "2"); // a longer name is not ours
    r = scan();
    EXPECT_EQ(r.present, 0);
    EXPECT_EQ(r.id, "");
    unmount_logout_all_by_iqn();
    EXPECT_TRUE(box.logouts().empty());

    box.add_session(2, "ffffe001-4000013700000002", k_ours);
    box.add_session(3, "ffffe001-4000013700000003", k_other);
    r = scan();
    EXPECT_EQ(r.present, 1);
    EXPECT_EQ(r.id, "ffffe001-4000013700000002"); // a later block to another target changes nothing
    EXPECT_EQ(unmount_our_session_present(nullptr, 0), 1);

    // Every listing went to a file of its own, made private before cmd wrote into it, under
    // a name nobody could guess beforehand; none is left behind.
    std::vector<std::string> calls = read_lines(box.bin() + "/cmd.calls");
    ASSERT_GE(calls.size(), 2u);
    const std::string head = "iscsicli SessionList > \"" + box.tmp() + "/vknorvaled_sl_";
    const std::string tail = ".txt\" 2>&1";
    std::set<std::string> parts;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        // head, the call's number, '_', 16 hexadecimal digits, tail
        const std::string& call = calls[i];
        const std::string number = std::to_string(i + 1) + "_";
        ASSERT_EQ(call.size(), head.size() + number.size() + 16 + tail.size()) << call;
        EXPECT_EQ(call.compare(0, head.size(), head), 0) << call;
        EXPECT_EQ(call.compare(head.size(), number.size(), number), 0) << call;
        const std::string part = call.substr(head.size() + number.size(), 16);
        EXPECT_EQ(part.find_first_not_of("0123456789abcdef"), std::string::npos) << call;
        EXPECT_EQ(call.compare(call.size() - tail.size(), tail.size(), tail), 0) << call;
        parts.insert(part);
    }
    EXPECT_EQ(parts.size(), calls.size());
    EXPECT_EQ(read_lines(box.bin() + "/list-modes"), std::vector<std::string>(calls.size(), "600"));
    EXPECT_TRUE(box.tmp_files("vknorvaled_sl_").empty());
}

TEST(AttachSessions, UnusableIdentifiersAreNeverLoggedOut) {
    attach_env box(attach_env::fakes);
    ASSERT_TRUE(box.ok());
    // An empty value after the colon, then an identifier too long to hold: both are "none".
    box.add_session(1, "", k_ours);
    scan_result r = scan();
    EXPECT_EQ(r.present, 1);
    EXPECT_EQ(r.id, "");

    box.add_session(2, std::string(128, 'f'), k_ours);
    r = scan();
    EXPECT_EQ(r.present, 1);
    EXPECT_EQ(r.id, "");
    EXPECT_TRUE(box.log_has("session id longer than 127 characters ignored"));
    unmount_logout_all_by_iqn();
    EXPECT_TRUE(box.logouts().empty());

    box.add_session(3, std::string(127, 'e'), k_ours);
    EXPECT_EQ(scan().id, std::string(127, 'e'));

    // A tab would split the logout command's argument: neither cut nor used.
    box.add_session(4, "ffffe001\t4000013700000004", k_ours);
    EXPECT_EQ(scan().id, "");
    EXPECT_TRUE(box.log_has("session id with a tab ignored"));
}

TEST(AttachSessions, ForcedLogoutTakesTheLaterSessionFirstAndStopsAfterTwo) {
    attach_env box(attach_env::fakes);
    ASSERT_TRUE(box.ok());
    box.add_session(1, "id-a", k_ours);
    box.add_session(2, "id-b", k_other);
    box.add_session(3, "id-c", k_ours);
    box.add_session(4, "id-d", k_ours);
    unmount_logout_all_by_iqn();
    EXPECT_EQ(box.logouts(), (std::vector<std::string>{"id-d", "id-c"}));
    EXPECT_EQ(box.sessions_left(), (std::vector<std::string>{"id-a", "id-b"}));
    EXPECT_TRUE(box.log_has("] force logout id=id-d rc=0"));
    EXPECT_TRUE(box.log_has("child done wr=0 exit=0 cmd=iscsicli LogoutTarget id-c"));
}

TEST(AttachSessions, NoListingIsMinusOneAndLeavesNothing) {
    attach_env box(attach_env::fakes);
    ASSERT_TRUE(box.ok());
    std::remove((box.bin() + "/cmd").c_str());
    box.add_session(1, "id-a", k_ours);
    scan_result r = scan();
    EXPECT_EQ(r.present, -1);
    EXPECT_EQ(r.id, "");
    EXPECT_STREQ(norvaled_last_error(),
                 "child spawn failed (gle=2) -- admin required for diskpart");
    EXPECT_TRUE(box.tmp_files("vknorvaled_sl_").empty());
}

TEST(AttachSessions, ConcurrentCallsUseTheirOwnListFiles) {
    attach_env box(attach_env::fakes);
    ASSERT_TRUE(box.ok());
    std::string barrier = box.file("barrier");
    ASSERT_EQ(mkdir(barrier.c_str(), 0755), 0);
    setenv("FAKE_ISCSICLI_BARRIER", barrier.c_str(), 1); // each listing waits for the other
    box.add_session(1, "id-a", k_ours);
    scan_result first{}, second{};
    std::thread t([&] { first = scan(); });
    second = scan();
    t.join();
    EXPECT_EQ(first.present, 1);
    EXPECT_EQ(first.id, "id-a");
    EXPECT_EQ(second.present, 1);
    EXPECT_EQ(second.id, "id-a");
    std::vector<std::string> calls = read_lines(box.bin() + "/cmd.calls");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_NE(calls[0], calls[1]);
}
