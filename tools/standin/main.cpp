#include <cstdio>
#include <cstring>
#include <string_view>

#include "standin.h"

namespace {

struct tool_entry {
    std::string_view name;
    int (*main)(int, char**);
};

constexpr tool_entry k_tools[] = {
    {"msiscsi", msiscsi_main}, {"iscsicli", iscsicli_main}, {"diskpart", diskpart_main},
    {"pnputil", pnputil_main}, {"mountvol", mountvol_main}, {"cmd", cmd_main},
    {"query", query_main},
};

} // namespace

bool tool_request(const char* tool, const std::string& text, standin_reply& reply,
                  const void* payload, std::size_t len) {
    if (standin_call(text, reply, payload, len) != 0) {
        std::fprintf(stderr, "%s: the iSCSI initiator service is not running (%s)\n", tool,
                     standin_socket_path().c_str());
        return false;
    }
    if (!reply.ok) std::fprintf(stderr, "%s: %s\n", tool, reply.text.c_str());
    return reply.ok;
}

std::vector<std::string> split_fields(const std::string& s, char sep) {
    std::vector<std::string> out;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = s.find(sep, start);
        out.push_back(s.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos) return out;
        start = end + 1;
    }
}

int main(int argc, char** argv) {
    const char* slash = std::strrchr(argv[0], '/');
    std::string_view name = slash != nullptr ? slash + 1 : argv[0];
    // "standin <tool> ARGS..." works too, for trying a tool without its link.
    if (name == "standin" && argc > 1) {
        name = argv[1];
        ++argv;
        --argc;
    }
    for (const tool_entry& t : k_tools)
        if (t.name == name) return t.main(argc, argv);
    std::fprintf(stderr, "standin: unknown tool name \"%.*s\"\n", static_cast<int>(name.size()),
                 name.data());
    return 1;
}
