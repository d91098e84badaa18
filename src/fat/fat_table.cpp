#include "fat/fat_table.h"

#include <algorithm>
#include <cstring>

#include "fat/boot_sector.h"

using namespace fatlayout;

namespace {

constexpr std::uint32_t kFat16EndOfChainMin = 0xFFF8;
constexpr std::uint32_t kFat32EndOfChainMin = 0x0FFFFFF8;
constexpr std::uint32_t kFat32EntryMask = 0x0FFFFFFF;

std::uint32_t EntriesPerSector(const FatVolume& volume) { return volume.is_fat32 ? 128 : 256; }

std::uint32_t EntrySector(const FatVolume& volume, std::uint32_t cluster) {
    return volume.fat_start + cluster / EntriesPerSector(volume);
}

std::uint8_t* EntryBytes(const FatVolume& volume, FatCacheNode* node, std::uint32_t cluster) {
    const std::uint32_t index = cluster % EntriesPerSector(volume);
    return node->sector + index * (volume.is_fat32 ? 4 : 2);
}

bool InActiveFat(const FatVolume& volume, std::uint32_t sector) {
    return sector >= volume.fat_start && sector - volume.fat_start < volume.fat_size;
}

// A FAT sector goes to every copy the boot sector announces, so the copies
// never disagree; with FAT32 mirroring off only the active copy is written.
bool WriteBack(FatVolume& volume, FatCacheNode* node) {
    if (!node->dirty) return true;
    // A read-only device keeps nothing: the change only ever lived here.
    if (!volume.device || !volume.device->Writable()) {
        node->dirty = 0;
        return true;
    }
    if (!InActiveFat(volume, node->tag)) return false;
    const std::uint32_t offset = node->tag - volume.fat_start;
    const std::uint32_t copies = volume.mirrored_fats ? volume.fat_count : 1;
    const std::uint32_t first = volume.mirrored_fats ? volume.first_fat_sector : volume.fat_start;
    for (std::uint32_t copy = 0; copy < copies; ++copy) {
        if (!FatMediaWrite(volume, first + copy * volume.fat_size + offset, node->sector, 1)) return false;
    }
    node->dirty = 0;
    return true;
}

// Reads the raw entry of a data cluster; false when its FAT sector cannot be loaded.
bool ReadRawEntry(FatVolume& volume, std::uint32_t cluster, std::uint32_t* value) {
    FatCacheNode* node = FatCacheSector(volume, EntrySector(volume, cluster));
    if (!node) return false;
    const std::uint8_t* bytes = EntryBytes(volume, node, cluster);
    *value = volume.is_fat32 ? (FatLoad32(bytes) & kFat32EntryMask) : FatLoad16(bytes);
    return true;
}

bool IsEndOfChainValue(const FatVolume& volume, std::uint32_t value) {
    return value >= (volume.is_fat32 ? kFat32EndOfChainMin : kFat16EndOfChainMin);
}

std::uint32_t AllocationStart(const FatVolume& volume) { return volume.root_cluster; }

}  // namespace

void FatResetCache(FatVolume& volume) {
    for (int i = 0; i < kFatCacheNodes; ++i) {
        FatCacheNode& node = volume.cache_nodes[i];
        std::memset(node.data, 0, sizeof node.data);
        node.tag = kFatNoSector;
        node.dirty = 0;
        node.sector = node.data;
        node.next = i + 1 < kFatCacheNodes ? &volume.cache_nodes[i + 1] : nullptr;
    }
    volume.cache_list = &volume.cache_nodes[0];
    volume.fat_cache_dirty = 0;
    ++volume.change_count;
}

FatCacheNode* FatCacheSector(FatVolume& volume, std::uint32_t sector) {
    FatCacheNode* previous = nullptr;
    FatCacheNode* node = volume.cache_list;
    while (node->next && node->tag != sector) {
        previous = node;
        node = node->next;
    }
    // Most recently used first: a hit or the evicted last node moves to the front.
    if (previous) {
        previous->next = node->next;
        node->next = volume.cache_list;
        volume.cache_list = node;
    }
    if (node->tag == sector) return node;
    if (!WriteBack(volume, node)) return nullptr;
    node->tag = sector;
    if (!FatMediaRead(volume, sector, node->sector, 1)) {
        node->tag = kFatNoSector;
        return nullptr;
    }
    return node;
}

// Dirty sectors go out in runs of neighbours, one write per run and FAT
// copy: a file's allocation dirties neighbouring FAT sectors, and a run
// costs the device one transfer instead of one per sector and copy.
int FatFlushCache(FatVolume& volume) {
    if (!volume.fat_cache_dirty) return 1;
    FatCacheNode* dirty[kFatCacheNodes];
    std::size_t count = 0;
    for (FatCacheNode* node = volume.cache_list; node; node = node->next)
        if (node->dirty) dirty[count++] = node;
    if (count == 0 || !volume.device || !volume.device->Writable()) {
        for (std::size_t i = 0; i < count; ++i) WriteBack(volume, dirty[i]);
        volume.fat_cache_dirty = 0;
        return 1;
    }
    std::sort(dirty, dirty + count, [](const FatCacheNode* a, const FatCacheNode* b) { return a->tag < b->tag; });
    std::vector<std::uint8_t> run_bytes(count * kSectorSize);
    const std::uint32_t copies = volume.mirrored_fats ? volume.fat_count : 1;
    const std::uint32_t first_copy = volume.mirrored_fats ? volume.first_fat_sector : volume.fat_start;
    for (std::size_t begin = 0, end; begin < count; begin = end) {
        if (!InActiveFat(volume, dirty[begin]->tag)) return 0;
        for (end = begin + 1; end < count && dirty[end]->tag == dirty[end - 1]->tag + 1; ++end) {}
        for (std::size_t i = begin; i < end; ++i)
            std::memcpy(&run_bytes[(i - begin) * kSectorSize], dirty[i]->sector, kSectorSize);
        const std::uint32_t offset = dirty[begin]->tag - volume.fat_start;
        const auto length = static_cast<std::uint32_t>(end - begin);
        for (std::uint32_t copy = 0; copy < copies; ++copy)
            if (!FatMediaWrite(volume, first_copy + copy * volume.fat_size + offset, run_bytes.data(), length))
                return 0;
        for (std::size_t i = begin; i < end; ++i) dirty[i]->dirty = 0;
    }
    volume.fat_cache_dirty = 0;
    return 1;
}

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
    // Frees change the free count as much as allocations do: whatever
    // changes the FAT makes the FSInfo numbers unknown first.
    if (!FatInvalidateFsInfo(volume)) return 0;
    FatCacheNode* node = FatCacheSector(volume, EntrySector(volume, cluster));
    if (!node) return 0;
    ++volume.change_count;
    volume.fat_change_log[volume.fat_change_seq++ % kFatChangeLogSize] = cluster;
    std::uint8_t* bytes = EntryBytes(volume, node, cluster);
    if (volume.is_fat32) {
        FatStore32(bytes, value);
    } else {
        FatStore16(bytes, static_cast<std::uint16_t>(value));
    }
    node->dirty = 1;
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
