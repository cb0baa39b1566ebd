// The daemon's state: send-targets portals, sessions, drives and drive letters.
#pragma once

#include <string>

// Answers one request; the reply's text line ("ok ..." or "err <status> ...") is returned and
// its payload, if any, left in reply_payload.
std::string msiscsi_handle(const std::string& text, const std::string& payload,
                           std::string& reply_payload);

// Logs every session out, for the daemon's end.
void msiscsi_logout_all();
