// Walking a volume folder tree to copy it out, shared by the command-line
// tool and the explorer.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "fat/engine.h"

// What copying an entry out needs of its listing record, not the whole
// record: a folder of tens of thousands of files stays small.
struct VolumeChild {
    std::string name;
    bool is_directory;
    std::uint32_t first_cluster;
    std::uint32_t size;
    FatEntryLocation location;
};

// The entries of volume folder `folder` in directory order, its own "." and
// ".." left out. Only a folder can be such an entry: a file of that name is
// a damaged or foreign long name, and is listed like any other.
fat::Result ListVolumeChildren(fat::Volume& volume, const std::string& folder, std::vector<VolumeChild>* children);

// The folders from the root down to the one being copied, known by where
// they start. On a damaged volume a folder entry can start at the cluster of
// a folder above it; following it would copy the same folders without end.
class VolumeFolderTrail {
public:
    // Takes in the root and every folder above `path` (not `path` itself),
    // so that a loop back to a folder above the copy is caught as well.
    void EnterAbove(fat::Volume& volume, const std::string& path);
    // Steps into folder `path`; false, with the folder on the trail that
    // starts at the same cluster in *earlier, when that would be a loop.
    bool Enter(const std::string& path, std::uint32_t first_cluster, std::string* earlier);
    void Leave(std::uint32_t first_cluster);

private:
    std::map<std::uint32_t, std::string> folders_;
};

// Where volume folder `path` starts (the root has no entry of its own).
fat::Result VolumeFolderStart(fat::Volume& volume, const std::string& path, std::uint32_t* first_cluster);
