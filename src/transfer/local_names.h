// Names that come from a volume, made fit to name a local file.
#pragma once

#include <set>
#include <string>

// A volume entry's name as one local file name that stays inside the folder
// it is written to: separators of either kind and control characters become
// "_", "" "." and ".." get a "_" of their own, and on Windows the characters
// it refuses, trailing dots and spaces, and device names (CON, COM1.txt, ...)
// are mended as well. A name that needs none of this comes back unchanged.
std::string SafeLocalName(const std::string& volume_name);

// The local names of the entries of one volume folder, each SafeLocalName's:
// two volume names can come out as one ("a\b", "a_b"), and the later one
// gets a number rather than landing on the first.
class LocalFolderNames {
public:
    std::string Take(const std::string& volume_name);

private:
    std::set<std::string> taken_;
};
