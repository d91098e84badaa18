// The walk an import makes over a local file or folder and everything below
// it, shared by the command-line tool and the explorer.
//
// Symbolic links met inside the folder are never followed into a folder, so
// no link can lead the walk in circles or through a folder twice:
//   - a link to a regular file outside the folder counts as that file;
//   - a link to a folder, a link to anything inside the folder, and a link
//     that leads nowhere are skipped, each reported to the visitor once.
// The file or folder named on the command line is taken as what it names,
// link or not: the user asked for it by name.
#pragma once

#include <filesystem>
#include <string>

// What the walk meets, in the order the volume should receive it: a folder
// before everything in it, the entries of a folder in name order. The calls
// that return bool stop the walk with false (having said why).
class LocalTreeVisitor {
public:
    virtual bool EnterFolder(const std::filesystem::path& folder) = 0;
    virtual void LeaveFolder() = 0;
    // file may be a link; reading it reads the file it points at.
    virtual bool File(const std::filesystem::path& file) = 0;
    // An entry passed by, the walk going on: what ("" or "symbolic link ")
    // and why.
    virtual void Skipped(const std::string& what, const std::filesystem::path& path, const char* reason) = 0;
    // Why the walk itself stops.
    virtual void Failed(const std::string& message) = 0;

protected:
    ~LocalTreeVisitor() = default;
};

// Walks root; false when the visitor stopped the walk or a folder could not
// be read (the visitor told why).
bool WalkLocalTree(const std::filesystem::path& root, LocalTreeVisitor& visitor);
