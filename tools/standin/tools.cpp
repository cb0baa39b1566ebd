// iscsicli, pnputil, mountvol and cmd: the few uses the attachment makes of them; query: the
// daemon's requests for the stand-in PowerShell cmdlets.
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#include "standin.h"

namespace {

int usage(const char* tool, const char* text) {
    std::fprintf(stderr, "%s: usage: %s\n", tool, text);
    return 1;
}

// The Windows tool's closing line; the exit code carries the verdict.
int completed(bool ok) {
    if (ok) std::printf("The operation completed successfully.\n");
    return ok ? 0 : 1;
}

int session_list() {
    standin_reply reply;
    if (!tool_request("iscsicli", "sessions", reply)) return 1;
    std::printf("Microsoft iSCSI Initiator Version 10.0 (Linux stand-in)\n\n");
    std::printf("Total of %s sessions\n\n", reply.text.c_str());
    for (const std::string& line : split_fields(reply.payload, '\n')) {
        const std::vector<std::string> f = split_fields(line);
        if (f.size() < 4) continue;
        std::printf("Session Id             : %s\n", f[0].c_str());
        std::printf("Initiator Node Name    : iqn.2026-08.org.norvaled.standin:initiator\n");
        std::printf("Target Node Name       : (null)\n");
        std::printf("Target Name            : %s\n", f[1].c_str());
        std::printf("Number Connections     : 1\n");
        std::printf("    Target Portal      : %s/%s\n\n", f[2].c_str(), f[3].c_str());
    }
    return completed(true);
}

} // namespace

int iscsicli_main(int argc, char** argv) {
    const std::string verb = argc > 1 ? argv[1] : "";
    standin_reply reply;
    if (verb == "SessionList" && argc == 2) return session_list();
    if (verb == "LogoutTarget" && argc == 3)
        return completed(tool_request("iscsicli", std::string("logout ") + argv[2], reply));
    if (verb == "QLoginTarget" && argc == 3) {
        if (!tool_request("iscsicli", std::string("qlogin ") + argv[2], reply)) return 1;
        std::printf("Session Id is 0x%s\n", split_fields(reply.text)[0].c_str());
        return completed(true);
    }
    if ((verb == "AddTargetPortal" || verb == "RemoveTargetPortal") && argc >= 4)
        return completed(tool_request("iscsicli",
                                      std::string(verb == "AddTargetPortal" ? "add" : "remove") +
                                          "_portal " + argv[2] + " " + argv[3],
                                      reply));
    return usage("iscsicli", "iscsicli SessionList | LogoutTarget ID | QLoginTarget IQN | "
                             "AddTargetPortal ADDRESS PORT | RemoveTargetPortal ADDRESS PORT");
}

int pnputil_main(int argc, char** argv) {
    if (argc != 3 || std::strcmp(argv[1], "/remove-device") != 0)
        return usage("pnputil", "pnputil /remove-device INSTANCE-ID");
    standin_reply reply;
    if (!tool_request("pnputil", std::string("remove_device ") + argv[2], reply)) return 1;
    std::printf("Device removed successfully.\n");
    return 0;
}

int mountvol_main(int argc, char** argv) {
    const std::string drive = argc > 1 ? argv[1] : "";
    if (argc != 3 || std::strcmp(argv[2], "/P") != 0 || drive.size() != 2 || drive[1] != ':')
        return usage("mountvol", "mountvol X: /P");
    standin_reply reply;
    // The stand-in's volumes hold no mounted file system: dismounting is removing the letter.
    return tool_request("mountvol", "unassign " + drive.substr(0, 1), reply) ? 0 : 1;
}

// cmd /c TEXT: the runner hands TEXT over in one piece; redirections are the shell's work.
int cmd_main(int argc, char** argv) {
    if (argc < 3 || (std::strcmp(argv[1], "/c") != 0 && std::strcmp(argv[1], "/C") != 0))
        return usage("cmd", "cmd /c COMMAND");
    std::string text = argv[2];
    for (int i = 3; i < argc; ++i)
        text += std::string(" ") + argv[i];
    execl("/bin/sh", "sh", "-c", text.c_str(), static_cast<char*>(nullptr));
    std::perror("cmd: /bin/sh");
    return 1;
}

// query REQUEST...: one request to the daemon as it stands, for the stand-in cmdlets of the
// PowerShell module. Prints the reply's line ("ok ..." or "err STATUS message") and then its
// payload; exits 0 on "ok", 1 on "err", 2 when no daemon answers.
int query_main(int argc, char** argv) {
    if (argc < 2) return usage("query", "query REQUEST...");
    std::string text = argv[1];
    for (int i = 2; i < argc; ++i)
        text += std::string(" ") + argv[i];
    standin_reply reply;
    if (standin_call(text, reply) != 0) {
        std::printf("unreachable\n");
        return 2;
    }
    if (reply.ok)
        std::printf("ok %s\n", reply.text.c_str());
    else
        std::printf("err %08X %s\n", static_cast<unsigned>(reply.status), reply.text.c_str());
    std::fwrite(reply.payload.data(), 1, reply.payload.size(), stdout);
    return reply.ok ? 0 : 1;
}
