// A mounted FAT16/FAT32 volume: its record, the mount and the mapping from
// clusters to sectors. The engine is plain records and plain functions; all
// its I/O goes through the block device of the record, and all its state
// hangs off the record, so several volumes may be mounted at once.
#pragma once

#include <cstdint>
#include <mutex>

#include "fat/block_device.h"
#include "fat/result.h"

struct FatVolumeState;

constexpr std::uint32_t kFatNoSector = 0xFFFFFFFFu;
// The FAT cache holds windows of neighbouring FAT sectors: a miss reads the
// whole window in one transfer, so a walk or a free-space scan costs one
// media read per 2,048 (FAT32) or 4,096 (FAT16) clusters.
constexpr std::uint32_t kFatWindowSectors = 16;
static_assert(kFatWindowSectors <= 32, "a window's dirty sectors are bits of one word");
// 128 windows (1 MiB): the whole FAT of a 1 GiB FAT32 volume with 4 KiB
// clusters, so scattered allocations rarely evict a window they changed.
constexpr int kFatCacheWindows = 128;
// How many of the latest FAT entry changes the record remembers, so that
// what was learnt about a chain (a folder's cluster list) can be checked
// against the changes since instead of walking the chain again.
constexpr std::uint32_t kFatChangeLogSize = 512;

struct FatCacheNode {
    std::uint8_t data[kFatWindowSectors * kSectorSize];
    std::uint32_t tag;     // absolute sector the window starts at, kFatNoSector for none
    std::uint32_t loaded;  // 1 once data holds the whole window
    std::uint32_t dirty;   // one bit per sector changed since it was written
    FatCacheNode* next;
};

struct FatVolume {
    std::uint8_t sectors_per_cluster;
    std::uint32_t first_data_sector;  // absolute: first sector after the FATs
    std::uint32_t root_cluster;       // FAT32 root directory cluster; 0 on FAT16
    std::uint32_t root_dir_offset;    // reserved + FATs x FAT size, from the volume start
    std::uint32_t root_dir_sectors;
    std::uint32_t fat_start;  // absolute sector of the FAT the engine reads
    std::uint16_t fsinfo_sector;
    std::uint32_t volume_start;
    std::uint32_t fat_size;
    std::int32_t fsinfo_state;  // 0 after a mount, -1 once FSInfo was invalidated
    std::uint16_t root_entry_count;
    std::uint32_t is_fat32;
    fat::BlockDevice* device;  // not owned; null before the first mount
    void (*enter_hook)();
    void (*leave_hook)();
    std::uint8_t sector_buffer[kSectorSize];
    std::uint32_t sector_buffer_tag;
    FatCacheNode* cache_list;
    FatCacheNode cache_nodes[kFatCacheWindows];
    // 0 only while no cached FAT sector may differ from the medium: a flush
    // that finds nothing to write then costs no walk of the cache.
    std::uint32_t fat_cache_dirty;

    // Beyond the classic record: what the bounds checks and the FAT copies need.
    std::uint16_t reserved_sectors;
    std::uint8_t fat_count;
    std::uint32_t total_sectors;
    std::uint32_t cluster_count;       // data clusters: valid ones are 2 .. cluster_count + 1
    std::uint32_t first_fat_sector;    // absolute sector of FAT copy 0
    std::uint8_t mirrored_fats;        // 1: every FAT copy carries each change
    std::uint32_t lowest_free_hint;    // no free cluster lies in [2, hint)
    std::uint32_t damage_count;        // damage noticed on disk since the mount
    // Goes up with every change the engine makes to the FAT or to a
    // directory, and at every mount: what was learnt from a scan holds
    // while it stays the same.
    std::uint64_t change_count;
    // The clusters whose FAT entries changed, the latest kFatChangeLogSize
    // of them: change number n (counted from 0 since the record was made)
    // changed fat_change_log[n % kFatChangeLogSize].
    std::uint64_t fat_change_seq;
    std::uint32_t fat_change_log[kFatChangeLogSize];
    // Locks, caches and pools of this volume (see volume_state.h); set by
    // whoever owns the record (fat::Volume), never by a mount.
    FatVolumeState* state;
};

// Mount codes.
constexpr int kFatMountOk = 0;
constexpr int kFatMountReadFailed = -1;
constexpr int kFatMountBadSectorSize = -2;
constexpr int kFatMountNoSignature = -3;
constexpr int kFatMountBadGeometry = -4;  // FAT12 or a geometry that cannot hold together
constexpr int kFatMountNoClusterSize = -5;

// The record of the default volume, the one the classic functions without
// a volume argument work on (fat::DefaultVolume()).
FatVolume& FatTheVolume();
// Set by the first successful mount of the default volume, never cleared.
bool FatIsMounted();

// Mounts through the device already in the record.
int FatMountVolume(FatVolume& volume);
// Mounts the record on a device: the code of FatMountVolume. A failure
// reports the FAT_FS line through the volume's diagnostics and leaves the
// volume unusable until a mount succeeds.
int FatMountOn(FatVolume& volume, fat::BlockDevice& device);
// Mounts the default volume over explicit callbacks (tests).
int FatMountWith(MediaReadFn read, MediaWriteFn write);
// Whether the last mount of this record succeeded.
bool FatVolumeUsable(const FatVolume& volume);
// Forgets the cached FAT sectors, directory sectors and what was learnt from
// them, so that the next look goes to the medium (a mount, a failed batch).
void FatForgetCachedStructures(FatVolume& volume);
// Before the record lets go of its device (a mount, an unmount): writes back
// what an open batch of writes holds and ends it; a failure is reported
// through the volume's diagnostics, and what could not be written is dropped.
void FatEndBatchOnDevice(FatVolume& volume);

// Media transfers of the engine: false on failure, which the running
// operation remembers as the reason it failed.
bool FatMediaRead(FatVolume& volume, std::uint32_t sector, std::uint8_t* buffer, std::uint32_t count);
bool FatMediaWrite(FatVolume& volume, std::uint32_t sector, const std::uint8_t* buffer, std::uint32_t count);
// The write itself, for the batch's joined data (write_batch.h), which the
// others write out first.
bool FatMediaWriteNow(FatVolume& volume, std::uint32_t sector, const std::uint8_t* buffer, std::uint32_t count);
// Whether the device takes writes; operations that write refuse otherwise.
bool FatCanWrite(FatVolume& volume);
// False (noting why) when the volume is not mounted, or its last mount
// failed, or when the path is null.
bool FatRequireMounted(FatVolume& volume);
bool FatRequirePath(FatVolume& volume, const char* path);
// Gives the reason the running operation fails (the first one given counts).
void FatNoteFailure(FatVolume& volume, fat::Result reason);

// First absolute sector of data cluster (>= 2); the FAT16 root is cluster 0.
std::uint32_t FatClusterToSector(const FatVolume& volume, std::uint32_t cluster);
// Whether a cluster number names a data cluster of this volume.
bool FatIsDataCluster(const FatVolume& volume, std::uint32_t cluster);

// The one reporting path for damage found on disk (as opposed to failed I/O
// or our own invariants): prints one diagnostic line and counts it.
void FatReportDamage(FatVolume& volume, const char* what, std::uint32_t value);

// Hooks around the public file and directory operations, and the file pool
// initialisation every public operation performs first.
void FatEnter(FatVolume& volume);
void FatLeave(FatVolume& volume);

// Brackets a public operation: holds the volume's lock (so each public call
// is whole when made from several threads) and runs the enter and leave
// steps around it.
class FatOperationScope {
public:
    explicit FatOperationScope(FatVolume& volume);
    ~FatOperationScope();
    FatOperationScope(const FatOperationScope&) = delete;
    FatOperationScope& operator=(const FatOperationScope&) = delete;

private:
    FatVolume& volume_;
    std::unique_lock<std::recursive_mutex> lock_;
};
