// The Linux stand-in for the Windows iSCSI initiator and storage tools: one program that acts
// by the name it is called by. Development and test tooling, not part of the library.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/posix/standin_client.h"

// The daemon in the role of the MSiSCSI service.
int msiscsi_main(int argc, char** argv);

int iscsicli_main(int argc, char** argv);
int diskpart_main(int argc, char** argv);
int pnputil_main(int argc, char** argv);
int mountvol_main(int argc, char** argv);
int cmd_main(int argc, char** argv);
int query_main(int argc, char** argv);

// One request to the daemon on behalf of a tool: true on an "ok" reply. Otherwise prints
// "<tool>: <why>" on standard error and gives false.
bool tool_request(const char* tool, const std::string& text, standin_reply& reply,
                  const void* payload = nullptr, std::size_t len = 0);

// Splits on tabs (the daemon's field separator) or on another separator.
std::vector<std::string> split_fields(const std::string& s, char sep = '\t');
