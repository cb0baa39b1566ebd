// A private ssh-agent for the tests, on a socket of its own: the developer's own agent is
// never asked.
#pragma once

#include <string>
#include <sys/types.h>

#include "support/temp_dir.h"

class test_agent {
  public:
    test_agent();  // records a test failure when the agent does not come up
    ~test_agent(); // ends the agent by its pid
    test_agent(const test_agent&) = delete;
    test_agent& operator=(const test_agent&) = delete;

    bool ok() const { return pid_ > 0; }
    const std::string& socket() const { return socket_; }
    // ssh-add of a key without passphrase; true when the agent holds it.
    bool add(const std::string& key) const;

  private:
    scoped_dir dir_;
    std::string socket_;
    pid_t pid_ = -1;
};
