#include "fat/write_batch.h"

#include "fat/dir_cache.h"
#include "fat/fat_table.h"
#include "fat/volume_state.h"

void FatBatchBegin(FatVolume& volume) { volume.state->batch_open = true; }

bool FatBatchEnd(FatVolume& volume) {
    const bool written = FatBatchWriteBack(volume);
    volume.state->batch_open = false;
    return written;
}

bool FatBatchHolds(const FatVolume& volume) {
    return volume.state && volume.state->batch_open && !volume.state->batch_writes_through;
}

// A write-back that fails leaves the medium holding part of the batch; the
// rest is forgotten (the FAT and directory sectors it held, and what was
// learnt from them), so that nothing in memory names clusters or entries
// the medium may not hold, and the next look goes to the medium.
bool FatBatchWriteBack(FatVolume& volume) {
    if (FatWriteFatNow(volume) && FatDirCacheWritePending(volume)) return true;
    FatForgetCachedStructures(volume);
    ++volume.change_count;
    return false;
}

bool FatBatchWriteThrough(FatVolume& volume) {
    if (!FatBatchHolds(volume)) return true;
    volume.state->batch_writes_through = true;
    return FatBatchWriteBack(volume);
}

std::uint64_t FatBatchDirOrder(std::uint32_t directory_start, std::uint32_t sector_index) {
    return (std::uint64_t{directory_start} << 32) | sector_index;
}
