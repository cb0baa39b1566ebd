// libiscsi's conformance suite, iscsi-test-cu, against the library's own target. Every test
// runs in a process of its own, with a time limit, against a freshly started target, so one
// test's failure or hang cannot change another's outcome. tests/iscsi_test_cu_expected.txt
// lists the tests that must pass and, for the rest of each suite it names, the outcome
// recorded with this design and why; only the must-pass tests decide this test's result.
#include <algorithm>
#include <cctype>
#include <fstream>
#include <iostream>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/run_cmd.h"
#include "support/target_fixture.h"

namespace {

constexpr uint32_t k_test_cu_ms = 10000; // a test takes well under a second, even under TSan
constexpr uint32_t k_list_ms = 10000;
constexpr const char* k_initiator = "iqn.2026-08.com.velmorak:interop-test";

struct recorded {
    std::string name;    // as iscsi-test-cu -t takes it: FAMILY.SUITE.TEST
    std::string outcome; // must, pass, fail, skip, timeout or omit (not run)
    std::string reason;
};

std::string suite_of(const std::string& name) {
    const std::size_t last = name.rfind('.');
    return last == std::string::npos ? name : name.substr(0, last);
}

const std::vector<recorded>& expectations() {
    static const std::vector<recorded> all = [] {
        std::vector<recorded> out;
        std::ifstream f(NORVALED_SOURCE_DIR "/tests/iscsi_test_cu_expected.txt");
        std::string line;
        while (std::getline(f, line)) {
            if (line.empty() || line[0] == '#') continue;
            std::istringstream fields(line);
            recorded r;
            fields >> r.name >> r.outcome;
            std::getline(fields >> std::ws, r.reason);
            out.push_back(r);
        }
        return out;
    }();
    return all;
}

// The suites named in the list, in its order; with runnable_only, those with a test to run.
std::vector<std::string> recorded_suites(bool runnable_only) {
    std::set<std::string> seen;
    std::vector<std::string> out;
    for (const recorded& r : expectations())
        if ((!runnable_only || r.outcome != "omit") && seen.insert(suite_of(r.name)).second)
            out.push_back(suite_of(r.name));
    return out;
}

// The "tests" row of CUnit's run summary: Total, Ran, Passed, Failed. False when absent.
bool summary_row(const std::string& output, int counts[4]) {
    const std::size_t summary = output.find("Run Summary:");
    if (summary == std::string::npos) return false;
    std::istringstream lines(output.substr(summary));
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string label;
        if (fields >> label && label == "tests")
            return static_cast<bool>(fields >> counts[0] >> counts[1] >> counts[2] >> counts[3]);
    }
    return false;
}

// What one iscsi-test-cu run says about its single test. The tool probes the device before
// the test and cleans up after it, printing [SKIPPED] and [FAILED] lines of its own there:
// only the summary row and the test's own span (from "Test:" to "passed") count.
std::string outcome_of(const cmd_result& r) {
    if (r.timed_out) return "timeout";
    if (r.term_signal != 0) return "crash";
    int counts[4] = {};
    if (!summary_row(r.output, counts) || counts[1] != 1) return "error";
    if (counts[3] != 0) return "fail";
    const std::size_t begin = r.output.find("  Test: ");
    const std::size_t end = r.output.find("passed", begin);
    if (begin == std::string::npos || end == std::string::npos) return "error";
    const bool skipped = r.output.substr(begin, end - begin).find("[SKIPPED]") != std::string::npos;
    return skipped ? "skip" : "pass";
}

// The list must stay in step with the tool: a new iscsi-test-cu may add tests to a suite or
// rename them, and each needs a recorded outcome.
TEST(IscsiTestCuList, RecordsEveryTestOfItsSuitesOnce) {
    const cmd_result r = run_cmd({"iscsi-test-cu", "-l"}, k_list_ms);
    ASSERT_TRUE(r.ok()) << r.describe();
    const std::vector<std::string> suites = recorded_suites(false);
    ASSERT_FALSE(suites.empty()) << "no entries in tests/iscsi_test_cu_expected.txt";
    const std::set<std::string> suite_set(suites.begin(), suites.end());
    std::set<std::string> listed;
    std::istringstream lines(r.output);
    for (std::string name; std::getline(lines, name);)
        if (std::count(name.begin(), name.end(), '.') == 2 && suite_set.count(suite_of(name)))
            listed.insert(name);
    std::set<std::string> named;
    const std::set<std::string> outcomes{"must", "pass", "fail", "skip", "timeout", "omit"};
    for (const recorded& e : expectations()) {
        EXPECT_TRUE(named.insert(e.name).second) << e.name << " is listed twice";
        EXPECT_TRUE(listed.count(e.name)) << e.name << " is not a test of iscsi-test-cu -l";
        EXPECT_TRUE(outcomes.count(e.outcome)) << e.name << ": unknown outcome " << e.outcome;
        EXPECT_TRUE(e.outcome == "must" || !e.reason.empty()) << e.name << " needs a reason";
    }
    for (const std::string& name : listed)
        EXPECT_TRUE(named.count(name)) << name << " has no recorded outcome";
}

class IscsiTestCu : public ::testing::TestWithParam<std::string> {
  protected:
    void SetUp() override { ASSERT_NE(target_start_mock(), nullptr); }
    void TearDown() override { target_stop(); }
};

TEST_P(IscsiTestCu, Suite) {
    for (const recorded& e : expectations()) {
        if (suite_of(e.name) != GetParam() || e.outcome == "omit") continue;
        const target_info* t = target_restart();
        ASSERT_NE(t, nullptr);
        // -d: the write tests need leave to overwrite the (scratch) disk.
        const cmd_result r =
            run_cmd({"iscsi-test-cu", "-d", "-i", k_initiator, "-t", e.name, t->url}, k_test_cu_ms);
        const std::string got = outcome_of(r);
        if (e.outcome == "must") {
            EXPECT_EQ(got, "pass") << e.name << " must pass; " << r.describe();
        } else if (got != e.outcome) {
            // Informational: a changed outcome is worth a look, not a failure.
            std::cout << "[ NOTE     ] " << e.name << ": recorded " << e.outcome << " (" << e.reason
                      << "), now " << got << "\n";
        }
        RecordProperty(e.name, got);
    }
}

INSTANTIATE_TEST_SUITE_P(Recorded, IscsiTestCu, ::testing::ValuesIn(recorded_suites(true)),
                         [](const auto& info) {
                             std::string n = info.param;
                             for (char& c : n)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return n;
                         });

} // namespace
