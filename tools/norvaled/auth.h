// The auth text handed to norvaled_connect, built from the options and the environment.
#pragma once

#include <string>
#include <string_view>

#include "options.h"

// `text` as the inside of a JSON string for the library's reader: quotation marks and
// backslashes escaped, line feed, carriage return and tab as \n, \r and \t.
std::string auth_escape(std::string_view text);

// {"password":"...","key_path":"...",...} with only the members that have a value; secrets
// come from the environment variables the options name. Returns true, or false with one
// line in `err` (a named variable is not set, or a key file cannot be read).
bool build_auth_text(const serve_options& o, std::string& out, std::string& err);
