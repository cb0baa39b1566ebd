// The authentication methods beyond a password and one key file: the ssh-agent and
// keyboard-interactive; and a record of what the server offered and what was tried, for the
// message when nothing worked.
#pragma once

#include <string>

#include <libssh2.h>

class auth_tries {
  public:
    // Asks the server which methods it takes for user (the "none" method).
    auth_tries(LIBSSH2_SESSION* session, const char* user);

    // True when the server let the user in without any method.
    bool done() const;
    bool offered(const char* method) const;
    // Records an attempt of method, for the message.
    void note(const char* method);

    // Each key of the running agent in turn (SSH_AUTH_SOCK, or the Windows agent's pipe).
    bool agent();
    // "password", or keyboard-interactive answered with the password when the server takes
    // only that.
    bool password(const char* password);

    // "server offers publickey,password; tried password", never a secret.
    std::string summary() const;

  private:
    LIBSSH2_SESSION* session_;
    const char* user_;
    std::string offered_; // empty when the server did not say
    std::string tried_;
};
