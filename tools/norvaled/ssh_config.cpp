#include "ssh_config.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

constexpr int k_max_include_depth = 16;

std::string lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Words of a line: blanks separate, double quotes group, "=" may follow the keyword.
std::vector<std::string> split_words(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool quoted = false;
    bool have = false;
    for (const char c : line) {
        if (c == '"') {
            quoted = !quoted;
            have = true;
        } else if (!quoted && (c == ' ' || c == '\t' || (c == '=' && words.empty()))) {
            if (have) words.push_back(word);
            word.clear();
            have = false;
        } else {
            word += c;
            have = true;
        }
    }
    if (have) words.push_back(word);
    return words;
}

// True when a pattern list ("a*,!b") holds a positive match and no negated one.
bool list_matches(const std::vector<std::string>& patterns, const std::string& name) {
    bool matched = false;
    for (const std::string& list : patterns) {
        std::stringstream items(list);
        std::string p;
        while (std::getline(items, p, ',')) {
            if (p.empty()) continue;
            if (p[0] == '!') {
                if (ssh_pattern_match(p.substr(1), name)) return false;
            } else if (ssh_pattern_match(p, name)) {
                matched = true;
            }
        }
    }
    return matched;
}

struct reader {
    std::string host;
    std::string home;
    std::string local_user;
    std::string user_given;
    ssh_settings& out;
    bool user_file = true; // Include paths are relative to ~/.ssh, else /etc/ssh

    std::string expand(const std::string& text) const {
        std::string path = text;
        if (path.rfind("~/", 0) == 0 || path == "~") path = home + path.substr(1);
        std::string result;
        for (std::size_t i = 0; i < path.size(); ++i) {
            if (path[i] != '%' || i + 1 >= path.size()) {
                result += path[i];
                continue;
            }
            const char c = path[++i];
            const std::string remote_user = !user_given.empty() ? user_given
                                            : !out.user.empty() ? out.user
                                                                : local_user;
            if (c == 'd')
                result += home;
            else if (c == 'u')
                result += local_user;
            else if (c == 'h')
                result += out.host_name.empty() ? host : out.host_name;
            else if (c == 'r')
                result += remote_user;
            else if (c == '%')
                result += '%';
            else
                result += std::string("%") + c;
        }
        return result;
    }

    bool match_block(const std::vector<std::string>& words) const {
        // Match host PATTERNS, Match all; any other criterion is not read, so never matches.
        if (words.size() == 2 && lower(words[1]) == "all") return true;
        if (words.size() != 3 || lower(words[1]) != "host") return false;
        return list_matches({words[2]}, out.host_name.empty() ? host : out.host_name);
    }

    void include(const std::string& pattern, bool active, int depth) {
        std::string path = expand(pattern);
        if (!std::filesystem::path(path).is_absolute())
            path = (user_file ? home + "/.ssh/" : std::string("/etc/ssh/")) + path;
        const std::filesystem::path p(path);
        std::error_code ec;
        std::vector<std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(p.parent_path(), ec))
            if (ssh_pattern_match(p.filename().string(), entry.path().filename().string()))
                files.push_back(entry.path().string());
        std::sort(files.begin(), files.end());
        for (const std::string& f : files)
            read_file(f, active, depth + 1);
    }

    void apply(const std::string& key, const std::vector<std::string>& words) {
        const std::string& v = words[1];
        if (key == "hostname" && out.host_name.empty())
            out.host_name = expand(v);
        else if (key == "user" && out.user.empty())
            out.user = v;
        else if (key == "port" && out.port == 0)
            out.port = std::atoi(v.c_str());
        else if (key == "identityfile") {
            const std::string file = expand(v);
            if (std::find(out.identity_files.begin(), out.identity_files.end(), file) ==
                out.identity_files.end())
                out.identity_files.push_back(file);
        } else if (key == "identitiesonly" && !seen_identities_only) {
            seen_identities_only = true;
            out.identities_only = lower(v) == "yes";
        } else if (key == "userknownhostsfile" && out.user_known_hosts.empty())
            out.user_known_hosts = expand(v);
        else if (key == "globalknownhostsfile" && out.global_known_hosts.empty())
            out.global_known_hosts = expand(v);
        else if (key == "stricthostkeychecking" && out.strict_host_key_checking.empty())
            out.strict_host_key_checking = lower(v) == "off" ? "no" : lower(v);
        else if (key == "hashknownhosts" && !seen_hash) {
            seen_hash = true;
            out.hash_known_hosts = lower(v) == "yes";
        }
    }

    // active: whether the lines before the first Host/Match of this file apply.
    void read_file(const std::string& path, bool active, int depth) {
        if (depth > k_max_include_depth) return;
        std::ifstream in(path);
        std::string line;
        while (std::getline(in, line)) {
            const std::vector<std::string> words = split_words(line);
            if (words.empty() || words[0][0] == '#') continue;
            const std::string key = lower(words[0]);
            if (key == "host") {
                active = list_matches({words.begin() + 1, words.end()}, host);
            } else if (key == "match") {
                active = match_block(words);
            } else if (active && words.size() >= 2) {
                if (key == "include") {
                    for (std::size_t i = 1; i < words.size(); ++i)
                        include(words[i], active, depth);
                } else {
                    apply(key, words);
                }
            }
        }
    }

    bool seen_identities_only = false;
    bool seen_hash = false;
};

} // namespace

bool ssh_pattern_match(const std::string& pattern, const std::string& name) {
    std::size_t p = 0, n = 0, star = std::string::npos, mark = 0;
    const auto same = [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) ==
               std::tolower(static_cast<unsigned char>(b));
    };
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || same(pattern[p], name[n]))) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            mark = n;
        } else if (star != std::string::npos) {
            p = star + 1;
            n = ++mark;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

bool read_ssh_settings(const std::string& host, const std::string& config_file,
                       const std::string& home, const std::string& local_user,
                       const std::string& user_given, ssh_settings& out, std::string& err) {
    out = ssh_settings{};
    reader r{host, home, local_user, user_given, out};
    if (!config_file.empty()) {
        if (!std::ifstream(config_file)) {
            err = "-F " + config_file + ": cannot read that file";
            return false;
        }
        r.read_file(config_file, true, 0);
        return true;
    }
    if (!home.empty()) r.read_file(home + "/.ssh/config", true, 0);
    r.user_file = false;
    r.read_file("/etc/ssh/ssh_config", true, 0);
    return true;
}
