// Where the running program lives: every file that ships with it (the
// settings, GFX_DATA) is found below this folder.
#pragma once

#include <string>

// The folder part of a path: everything before its last separator. A path
// without a separator is kept whole.
std::string DirectoryOfPath(const std::string& path);

// The running executable's folder, without a trailing separator; empty when
// the executable's path cannot be found.
std::string ExeDirectory();
