#include "fat/fat_table.h"

#include <algorithm>
#include <cstring>

#include "fat/boot_sector.h"
#include "fat/write_batch.h"

using namespace fatlayout;

namespace {

constexpr std::uint32_t kFat16EndOfChainMin = 0xFFF8;
constexpr std::uint32_t kFat32EndOfChainMin = 0x0FFFFFF8;
constexpr std::uint32_t kFat32EntryMask = 0x0FFFFFFF;

std::uint32_t EntriesPerSector(const FatVolume& volume) { return volume.is_fat32 ? 128 : 256; }

std::uint32_t EntrySector(const FatVolume& volume, std::uint32_t cluster) {
    return volume.fat_start + cluster / EntriesPerSector(volume);
}

bool InActiveFat(const FatVolume& volume, std::uint32_t sector) {
    return sector >= volume.fat_start && sector - volume.fat_start < volume.fat_size;
}

std::uint32_t WindowStart(const FatVolume& volume, std::uint32_t sector) {
    return sector - (sector - volume.fat_start) % kFatWindowSectors;
}

// The last window of the FAT may be cut short by its end.
std::uint32_t WindowLength(const FatVolume& volume, std::uint32_t first) {
    return std::min(kFatWindowSectors, volume.fat_start + volume.fat_size - first);
}

std::uint32_t SectorBit(std::uint32_t index) { return 1u << index; }

// Gathers neighbouring sectors into one transfer per FAT copy; each FAT
// sector goes to every copy the boot sector announces, so the copies never
// disagree; with FAT32 mirroring off only the active copy is written. A run
// within one window goes straight from the window; only a run across
// windows is gathered into a buffer of its own.
class FatRunWriter {
public:
    FatRunWriter(FatVolume& volume, std::size_t most_sectors) : volume_(volume), most_sectors_(most_sectors) {}

    bool Add(std::uint32_t sector, const std::uint8_t* data) {
        if (count_ != 0 && sector != first_ + count_ && !Write()) return false;
        if (count_ == 0) {
            first_ = sector;
            start_ = data;
        } else if (!gathered_ && data != start_ + std::size_t{count_} * kSectorSize) {
            Gather();
        }
        if (gathered_) bytes_.insert(bytes_.end(), data, data + kSectorSize);
        ++count_;
        return true;
    }

    bool Write() {
        if (count_ == 0) return true;
        const std::uint8_t* from = gathered_ ? bytes_.data() : start_;
        const std::uint32_t copies = volume_.mirrored_fats ? volume_.fat_count : 1;
        const std::uint32_t first_copy = volume_.mirrored_fats ? volume_.first_fat_sector : volume_.fat_start;
        const std::uint32_t offset = first_ - volume_.fat_start;
        for (std::uint32_t copy = 0; copy < copies; ++copy)
            if (!FatMediaWrite(volume_, first_copy + copy * volume_.fat_size + offset, from, count_)) return false;
        bytes_.clear();
        gathered_ = false;
        count_ = 0;
        return true;
    }

private:
    void Gather() {
        if (bytes_.capacity() == 0) bytes_.reserve(most_sectors_ * kSectorSize);
        bytes_.assign(start_, start_ + std::size_t{count_} * kSectorSize);
        gathered_ = true;
    }

    FatVolume& volume_;
    std::size_t most_sectors_;
    std::vector<std::uint8_t> bytes_;
    const std::uint8_t* start_ = nullptr;
    bool gathered_ = false;
    std::uint32_t first_ = 0;
    std::uint32_t count_ = 0;
};

bool Adjacent(const FatCacheNode* before, const FatCacheNode* after) {
    return before && after && after->tag == before->tag + kFatWindowSectors;
}

// The sectors of a dirty window that go out: its dirty ones and the ones
// between them, stretched to the window's edge towards a dirty neighbour so
// that neighbouring windows go out as one run. A window is loaded whole
// before anything in it changes, and a clean sector holds what the medium
// holds, so writing it again changes nothing.
bool AddWindow(FatRunWriter& writer, const FatCacheNode* node, const FatCacheNode* previous,
               const FatCacheNode* following, std::uint32_t length) {
    std::uint32_t low = 0;
    while (!(node->dirty & SectorBit(low))) ++low;
    std::uint32_t high = length - 1;
    while (!(node->dirty & SectorBit(high))) --high;
    if (Adjacent(previous, node)) low = 0;
    if (Adjacent(node, following)) high = length - 1;
    for (std::uint32_t i = low; i <= high; ++i)
        if (!writer.Add(node->tag + i, node->data + i * kSectorSize)) return false;
    return true;
}

// Every dirty FAT sector goes out, in runs of neighbours.
bool WriteDirtyWindows(FatVolume& volume) {
    FatCacheNode* dirty[kFatCacheWindows];
    std::size_t count = 0;
    for (FatCacheNode* node = volume.cache_list; node; node = node->next)
        if (node->dirty) dirty[count++] = node;
    // A read-only device keeps nothing: the change only ever lived here.
    if (count != 0 && volume.device && volume.device->Writable()) {
        std::sort(dirty, dirty + count, [](const FatCacheNode* a, const FatCacheNode* b) { return a->tag < b->tag; });
        FatRunWriter writer(volume, count * kFatWindowSectors);
        for (std::size_t i = 0; i < count; ++i) {
            if (!InActiveFat(volume, dirty[i]->tag)) return false;
            const FatCacheNode* previous = i > 0 ? dirty[i - 1] : nullptr;
            const FatCacheNode* following = i + 1 < count ? dirty[i + 1] : nullptr;
            if (!AddWindow(writer, dirty[i], previous, following, WindowLength(volume, dirty[i]->tag))) return false;
        }
        if (!writer.Write()) return false;
    }
    for (std::size_t i = 0; i < count; ++i) dirty[i]->dirty = 0;
    volume.fat_cache_dirty = 0;
    return true;
}

// The window holding a FAT sector, most recently used first; a miss takes
// over the least recently used one, writing out what is dirty first.
FatCacheNode* FindWindow(FatVolume& volume, std::uint32_t first) {
    FatCacheNode* previous = nullptr;
    FatCacheNode* node = volume.cache_list;
    while (node->next && node->tag != first) {
        previous = node;
        node = node->next;
    }
    if (previous) {
        previous->next = node->next;
        node->next = volume.cache_list;
        volume.cache_list = node;
    }
    if (node->tag == first) return node;
    if (node->dirty && !WriteDirtyWindows(volume)) return nullptr;
    node->tag = first;
    node->loaded = 0;
    node->dirty = 0;
    return node;
}

// A window is read whole, in one transfer.
bool LoadWindow(FatVolume& volume, FatCacheNode* node) {
    if (node->loaded) return true;
    if (!FatMediaRead(volume, node->tag, node->data, WindowLength(volume, node->tag))) return false;
    node->loaded = 1;
    return true;
}

// The cached bytes of an active FAT sector, or null when the read or a
// needed write-back fails.
std::uint8_t* CachedSector(FatVolume& volume, std::uint32_t sector, FatCacheNode** window) {
    if (!InActiveFat(volume, sector)) return nullptr;
    FatCacheNode* node = FindWindow(volume, WindowStart(volume, sector));
    if (!node) return nullptr;
    if (!LoadWindow(volume, node)) return nullptr;
    *window = node;
    return node->data + (sector - node->tag) * kSectorSize;
}

std::uint8_t* EntryBytes(const FatVolume& volume, std::uint8_t* sector, std::uint32_t cluster) {
    const std::uint32_t index = cluster % EntriesPerSector(volume);
    return sector + index * (volume.is_fat32 ? 4 : 2);
}

// Reads the raw entry of a data cluster; false when its FAT sector cannot be loaded.
bool ReadRawEntry(FatVolume& volume, std::uint32_t cluster, std::uint32_t* value) {
    FatCacheNode* window;
    std::uint8_t* sector = CachedSector(volume, EntrySector(volume, cluster), &window);
    if (!sector) return false;
    const std::uint8_t* bytes = EntryBytes(volume, sector, cluster);
    *value = volume.is_fat32 ? (FatLoad32(bytes) & kFat32EntryMask) : FatLoad16(bytes);
    return true;
}

bool IsEndOfChainValue(const FatVolume& volume, std::uint32_t value) {
    return value >= (volume.is_fat32 ? kFat32EndOfChainMin : kFat16EndOfChainMin);
}

std::uint32_t AllocationStart(const FatVolume& volume) { return volume.root_cluster; }

// Taking a free cluster or making a chain longer adds; freeing a cluster
// or cutting a chain takes away. An entry that cannot be read counts as
// taking away: the batch then writes through.
bool ChangeOnlyAdds(FatVolume& volume, std::uint32_t cluster, std::uint32_t value) {
    std::uint32_t old_value;
    if (!ReadRawEntry(volume, cluster, &old_value)) return false;
    if (old_value == kFatFree) return true;
    if (IsEndOfChainValue(volume, old_value)) return value != kFatFree;
    return value == old_value;
}

}  // namespace

void FatResetCache(FatVolume& volume) {
    for (int i = 0; i < kFatCacheWindows; ++i) {
        FatCacheNode& node = volume.cache_nodes[i];
        node.tag = kFatNoSector;
        node.loaded = 0;
        node.dirty = 0;
        node.next = i + 1 < kFatCacheWindows ? &volume.cache_nodes[i + 1] : nullptr;
    }
    volume.cache_list = &volume.cache_nodes[0];
    volume.fat_cache_dirty = 0;
    ++volume.change_count;
}

int FatFlushCache(FatVolume& volume) {
    if (FatBatchHolds(volume)) return 1;
    return FatWriteFatNow(volume) ? 1 : 0;
}

bool FatWriteFatNow(FatVolume& volume) { return !volume.fat_cache_dirty || WriteDirtyWindows(volume); }

std::uint32_t FatNextCluster(FatVolume& volume, std::uint32_t cluster) {
    if (cluster == 0) cluster = 2;
    if (!FatIsDataCluster(volume, cluster)) {
        FatReportDamage(volume, "cluster number outside the volume", cluster);
        return kFatEndOfChain;
    }
    std::uint32_t value;
    if (!ReadRawEntry(volume, cluster, &value)) return kFatChainUnreadable;
    if (value == kFatFree) return kFatFree;
    if (IsEndOfChainValue(volume, value)) return kFatEndOfChain;
    if (!FatIsDataCluster(volume, value)) {
        FatReportDamage(volume, "cluster chain leaves the volume", value);
        return kFatEndOfChain;
    }
    return value;
}

int FatSetClusterEntry(FatVolume& volume, std::uint32_t cluster, std::uint32_t value) {
    if (!FatIsDataCluster(volume, cluster)) return 0;
    if (FatBatchHolds(volume) && !ChangeOnlyAdds(volume, cluster, value)) {
        if (!FatBatchWriteThrough(volume)) return 0;
    }
    // Frees change the free count as much as allocations do: whatever
    // changes the FAT makes the FSInfo numbers unknown first.
    if (!FatInvalidateFsInfo(volume)) return 0;
    FatCacheNode* window;
    const std::uint32_t sector = EntrySector(volume, cluster);
    std::uint8_t* cached = CachedSector(volume, sector, &window);
    if (!cached) return 0;
    ++volume.change_count;
    volume.fat_change_log[volume.fat_change_seq++ % kFatChangeLogSize] = cluster;
    std::uint8_t* bytes = EntryBytes(volume, cached, cluster);
    if (volume.is_fat32) {
        FatStore32(bytes, value);
    } else {
        FatStore16(bytes, static_cast<std::uint16_t>(value));
    }
    window->dirty |= SectorBit(sector - window->tag);
    volume.fat_cache_dirty = 1;
    if (value == kFatFree && cluster < volume.lowest_free_hint) volume.lowest_free_hint = cluster;
    return 1;
}

// First fit from start. The hint only skips clusters known to be in use, so
// the order is the same as a scan from the start of the FAT, without its cost.
int FatFindFreeCluster(FatVolume& volume, std::uint32_t start, std::uint32_t* cluster) {
    if (start < 2) start = 2;
    const bool from_hint = start <= volume.lowest_free_hint;
    if (from_hint) start = volume.lowest_free_hint;
    const std::uint32_t end = volume.cluster_count + 2;
    for (std::uint32_t candidate = start; candidate < end; ++candidate) {
        std::uint32_t value;
        if (!ReadRawEntry(volume, candidate, &value)) return 0;
        if (value == kFatFree) {
            if (from_hint) volume.lowest_free_hint = candidate;
            *cluster = candidate;
            return 1;
        }
    }
    if (from_hint) volume.lowest_free_hint = end;
    FatNoteFailure(volume, fat::Result::NoSpace);
    return 0;
}

int FatAllocateCluster(FatVolume& volume, std::uint32_t* cluster) {
    std::uint32_t found;
    if (!FatFindFreeCluster(volume, AllocationStart(volume), &found)) return 0;
    if (!FatSetClusterEntry(volume, found, kFatEndOfChain)) return 0;
    *cluster = found;
    return 1;
}

int FatExtendChain(FatVolume& volume, std::uint32_t* cluster, std::uint32_t count) {
    std::uint32_t last = *cluster;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t found;
        if (!FatFindFreeCluster(volume, AllocationStart(volume), &found)) return 0;
        if (!FatSetClusterEntry(volume, found, kFatEndOfChain)) return 0;
        if (!FatSetClusterEntry(volume, last, found)) return 0;
        if (i == 0) *cluster = found;
        last = found;
    }
    return 1;
}

int FatAppendCluster(FatVolume& volume, std::uint32_t chain_start, std::uint32_t new_cluster) {
    if (!FatIsDataCluster(volume, chain_start) || !FatIsDataCluster(volume, new_cluster)) return 0;
    std::uint32_t current = chain_start;
    for (std::uint32_t steps = 0; steps <= volume.cluster_count; ++steps) {
        const std::uint32_t next = FatNextCluster(volume, current);
        if (next == kFatFree || next == kFatChainUnreadable) return 0;
        if (next == kFatEndOfChain) {
            return FatSetClusterEntry(volume, new_cluster, kFatEndOfChain) &&
                   FatSetClusterEntry(volume, current, new_cluster);
        }
        current = next;
    }
    FatReportDamage(volume, "cluster chain loops", chain_start);
    return 0;
}

int FatFreeChain(FatVolume& volume, std::uint32_t start) {
    std::uint32_t current = start;
    for (std::uint32_t steps = 0; steps <= volume.cluster_count; ++steps) {
        if (current == kFatEndOfChain || current == kFatFree) return 1;
        if (current == kFatChainUnreadable) return 0;
        if (!FatIsDataCluster(volume, current)) return 1;
        const std::uint32_t next = FatNextCluster(volume, current);
        if (!FatSetClusterEntry(volume, current, kFatFree)) return 0;
        current = next;
    }
    return 1;
}

// The free count and the next-free hint are both marked unknown: keeping the
// count would need it right after every change, and a stale count is damage.
// Until that reached the medium the FAT is not changed: false then.
bool FatInvalidateFsInfo(FatVolume& volume) {
    if (!volume.is_fat32 || volume.fsinfo_state == -1) return true;
    const bool inside_reserved =
        volume.fsinfo_sector != 0 && volume.fsinfo_sector < volume.reserved_sectors;
    std::uint8_t sector[kSectorSize];
    const std::uint32_t where = volume.volume_start + volume.fsinfo_sector;
    if (inside_reserved) {
        if (!FatMediaRead(volume, where, sector, 1)) return false;
        // Only a real FSInfo sector is touched; anything else there is left alone.
        if (FatLoad32(sector + kFsInfoLead) == kFsInfoLeadSignature && volume.device->Writable()) {
            FatStore32(sector + kFsInfoFreeCount, kFsInfoUnknown);
            FatStore32(sector + kFsInfoNextFree, kFsInfoUnknown);
            if (!FatMediaWrite(volume, where, sector, 1)) return false;
        }
    }
    volume.fsinfo_state = -1;
    return true;
}

int FatCountFreeClusters(FatVolume& volume, std::uint32_t* free_clusters) {
    std::uint32_t count = 0;
    const std::uint32_t end = volume.cluster_count + 2;
    for (std::uint32_t cluster = 2; cluster < end; ++cluster) {
        std::uint32_t value;
        if (!ReadRawEntry(volume, cluster, &value)) return 0;
        if (value == kFatFree) ++count;
    }
    *free_clusters = count;
    return 1;
}

bool FatChainChangedSince(const FatVolume& volume, std::uint64_t since, const std::vector<std::uint32_t>& sorted) {
    if (volume.fat_change_seq - since > kFatChangeLogSize) return true;  // the log no longer reaches back
    for (std::uint64_t n = since; n < volume.fat_change_seq; ++n)
        if (std::binary_search(sorted.begin(), sorted.end(), volume.fat_change_log[n % kFatChangeLogSize]))
            return true;
    return false;
}
