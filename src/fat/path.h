// Engine paths: "/dir/name" with slashes, or "X:\dir\name" with backslashes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fat/long_name.h"

constexpr std::size_t kFatPathBufferSize = 4096;

// Components minus one; -1 for "/", for a null or malformed path.
int FatPathDepth(const char* path);
// Component `index` into out (out_size bytes): 0, or -1 when it is empty,
// does not fit or the path is malformed.
int FatPathComponent(const char* path, int index, char* out, std::size_t out_size = kFatNameBufferSize);
// The last component (name) and everything before its separator (directory
// part, empty at depth 0): 0, or -1 for a malformed path, an empty name or
// parts that do not fit.
int FatSplitPath(const char* path, char* name, char* directory, std::size_t name_size = kFatNameBufferSize,
                 std::size_t directory_size = kFatPathBufferSize);
// Whether the path names the root directory ("/" or "X:\").
bool FatPathIsRoot(const char* path);
// Start cluster of the directory a path names (its every component a
// directory): 1, or 0. An empty path or the root gives the root.
int FatResolveDirectory(const char* path, std::uint32_t* start_cluster);
struct FatVolume;
int FatResolveDirectory(FatVolume& volume, const char* path, std::uint32_t* start_cluster);
