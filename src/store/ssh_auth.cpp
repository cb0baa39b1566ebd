#include "store/ssh_auth.h"

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace {

unsigned text_len(const char* text) {
    return static_cast<unsigned>(std::strlen(text));
}

// The password for every prompt the server sends: the servers that take only
// keyboard-interactive ask for exactly that.
void answer_prompts(const char*, int, const char*, int, int num_prompts,
                    const LIBSSH2_USERAUTH_KBDINT_PROMPT*,
                    LIBSSH2_USERAUTH_KBDINT_RESPONSE* responses, void** abstract) {
    const char* password = static_cast<const char*>(*abstract);
    for (int i = 0; i < num_prompts; ++i) {
        const std::size_t len = std::strlen(password);
        // libssh2 frees each answer with its own allocator, the C library's by default.
        char* copy = static_cast<char*>(std::malloc(len + 1));
        if (copy == nullptr) return;
        std::memcpy(copy, password, len + 1);
        responses[i].text = copy;
        responses[i].length = static_cast<unsigned>(len);
    }
}

struct agent_link {
    LIBSSH2_AGENT* agent;
    explicit agent_link(LIBSSH2_SESSION* session) : agent(libssh2_agent_init(session)) {}
    ~agent_link() {
        if (agent == nullptr) return;
        libssh2_agent_disconnect(agent);
        libssh2_agent_free(agent);
    }
    agent_link(const agent_link&) = delete;
    agent_link& operator=(const agent_link&) = delete;
};

} // namespace

auth_tries::auth_tries(LIBSSH2_SESSION* session, const char* user)
    : session_(session), user_(user) {
    const char* list = libssh2_userauth_list(session, user, text_len(user));
    if (list != nullptr) offered_ = list;
}

bool auth_tries::done() const {
    return libssh2_userauth_authenticated(session_) != 0;
}

bool auth_tries::offered(const char* method) const {
    // A server that did not say is tried with whatever the caller has.
    return offered_.empty() ||
           ("," + offered_ + ",").find("," + std::string(method) + ",") != std::string::npos;
}

void auth_tries::note(const char* method) {
    if (("," + tried_ + ",").find("," + std::string(method) + ",") != std::string::npos) return;
    tried_ += (tried_.empty() ? "" : ",") + std::string(method);
}

bool auth_tries::agent() {
    if (!offered("publickey")) return false;
    note("agent");
    agent_link link(session_);
    if (link.agent == nullptr || libssh2_agent_connect(link.agent) != 0 ||
        libssh2_agent_list_identities(link.agent) != 0)
        return false;
    libssh2_agent_publickey* identity = nullptr;
    while (libssh2_agent_get_identity(link.agent, &identity, identity) == 0) {
        if (libssh2_agent_userauth(link.agent, user_, identity) == 0) return true;
    }
    return false;
}

bool auth_tries::password(const char* password) {
    if (offered("password")) {
        note("password");
        return libssh2_userauth_password_ex(session_, user_, text_len(user_), password,
                                            text_len(password), nullptr) == 0;
    }
    if (!offered("keyboard-interactive")) return false;
    note("keyboard-interactive");
    void** abstract = libssh2_session_abstract(session_);
    void* before = *abstract;
    *abstract = const_cast<char*>(password);
    const bool ok = libssh2_userauth_keyboard_interactive_ex(session_, user_, text_len(user_),
                                                             answer_prompts) == 0;
    *abstract = before;
    return ok;
}

std::string auth_tries::summary() const {
    return "server offers " + (offered_.empty() ? std::string("no list") : offered_) + "; tried " +
           (tried_.empty() ? std::string("nothing") : tried_);
}
