#include "fat/write_batch.h"

#include <cstring>
#include <optional>

#include "fat/dir_cache.h"
#include "fat/fat_table.h"
#include "fat/volume_state.h"

namespace {

// Joined writes reach this size at most (the memory a batch may take for
// them); a write of a quarter of it or more goes out alone, as copying it
// would cost more than the write it saves.
constexpr std::uint32_t kHeldDataSectors = 2048;
constexpr std::uint32_t kLargestHeldWrite = kHeldDataSectors / 4;

// Sectors of zeros the held data needs to reach `sector`, when a write
// there continues it past the slack of its last file at most.
std::optional<std::uint32_t> GapToHeldData(const FatVolumeState& state, std::uint32_t sector, std::uint32_t count) {
    const std::uint64_t end = std::uint64_t{state.held_first} + state.held_count;
    if (state.held_count == 0 || sector < end || sector - end > state.held_slack) return std::nullopt;
    const auto gap = static_cast<std::uint32_t>(sector - end);
    if (std::uint64_t{state.held_count} + gap + count > kHeldDataSectors) return std::nullopt;
    return gap;
}

void Hold(FatVolumeState& state, const std::uint8_t* data, std::uint32_t count, bool zeros) {
    std::uint8_t* to = state.held_data.data() + std::size_t{state.held_count} * kSectorSize;
    if (zeros) {
        std::memset(to, 0, std::size_t{count} * kSectorSize);
    } else {
        std::memcpy(to, data, std::size_t{count} * kSectorSize);
    }
    state.held_count += count;
}

void DropHeldData(FatVolumeState& state) { state.held_count = 0; }

}  // namespace

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
    if (FatBatchWriteHeldData(volume) && FatWriteFatNow(volume) && FatDirCacheWritePending(volume)) return true;
    DropHeldData(*volume.state);
    FatForgetCachedStructures(volume);
    return false;
}

bool FatBatchWriteThrough(FatVolume& volume) {
    if (!FatBatchHolds(volume)) return true;
    volume.state->batch_writes_through = true;
    return FatBatchWriteBack(volume);
}

bool FatBatchWriteData(FatVolume& volume, std::uint32_t sector, const std::uint8_t* data, std::uint32_t count,
                       std::uint32_t slack_after) {
    FatVolumeState& state = *volume.state;
    if (!FatBatchHolds(volume) || count >= kLargestHeldWrite) return FatMediaWrite(volume, sector, data, count);
    const std::optional<std::uint32_t> gap = GapToHeldData(state, sector, count);
    if (!gap) {
        if (!FatBatchWriteHeldData(volume)) return false;
        state.held_first = sector;
    }
    if (state.held_data.empty()) state.held_data.resize(std::size_t{kHeldDataSectors} * kSectorSize);
    Hold(state, nullptr, gap.value_or(0), true);
    Hold(state, data, count, false);
    state.held_slack = slack_after;
    return true;
}

bool FatBatchWriteHeldData(FatVolume& volume, std::uint32_t first_sector, std::uint32_t count) {
    FatVolumeState& state = *volume.state;
    if (state.held_count == 0) return true;
    const bool reaches = first_sector == kFatNoSector ||
                         (first_sector < state.held_first + state.held_count &&
                          std::uint64_t{first_sector} + count > state.held_first);
    if (!reaches) return true;
    const std::uint32_t held = state.held_count;
    // Taken first: the write below goes through the same path and must
    // find nothing held.
    state.held_count = 0;
    return FatMediaWriteNow(volume, state.held_first, state.held_data.data(), held);
}

std::uint64_t FatBatchDirOrder(std::uint32_t directory_start, std::uint32_t sector_index) {
    return (std::uint64_t{directory_start} << 32) | sector_index;
}
