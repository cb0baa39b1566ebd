// The auth-text scanner: reads the connect's credentials out of the caller's JSON-ish text.
#pragma once

#include <cstddef>

// Copies the string member key of a JSON-ish text into out (at most size-1 characters);
// a plain text scan, not a parser. Leaves out untouched when text is null.
void json_get_string(const char* text, const char* key, char* out, std::size_t size);
// Reads the member key of a JSON-ish text as true or false (JSON literals, or the strings
// "true" and "false"). 0 with out unchanged when absent, 0 when read, -1 when unreadable.
int json_get_bool(const char* text, const char* key, bool& out);
