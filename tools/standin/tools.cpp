// iscsicli, pnputil, mountvol, cmd and powershell: the few uses the attachment makes of them.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

#include "attach/scripts.h"
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

// The release script's work: every NORVALED drive's device node removed, one line each.
int release_devices() {
    standin_reply reply;
    if (!tool_request("powershell", "drives", reply)) return 1;
    for (const std::string& line : split_fields(reply.payload, '\n')) {
        const std::vector<std::string> f = split_fields(line);
        if (f.size() < 4 || f[2].find("NORVALED") == std::string::npos) continue;
        std::printf("devnode %s\n", f[3].c_str());
        standin_reply removed;
        tool_request("powershell", "remove_device " + f[3], removed);
    }
    std::printf("release done\n");
    return 0;
}

bool read_file(const std::string& path, std::string& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
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

// Only the unmount's release script is known, recognised by its exact bytes.
int powershell_main(int argc, char** argv) {
    std::string file;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "-File") == 0) file = argv[i + 1];
    std::string script;
    if (file.empty() || !read_file(file, script)) {
        std::fprintf(stderr, "powershell: the stand-in runs only script files (-File FILE)\n");
        return 1;
    }
    if (script != k_release_script) {
        std::fprintf(stderr,
                     "powershell: the stand-in knows only the unmount's release script, "
                     "not %s\n",
                     file.c_str());
        return 1;
    }
    return release_devices();
}
