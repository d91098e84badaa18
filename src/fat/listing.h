// Directory listing by cursor or into a list, lookup of one entry, and renaming.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "fat/long_name.h"

// Where an entry was found, enough to open it again without a search.
struct FatEntryLocation {
    std::uint32_t parent_cluster;
    std::uint32_t entry_sector;  // directory sector index
    std::uint32_t entry_slot;
    std::uint32_t first_cluster;
    std::uint8_t short_name[11];
};

struct FatEntryInfo {
    char name[kFatNameBufferSize];  // UTF-8: the long name, or the listing form of the short name
    std::uint8_t is_directory;
    std::uint32_t first_cluster;
    std::uint32_t size;
    std::uint16_t write_time;
    std::uint16_t write_date;
    FatEntryLocation location;
};
using FatEntryInfoList = std::vector<FatEntryInfo>;

struct FatDirCursor {
    std::uint32_t sector_index;
    std::uint32_t start_cluster;  // 0: the FAT16 root
    std::uint8_t slot_index;
};

// The cursor before the first slot, or null when the path is no directory.
FatDirCursor* FatOpenDirectory(const char* path, FatDirCursor* cursor);
// 1 and the next visible entry ("." and ".." included), or 0 at the end.
int FatReadDirectory(FatDirCursor* cursor, FatEntryInfo* info);
// Appends every visible entry; a path that is no directory adds nothing.
void FatListDirectory(FatEntryInfoList& list, const char* path);
// Gives short-name-only entries matching old_name the base new_name (at most
// 8 characters, stored upper case, extension kept). Returns 0.
int FatRenameEntry(FatDirCursor* cursor, const char* old_name, const char* new_name);
// 1 or 0: a new long name and a fresh short name for any entry, in the same
// directory, keeping its cluster, size, attributes and dates.
int FatRenamePath(const char* path, const char* new_name);
// 1 and the entry's info for a file or directory path, 0 when missing; "/"
// is not an entry.
int FatLookupEntry(const char* path, FatEntryInfo* info);

// The same on a given volume; the calls above work on the default volume.
struct FatVolume;
FatDirCursor* FatOpenDirectory(FatVolume& volume, const char* path, FatDirCursor* cursor);
int FatReadDirectory(FatVolume& volume, FatDirCursor* cursor, FatEntryInfo* info);
// True when the whole directory was read (false: no such directory, or a
// read failed or met damage part-way; what was read is still appended).
bool FatListDirectory(FatVolume& volume, FatEntryInfoList& list, const char* path);
// Hands each visible entry to `visit` as the pass reaches it (memory stays
// flat whatever the folder's size); the visitor returns false to stop,
// and must not change the volume. True when the pass ended cleanly or was
// stopped, as for FatListDirectory.
using FatEntryVisitor = std::function<bool(const FatEntryInfo& info)>;
bool FatForEachEntry(FatVolume& volume, const char* path, const FatEntryVisitor& visit);
int FatRenameEntry(FatVolume& volume, FatDirCursor* cursor, const char* old_name, const char* new_name);
int FatRenamePath(FatVolume& volume, const char* path, const char* new_name);
int FatLookupEntry(FatVolume& volume, const char* path, FatEntryInfo* info);
