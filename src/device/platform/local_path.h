// Local file names cross into the system here: the program keeps them as
// UTF-8, whatever the system's own encoding of names is.
#pragma once

#include <filesystem>
#include <string>

namespace platform {

// The path a UTF-8 name stands for. POSIX takes the bytes as they are;
// Windows would read a narrow name in the system's code page, so the name is
// decoded as UTF-8 instead.
std::filesystem::path LocalPath(const std::string& utf8);

// The UTF-8 name of a path, the inverse of LocalPath.
std::string Utf8Name(const std::filesystem::path& path);

#ifdef _WIN32
// The name for the wide Win32 file calls: absolute, with backslashes, and
// with the "\\?\" prefix that lifts the 260-character limit when it is that
// long. Empty for a name that is not valid UTF-8 or holds a zero character.
std::wstring WideFileName(const std::string& utf8);
#endif

}  // namespace platform
