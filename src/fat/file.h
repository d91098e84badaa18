// Open files: the pool of two FatFile records and the file operations.
#pragma once

#include <cstdint>
#include <vector>

#include "fat/dir_entry.h"
#include "fat/directory.h"
#include "fat/long_name.h"
#include "fat/path.h"

constexpr std::uint8_t FAT_OPEN_READ = 0x01;    // reads allowed
constexpr std::uint8_t FAT_OPEN_WRITE = 0x02;   // writes allowed
constexpr std::uint8_t FAT_OPEN_APPEND = 0x04;  // every write starts at the end
constexpr std::uint8_t FAT_OPEN_RAW = 0x08;     // binary: recorded only
constexpr std::uint8_t FAT_OPEN_ERASE = 0x10;   // an existing file is truncated
constexpr std::uint8_t FAT_OPEN_CREATE = 0x20;  // a missing file is created

constexpr int kFatFilePoolSize = 2;

struct FatFile {
    std::uint32_t parent_cluster;  // directory holding the entry
    std::uint32_t first_cluster;   // 0 while the file owns no cluster
    std::uint32_t position;
    std::uint32_t size;            // read by callers after an open
    std::uint32_t size_changed;    // the entry needs the new size (and cluster)
    char directory[kFatPathBufferSize];
    char name[kFatNameBufferSize];
    std::uint8_t short_name[kFatShortNameSize];
    // The chain's clusters from the first on, as far as walked (or none).
    std::vector<std::uint32_t> clusters;
    std::uint8_t sector_buffer[kSectorSize];
    std::uint32_t buffered_sector;  // file-relative sector index, kFatNoSector for none
    std::uint32_t buffer_dirty;
    std::uint8_t flags;
    FatFile* previous;
    FatFile* next;
    // Where the short entry sits, so that updates need no search.
    FatSlotRef entry_at;
    // Clusters may hang past the size (a failed extension); trimmed at close.
    std::uint32_t chain_may_overhang;
    // The chain could not be extended during this write (full, or a FAT
    // sector unreadable): the write ends there rather than try again.
    std::uint32_t extend_failed;
    // A replace keeps the old content until the new one is whole: the entry
    // names the old chain (replaced_cluster) until the first flush swaps in
    // the new chain, size and time with one sector write.
    std::uint32_t replacing;
    std::uint32_t replaced_cluster;
    FatStamp replace_stamp;
    // The entry was made by this open (an abandoned file is taken away).
    std::uint32_t created;
    // A new file whose entry is written at its first flush, complete, with
    // its size, first cluster and the stamp it was opened with: one entry
    // write instead of two, and never an entry before its data.
    std::uint32_t entry_pending;
    FatStamp create_stamp;
    // Loop detection along the walk that reached the cached cluster.
    std::uint32_t loop_mark;
    std::uint32_t loop_power;
    std::uint32_t loop_length;
    // The volume whose pool holds the record.
    FatVolume* volume;
};

// Puts both records on the free list; records that were open are forgotten.
void FatResetFiles();
// Initialises the pool when that has not been done yet.
void FatEnsureFilePool();

// Modes: r, w, a with b and +, as the FAT_OPEN_* flags say. "w"/"wb" replace
// an existing file: it reads as empty from the open on, while the medium
// keeps the old content until the first flush or the close. Null when not mounted, the path is bad or missing (for
// modes that do not create), the file is already open or no record is free.
FatFile* FatOpenFile(const char* mode, const char* path);
// Mode "w"; a file created here gets the stamp ("%y-%m-%d %H:%M", may be
// null). A file created here has no entry until its first flush (or close):
// it is listed from then on, and the name is checked again then.
FatFile* FatOpenWriteStamped(const char* path, const char* stamp);
// Bytes read; 0 for a length of 0; -1 for a bad call or at/after the end.
int FatReadFile(FatFile* file, std::uint32_t length, std::uint8_t* buffer);
// Bytes accepted (short when the volume fills, a write fails or the file
// would pass 4 GiB - 1); -1 for a bad call.
int FatWriteFile(FatFile* file, const std::uint8_t* buffer, std::uint32_t length);
// Data, entry and FAT reach the medium: 0, or -1 when a write failed.
int FatFlushFile(FatFile* file);
// Null is ignored.
void FatCloseFile(FatFile* file);
// Closes without keeping what was written since the open, for a caller
// whose copy failed part-way: a replaced file keeps its old content, a file
// this open created is removed; others close as FatCloseFile does. Null is
// ignored.
void FatAbandonFile(FatFile* file);
// 0, or -1 (missing, a directory, open, or the entry could not be marked).
int FatDeleteFile(const char* path);
// 1, or 0 (bad path, parent missing, name exists, volume or directory full).
int FatMakeDirectory(const char* path);
int FatMakeDirectoryStamped(const char* path, const char* stamp);
// 1: removed an empty directory (only "." and ".." inside); 0: missing, not
// a directory, not empty, root, or a write failed.
int FatRemoveDirectory(const char* path);

// Whole-sector transfers at a file-relative sector, within one run of
// contiguous clusters: sectors moved, 0 on failure. Writing past the end of
// the chain extends it.
std::uint32_t FatReadFileSectors(FatFile* file, std::uint32_t sector_index, std::uint8_t* buffer,
                                 std::uint32_t count);
std::uint32_t FatWriteFileSectors(FatFile* file, std::uint32_t sector_index, const std::uint8_t* buffer,
                                  std::uint32_t count);

// Whether a record of the volume is open on the entry with this short name
// in this directory.
bool FatIsEntryOpen(FatVolume& volume, std::uint32_t parent_cluster, const std::uint8_t* short_name);

// The same operations on a given volume; the calls above work on the
// default volume. A record belongs to the volume that opened it, and the
// calls taking one refuse records of another volume. Closing reports
// whether everything reached the medium (0, or -1).
void FatResetFiles(FatVolume& volume);
void FatEnsureFilePool(FatVolume& volume);
FatFile* FatOpenFile(FatVolume& volume, const char* mode, const char* path);
FatFile* FatOpenWriteStamped(FatVolume& volume, const char* path, const char* stamp);
int FatReadFile(FatVolume& volume, FatFile* file, std::uint32_t length, std::uint8_t* buffer);
int FatWriteFile(FatVolume& volume, FatFile* file, const std::uint8_t* buffer, std::uint32_t length);
int FatFlushFile(FatVolume& volume, FatFile* file);
int FatCloseFile(FatVolume& volume, FatFile* file);
void FatAbandonFile(FatVolume& volume, FatFile* file);
int FatDeleteFile(FatVolume& volume, const char* path);
int FatMakeDirectoryStamped(FatVolume& volume, const char* path, const char* stamp);
int FatRemoveDirectory(FatVolume& volume, const char* path);
// Removes a folder with everything below it (a file: deletes it): 1, or 0.
// Each folder is read twice and written once whatever its size. A loop or
// an entry pointing outside the volume, found before anything is deleted,
// leaves the volume as it was; so does a file of the tree being open, or a
// hidden or system entry in it (NotEmpty: listings never show those).
int FatRemoveTree(FatVolume& volume, const char* path);
// Opens for reading the file a listing record names (FatForEachEntry,
// FatLookupEntry), straight from its slot: no search, whatever the size of
// its folder. Null when the entry is no longer that file.
struct FatEntryLocation;
FatFile* FatOpenListed(FatVolume& volume, const FatEntryLocation& listed);
