// The engine as an object: a mounted volume that owns its record, caches,
// name index and open-file pool, reached through one block device. Each
// public call takes the volume's lock, so the explorer may browse while a
// worker copies. Several volumes may be mounted at once.
//
// The classic functions without a volume argument (FatOpenFile, ...) work
// on DefaultVolume().
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "fat/block_device.h"
#include "fat/diagnostics.h"
#include "fat/file.h"
#include "fat/listing.h"
#include "fat/result.h"
#include "fat/volume.h"

struct FatVolumeState;

namespace fat {

enum class MountError {
    None,
    ReadFailed,     // the device could not be read
    BadSectorSize,  // the boot sector does not describe 512-byte sectors
    NoSignature,    // no boot signature: no FAT volume there
    BadGeometry,    // numbers that cannot describe a volume (FAT12 included)
    NoClusterSize,  // a cluster size of 0
};
MountError MountErrorOf(int mount_code);
int MountCodeOf(MountError error);
const char* MountErrorText(MountError error);

struct VolumeInfo {
    bool fat32;
    std::uint32_t volume_start;  // sectors from the device's first
    std::uint32_t sectors_per_cluster;
    std::uint32_t reserved_sectors;
    std::uint32_t fat_count;
    std::uint32_t fat_size;
    std::uint32_t root_entry_count;
    std::uint32_t root_cluster;
    std::uint32_t cluster_count;
    std::uint32_t total_sectors;
};

class Volume {
public:
    Volume();
    ~Volume();
    Volume(const Volume&) = delete;
    Volume& operator=(const Volume&) = delete;

    // Mounts (or mounts again) on a device the caller keeps alive while
    // the volume uses it, with the volume's lines going to `diagnostics`
    // (by default to the console). Open files of an earlier mount are
    // dropped.
    MountError Mount(BlockDevice& device, Diagnostics& diagnostics);
    MountError Mount(BlockDevice& device);
    // The same on a device the volume keeps.
    MountError Mount(std::unique_ptr<BlockDevice> device);
    // Drops open files and lets go of the device. Nothing is written but
    // what an open batch still holds (every public call outside a batch has
    // already put its changes on the medium).
    void Unmount();
    // Whether the last mount succeeded.
    bool IsMounted();
    // Where the volume's own lines go from now on.
    void SetDiagnostics(Diagnostics& diagnostics);

    Result Info(VolumeInfo* info);
    Result CountFreeClusters(std::uint32_t* free_clusters);

    Result List(const std::string& path, FatEntryInfoList* entries);
    // Each entry as the pass reaches it; `visit` returns false to stop and
    // must not change the volume (it runs under the volume's lock).
    Result ForEach(const std::string& path, const FatEntryVisitor& visit);
    Result Lookup(const std::string& path, FatEntryInfo* info);
    // Modes as FatOpenFile's. A file made here gets `stamp` (null: now).
    Result Open(const std::string& path, const char* mode, FatFile** file);
    Result OpenForWriting(const std::string& path, const char* stamp, FatFile** file);
    // For reading, the file a listing record of this volume names.
    Result OpenListed(const FatEntryLocation& entry, FatFile** file);
    // *done bytes moved; reading at the end gives Ok and 0. A write that
    // stops short gives the reason (NoSpace: the volume is full).
    Result Read(FatFile* file, void* buffer, std::uint32_t length, std::uint32_t* done);
    Result Write(FatFile* file, const void* buffer, std::uint32_t length, std::uint32_t* done);
    Result Flush(FatFile* file);
    Result Close(FatFile* file);
    // Closes without keeping what was written since the open.
    void Abandon(FatFile* file);
    Result Delete(const std::string& path);
    Result MakeDirectory(const std::string& path, const char* stamp = nullptr);
    Result RemoveDirectory(const std::string& path);
    // A folder with everything below it, or a file.
    Result RemoveTree(const std::string& path);
    Result Rename(const std::string& path, const std::string& new_name);

    // A batch of writes: from BeginBatch on, what the calls add (new files
    // and folders, longer files) stays in memory and reaches the medium
    // together at EndBatch, in far fewer writes; reads see it at once.
    // Until EndBatch returns Ok nothing added since BeginBatch counts as
    // written, even where a call said Ok. A call that takes something away
    // (delete, rename, a replace) writes back what is held before it. A
    // mount, an unmount or the end of the volume end the batch too.
    void BeginBatch();
    Result EndBatch();

    // The record, for the classic wrappers and the engine's own tests;
    // whoever uses it directly holds no lock.
    FatVolume& Record() { return *record_; }

private:
    // Ok, or why the operation that just ended under the lock failed.
    Result Outcome(bool succeeded);
    // A batch still open when the device goes: written back, or reported.
    void EndBatchOnRelease();

    std::unique_ptr<FatVolumeState> state_;
    static FatVolume* NewRecord();
    struct RecordFree {
        void operator()(FatVolume* record) const;
    };
    std::unique_ptr<FatVolume, RecordFree> record_;
    std::unique_ptr<BlockDevice> owned_device_;
};

// The volume the classic functions work on.
Volume& DefaultVolume();

struct Mounted {
    std::unique_ptr<Volume> volume;  // null when the mount failed
    MountError error;
};
// A new volume mounted on `device`, which must outlive it.
Mounted Mount(BlockDevice& device, Diagnostics& diagnostics);

}  // namespace fat
