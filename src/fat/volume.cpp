#include "fat/volume.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "fat/boot_sector.h"
#include "fat/dir_entry.h"
#include "fat/dir_cache.h"
#include "fat/dir_index.h"
#include "fat/fat_table.h"
#include "fat/file.h"
#include "fat/volume_state.h"
#include "fat/write_batch.h"

using namespace fatlayout;

namespace {

constexpr std::uint8_t kFat32MirroringDisabled = 0x80;
constexpr std::uint8_t kFat32ActiveFatMask = 0x0F;

void ResetVolumeCaches(FatVolume& volume) {
    FatForgetCachedStructures(volume);
    volume.fsinfo_state = 0;
    volume.damage_count = 0;
}

void StoreGeometry(FatVolume& volume, const FatBootSector& boot, std::uint32_t volume_start) {
    volume.volume_start = volume_start;
    volume.sectors_per_cluster = boot.sectors_per_cluster;
    volume.reserved_sectors = boot.reserved_sectors;
    volume.fat_count = boot.fat_count;
    volume.root_entry_count = boot.root_entry_count;
    volume.fat_size = boot.fat_size;
    volume.root_cluster = boot.root_cluster;
    volume.fsinfo_sector = boot.fsinfo_sector;
    volume.root_dir_offset = boot.reserved_sectors + boot.fat_count * boot.fat_size;
    volume.fat_start = volume_start + boot.reserved_sectors;
    volume.first_fat_sector = volume.fat_start;
    volume.root_dir_sectors = (boot.root_entry_count * 32u + 511u) / 512u;
    volume.first_data_sector = volume_start + volume.root_dir_offset;
    volume.total_sectors = boot.total_sectors;
}

// A boot sector whose numbers cannot describe a volume would make the engine
// read or write outside it; such a volume is refused instead of mounted.
bool GeometryHoldsTogether(const FatVolume& volume, const FatBootSector& boot) {
    if (boot.fat_count == 0 || boot.reserved_sectors == 0 || boot.fat_size == 0) return false;
    const std::uint64_t data_start = std::uint64_t{boot.reserved_sectors} +
                                     std::uint64_t{boot.fat_count} * boot.fat_size +
                                     volume.root_dir_sectors;
    if (data_start >= boot.total_sectors) return false;
    if (std::uint64_t{volume.volume_start} + boot.total_sectors > 0x100000000ull) return false;
    if (volume.cluster_count < kFat16MinClusters) return false;
    const std::uint64_t entries_per_sector = volume.is_fat32 ? 128 : 256;
    if (std::uint64_t{boot.fat_size} * entries_per_sector < std::uint64_t{volume.cluster_count} + 2)
        return false;
    if (volume.is_fat32) return FatIsDataCluster(volume, boot.root_cluster);
    // A root that ends inside a sector is read differently by other tools
    // (one rounds its size down, another refuses it): no answer is safe.
    return boot.root_entry_count != 0 && boot.root_entry_count % kFatSlotsPerSector == 0;
}

// On FAT32 with mirroring switched off only the active FAT is read and written.
bool ChooseActiveFat(FatVolume& volume, const FatBootSector& boot) {
    volume.mirrored_fats = 1;
    if (!volume.is_fat32 || !(boot.ext_flags & kFat32MirroringDisabled)) return true;
    const std::uint32_t active = boot.ext_flags & kFat32ActiveFatMask;
    if (active >= boot.fat_count) return false;
    volume.mirrored_fats = 0;
    volume.fat_start = volume.first_fat_sector + active * boot.fat_size;
    return true;
}

}  // namespace

bool FatIsMounted() { return FatTheVolume().state->ever_mounted; }

bool FatVolumeUsable(const FatVolume& volume) { return volume.state && volume.state->mounted; }

int FatMountVolume(FatVolume& volume) {
    ResetVolumeCaches(volume);
    if (!volume.device) return kFatMountReadFailed;
    std::uint8_t* sector = volume.sector_buffer;
    if (!volume.device->Read(0, sector, 1)) return kFatMountReadFailed;
    if (!FatHasBootSignature(sector)) return kFatMountNoSignature;
    const std::uint32_t volume_start = FatPartitionStart(sector);
    if (!volume.device->Read(volume_start, sector, 1)) return kFatMountReadFailed;
    const FatBootSector boot = FatDecodeBootSector(sector);
    if (boot.bytes_per_sector != kSectorSize) return kFatMountBadSectorSize;
    StoreGeometry(volume, boot, volume_start);
    if (!FatHasBootSignature(sector)) return kFatMountNoSignature;
    if (boot.sectors_per_cluster == 0) return kFatMountNoClusterSize;

    const std::uint32_t overhead = boot.fat_count * boot.fat_size + boot.reserved_sectors +
                                   volume.root_dir_sectors;
    volume.cluster_count = (boot.total_sectors - overhead) / boot.sectors_per_cluster;
    volume.is_fat32 = volume.cluster_count >= kFat32MinClusters ? 1 : 0;
    if (!volume.is_fat32) volume.root_cluster = 0;
    if (!GeometryHoldsTogether(volume, boot)) return kFatMountBadGeometry;
    if (!ChooseActiveFat(volume, boot)) return kFatMountBadGeometry;
    volume.lowest_free_hint = 2;
    return kFatMountOk;
}

int FatMountOn(FatVolume& volume, fat::BlockDevice& device) {
    FatOperationScope scope(volume);
    FatEndBatchOnDevice(volume);
    FatResetFiles(volume);
    volume.device = &device;
    volume.state->mounted = false;
    const int code = FatMountVolume(volume);
    if (code != kFatMountOk) {
        volume.state->diagnostics->Report(
            fat::DiagnosticKind::kLog, "FAT_FS: Error could not load FAT details (" + std::to_string(code) + ")!\r\n");
        return code;
    }
    volume.state->mounted = true;
    volume.state->ever_mounted = true;
    return kFatMountOk;
}

void FatForgetCachedStructures(FatVolume& volume) {
    volume.sector_buffer_tag = kFatNoSector;
    FatResetCache(volume);
    FatDirCacheReset(volume);
    FatDirIndexReset(volume);
    FatDirMapsReset(volume);
    volume.lowest_free_hint = 2;
}

void FatEndBatchOnDevice(FatVolume& volume) {
    if (!volume.state->batch_open) return;
    if (FatVolumeUsable(volume) && !FatBatchEnd(volume))
        volume.state->diagnostics->Report(fat::DiagnosticKind::kLog,
                                          "FAT_FS: Error writing back a batch of writes before the unmount\r\n");
    volume.state->batch_open = false;
}

// Data a batch holds back goes out before anything reads or writes past it.
bool FatMediaRead(FatVolume& volume, std::uint32_t sector, std::uint8_t* buffer, std::uint32_t count) {
    if (volume.state && !FatBatchWriteHeldData(volume, sector, count)) return false;
    if (volume.device && volume.device->Read(sector, buffer, count)) return true;
    if (volume.state) volume.state->outcome.io_failed = true;
    return false;
}

bool FatMediaWrite(FatVolume& volume, std::uint32_t sector, const std::uint8_t* buffer, std::uint32_t count) {
    if (volume.state && !FatBatchWriteHeldData(volume)) return false;
    return FatMediaWriteNow(volume, sector, buffer, count);
}

bool FatMediaWriteNow(FatVolume& volume, std::uint32_t sector, const std::uint8_t* buffer, std::uint32_t count) {
    if (FatCanWrite(volume) && volume.device->Write(sector, buffer, count)) return true;
    if (volume.state) volume.state->outcome.io_failed = true;
    return false;
}

bool FatCanWrite(FatVolume& volume) {
    if (volume.device && volume.device->Writable()) return true;
    FatNoteFailure(volume, fat::Result::ReadOnly);
    return false;
}

bool FatRequireMounted(FatVolume& volume) {
    if (FatVolumeUsable(volume)) return true;
    FatNoteFailure(volume, fat::Result::NotMounted);
    return false;
}

bool FatRequirePath(FatVolume& volume, const char* path) {
    if (path) return true;
    FatNoteFailure(volume, fat::Result::Invalid);
    return false;
}

void FatNoteFailure(FatVolume& volume, fat::Result reason) {
    if (volume.state && volume.state->outcome.reason == fat::Result::Ok) volume.state->outcome.reason = reason;
}

std::uint32_t FatClusterToSector(const FatVolume& volume, std::uint32_t cluster) {
    if (cluster == 0 && !volume.is_fat32) return volume.volume_start + volume.root_dir_offset;
    // The same root size the mount counted, in whole sectors.
    std::uint32_t sector = volume.first_data_sector + (cluster - 2) * volume.sectors_per_cluster;
    if (!volume.is_fat32) sector += volume.root_dir_sectors;
    return sector;
}

bool FatIsDataCluster(const FatVolume& volume, std::uint32_t cluster) {
    return cluster >= 2 && cluster - 2 < volume.cluster_count;
}

void FatReportDamage(FatVolume& volume, const char* what, std::uint32_t value) {
    if (volume.state) volume.state->outcome.damaged = true;
    // One line a mount is enough to name the damage; later finds are counted.
    if (volume.damage_count++ == 0 && volume.state) {
        volume.state->diagnostics->Report(fat::DiagnosticKind::kDamage, std::string("FAT_FS: damaged volume: ") +
                                                                           what + " (" + std::to_string(value) + ")\n");
    }
}

void FatEnter(FatVolume& volume) {
    FatEnsureFilePool(volume);
    // Public operations call each other; the outermost one starts afresh.
    if (volume.state->operation_depth++ == 0) volume.state->outcome = FatOutcome{};
    if (volume.enter_hook) volume.enter_hook();
}

// No FAT change stays behind in the cache once a public operation returns:
// a caller that stops there (or a power cut after it) loses nothing the
// operation reported done. A write of file data reports nothing done
// until the file's flush or close, which write the FAT first: a file of
// many small writes then costs one FAT write, not one per write. Inside a
// batch of writes the batch says when (write_batch.h).
void FatLeave(FatVolume& volume) {
    FatVolumeState& state = *volume.state;
    if (--state.operation_depth == 0) {
        const bool waits = state.fat_flush_waits_for_file;
        state.fat_flush_waits_for_file = false;
        if (!waits && state.mounted && volume.device && volume.device->Writable()) FatFlushCache(volume);
        state.batch_writes_through = false;
    }
    if (volume.leave_hook) volume.leave_hook();
}

FatOperationScope::FatOperationScope(FatVolume& volume) : volume_(volume), lock_(volume.state->mutex) {
    FatEnter(volume_);
}

FatOperationScope::~FatOperationScope() { FatLeave(volume_); }
