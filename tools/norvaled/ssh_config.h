// The parts of OpenSSH's client configuration (~/.ssh/config, /etc/ssh/ssh_config) that
// decide where norvaled connects, as whom, with which keys and which known hosts.
//
// Read: Host and "Match host"/"Match all" blocks (patterns with *, ? and !), HostName, User,
// Port, IdentityFile (~ and %d %u %h %r %%; every value is kept, in order), IdentitiesOnly,
// UserKnownHostsFile (its first file), GlobalKnownHostsFile (its first file),
// StrictHostKeyChecking, HashKnownHosts and Include. Other Match criteria never match, and
// every other keyword (ProxyJump, ProxyCommand, CertificateFile, IdentityAgent, ...) is
// ignored. For each keyword but IdentityFile the first value found wins, as in ssh.
#pragma once

#include <string>
#include <vector>

struct ssh_settings {
    std::string host_name; // empty: the name given
    std::string user;
    int port = 0;
    std::vector<std::string> identity_files;
    bool identities_only = false;
    std::string user_known_hosts;         // empty: ~/.ssh/known_hosts
    std::string global_known_hosts;       // empty: /etc/ssh/ssh_known_hosts
    std::string strict_host_key_checking; // "yes", "accept-new", "no", "ask" or empty
    bool hash_known_hosts = false;
};

// The settings for host: the named file alone when config_file is given (-F), otherwise
// ~/.ssh/config and then /etc/ssh/ssh_config. user_given is the user of the command line,
// for %r. False with one line in err for a file named by -F that cannot be read.
bool read_ssh_settings(const std::string& host, const std::string& config_file,
                       const std::string& home, const std::string& local_user,
                       const std::string& user_given, ssh_settings& out, std::string& err);

// ssh's pattern match: * and ? wildcards, the name compared without regard to case.
bool ssh_pattern_match(const std::string& pattern, const std::string& name);
