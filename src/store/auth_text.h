// The auth-text scanner: reads the connect's credentials out of the caller's JSON-ish text.
#pragma once

#include <cstddef>

// Copies the string member key of a JSON-ish text into out (at most size-1 characters);
// a plain text scan, not a parser. Leaves out untouched when text is null.
void json_get_string(const char* text, const char* key, char* out, std::size_t size);
