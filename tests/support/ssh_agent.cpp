#include "support/ssh_agent.h"

#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include "platform/sys.h"
#include "support/run_cmd.h"

test_agent::test_agent() : socket_(dir_.file("agent.sock")) {
    pid_ = spawn_server({"ssh-agent", "-D", "-a", socket_}, dir_.file("agent.log"), "TERM");
    struct stat st {};
    const uint64_t deadline = tick_ms() + 10000;
    while (pid_ > 0 && stat(socket_.c_str(), &st) != 0 && tick_ms() < deadline)
        sleep_ms(10);
    if (pid_ <= 0 || stat(socket_.c_str(), &st) != 0) {
        ADD_FAILURE() << "ssh-agent did not come up";
        if (pid_ > 0) kill(pid_, SIGKILL), waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

test_agent::~test_agent() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
}

bool test_agent::add(const std::string& key) const {
    const cmd_result r = run_cmd({"env", "SSH_AUTH_SOCK=" + socket_, "ssh-add", "-q", key}, 30000);
    EXPECT_TRUE(r.ok()) << "ssh-add: " << r.describe();
    return r.ok();
}
