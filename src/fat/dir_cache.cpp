#include "fat/dir_cache.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "fat/volume_state.h"

namespace {

// Twice as many buckets as sectors keeps the chains short.
constexpr std::uint32_t kBucketBits = 11;
constexpr std::uint32_t kBucketCount = 1u << kBucketBits;
static_assert(kBucketCount >= 2 * kFatDirCacheSectors, "too few buckets");
constexpr std::int32_t kNone = -1;

}  // namespace

struct FatDirCache {
    std::uint8_t data[kFatDirCacheSectors][kSectorSize];
    std::uint32_t tag[kFatDirCacheSectors];         // absolute sector, kFatNoSector when unused
    std::int32_t next_in_bucket[kFatDirCacheSectors];
    std::int32_t bucket[kBucketCount];
    std::int32_t free_nodes[kFatDirCacheSectors];  // a stack of unused nodes
    std::uint32_t free_count = 0;
    // Pending sectors: newer than the medium, with their place in the
    // write-back order.
    bool pending[kFatDirCacheSectors];
    std::uint64_t order[kFatDirCacheSectors];
    std::uint32_t pending_count = 0;
    std::uint32_t victim_state = 1;
    // Every sector stored since the last reset lies in [lowest, highest]: a
    // file's data is written far from its folders, and a write outside
    // that span is known to drop nothing without a look per sector.
    std::uint32_t lowest = kFatNoSector;
    std::uint32_t highest = 0;
};

void FatDestroyPart(FatDirCache* part) { delete part; }

namespace {

using Cache = FatDirCache;

void ResetCache(Cache& cache) {
    for (std::int32_t& head : cache.bucket) head = kNone;
    for (std::uint32_t i = 0; i < kFatDirCacheSectors; ++i) {
        cache.tag[i] = kFatNoSector;
        cache.pending[i] = false;
        cache.free_nodes[i] = static_cast<std::int32_t>(kFatDirCacheSectors - 1 - i);
    }
    cache.free_count = kFatDirCacheSectors;
    cache.pending_count = 0;
    cache.lowest = kFatNoSector;
    cache.highest = 0;
}

// Made on first use: a volume that is only mounted and looked at in
// passing never pays for the 512 KiB; the sectors are not cleared either,
// so a short run touches only the ones it stores.
Cache& CacheOf(const FatVolume& volume) {
    if (!volume.state->dir_cache) {
        volume.state->dir_cache.reset(new Cache);
        ResetCache(*volume.state->dir_cache);
    }
    return *volume.state->dir_cache;
}

std::uint32_t BucketOf(std::uint32_t sector) { return (sector * 2654435761u) >> (32 - kBucketBits); }

std::int32_t* LinkTo(Cache& cache, std::uint32_t sector) {
    std::int32_t* link = &cache.bucket[BucketOf(sector)];
    while (*link != kNone && cache.tag[*link] != sector) link = &cache.next_in_bucket[*link];
    return link;
}

void SetPending(Cache& cache, std::int32_t node, bool pending) {
    if (cache.pending[node] == pending) return;
    cache.pending[node] = pending;
    if (pending) {
        ++cache.pending_count;
    } else {
        --cache.pending_count;
    }
}

void Release(Cache& cache, std::int32_t* link) {
    const std::int32_t node = *link;
    *link = cache.next_in_bucket[node];
    cache.tag[node] = kFatNoSector;
    SetPending(cache, node, false);
    cache.free_nodes[cache.free_count++] = node;
}

void DropOne(Cache& cache, std::uint32_t sector) {
    std::int32_t* link = LinkTo(cache, sector);
    if (*link != kNone) Release(cache, link);
}

std::uint32_t NextRandom(Cache& cache) {
    std::uint32_t x = cache.victim_state;
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    cache.victim_state = x;
    return x;
}

// A full cache gives up a random clean node: a directory larger than the
// cache then still hits in part on every pass, where the oldest-first
// order would evict each sector just before the next pass needs it. At
// most half the nodes are pending, so a few draws find a clean one.
std::int32_t TakeNode(Cache& cache) {
    if (cache.free_count == 0) {
        std::uint32_t node = NextRandom(cache) % kFatDirCacheSectors;
        while (cache.pending[node]) node = NextRandom(cache) % kFatDirCacheSectors;
        DropOne(cache, cache.tag[node]);
    }
    return cache.free_nodes[--cache.free_count];
}

// The node of a sector, taken when it has none yet.
std::int32_t NodeFor(Cache& cache, std::uint32_t sector) {
    cache.lowest = std::min(cache.lowest, sector);
    cache.highest = std::max(cache.highest, sector);
    std::int32_t* link = LinkTo(cache, sector);
    std::int32_t node = *link;
    if (node == kNone) {
        node = TakeNode(cache);
        // Taking a node may have unlinked one from this very chain.
        link = LinkTo(cache, sector);
        cache.tag[node] = sector;
        cache.next_in_bucket[node] = kNone;
        *link = node;
    }
    return node;
}

void StoreOne(Cache& cache, std::uint32_t sector, const std::uint8_t* data, FatDirCacheSource source) {
    const std::int32_t node = NodeFor(cache, sector);
    if (cache.pending[node] && source == FatDirCacheSource::kRead) return;
    std::memcpy(cache.data[node], data, kSectorSize);
    SetPending(cache, node, false);
}

// The pending nodes, first to go out first.
std::vector<std::int32_t> PendingInWriteOrder(const Cache& cache) {
    std::vector<std::int32_t> nodes;
    nodes.reserve(cache.pending_count);
    for (std::uint32_t node = 0; node < kFatDirCacheSectors; ++node)
        if (cache.pending[node]) nodes.push_back(static_cast<std::int32_t>(node));
    std::sort(nodes.begin(), nodes.end(),
              [&](std::int32_t a, std::int32_t b) { return cache.order[a] > cache.order[b]; });
    return nodes;
}

}  // namespace

void FatDirCacheReset(FatVolume& volume) {
    if (volume.state->dir_cache) ResetCache(*volume.state->dir_cache);
}

const std::uint8_t* FatDirCacheFind(const FatVolume& volume, std::uint32_t sector) {
    if (!volume.state->dir_cache || sector == kFatNoSector) return nullptr;
    Cache& cache = *volume.state->dir_cache;
    const std::int32_t node = *LinkTo(cache, sector);
    return node == kNone ? nullptr : cache.data[node];
}

void FatDirCacheStore(const FatVolume& volume, std::uint32_t first_sector, const std::uint8_t* data,
                      std::uint32_t count, FatDirCacheSource source) {
    Cache& cache = CacheOf(volume);
    for (std::uint32_t i = 0; i < count && first_sector + i != kFatNoSector; ++i)
        StoreOne(cache, first_sector + i, data + i * kSectorSize, source);
}

void FatDirCacheStorePending(const FatVolume& volume, std::uint32_t sector, const std::uint8_t* data,
                             std::uint64_t order) {
    if (sector == kFatNoSector) return;
    Cache& cache = CacheOf(volume);
    const std::int32_t node = NodeFor(cache, sector);
    std::memcpy(cache.data[node], data, kSectorSize);
    cache.order[node] = order;
    SetPending(cache, node, true);
}

std::uint32_t FatDirCachePendingCount(const FatVolume& volume) {
    return volume.state->dir_cache ? volume.state->dir_cache->pending_count : 0;
}

bool FatDirCacheWritePending(FatVolume& volume) {
    if (FatDirCachePendingCount(volume) == 0) return true;
    Cache& cache = *volume.state->dir_cache;
    const std::vector<std::int32_t> nodes = PendingInWriteOrder(cache);
    for (std::int32_t node : nodes) {
        if (!FatMediaWrite(volume, cache.tag[node], cache.data[node], 1)) {
            FatDirCacheForgetPending(volume);
            return false;
        }
        SetPending(cache, node, false);
    }
    return true;
}

void FatDirCacheForgetPending(const FatVolume& volume) {
    if (FatDirCachePendingCount(volume) == 0) return;
    Cache& cache = *volume.state->dir_cache;
    for (std::uint32_t node = 0; node < kFatDirCacheSectors; ++node)
        if (cache.pending[node]) DropOne(cache, cache.tag[node]);
}

void FatDirCacheDrop(const FatVolume& volume, std::uint32_t first_sector, std::uint32_t count) {
    if (!volume.state->dir_cache) return;
    Cache& cache = *volume.state->dir_cache;
    if (cache.free_count == kFatDirCacheSectors || count == 0) return;
    if (first_sector > cache.highest || std::uint64_t{first_sector} + count <= cache.lowest) return;
    if (count <= kFatDirCacheSectors) {
        for (std::uint32_t i = 0; i < count; ++i) DropOne(cache, first_sector + i);
        return;
    }
    // A long range: cheaper to look at every cached sector once.
    for (std::uint32_t node = 0; node < kFatDirCacheSectors; ++node) {
        const std::uint32_t sector = cache.tag[node];
        if (sector != kFatNoSector && sector - first_sector < count) DropOne(cache, sector);
    }
}
