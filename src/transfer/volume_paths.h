// Volume paths as users type them, made into the engine's form.
#pragma once

#include <string>

// "/a//b/" -> "/a/b"; "" and "a/b" get their leading slash. "/" stays "/".
std::string NormalVolumePath(const std::string& path);
// The path of `name` inside volume folder `dir`.
std::string JoinVolumePath(const std::string& dir, const std::string& name);
// The last component of a volume path ("" for "/").
std::string VolumeBaseName(const std::string& path);
