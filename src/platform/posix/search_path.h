// Finding a program the way a shell does, for the runner and the stand-in alike.
#pragma once

#include <string>

// Full path of an executable regular file of that name in the colon-separated directories (an
// empty entry is the current directory); empty when there is none.
std::string find_in_dirs(const std::string& name, const std::string& dirs);
// The same over PATH, then the extra directories.
std::string program_on_path(const char* name, const std::string& extra_dirs = {});
