#include "fat/dir_cache.h"

#include <cstring>

namespace {

// Twice as many buckets as sectors keeps the chains short.
constexpr std::uint32_t kBucketBits = 11;
constexpr std::uint32_t kBucketCount = 1u << kBucketBits;
static_assert(kBucketCount >= 2 * kFatDirCacheSectors, "too few buckets");
constexpr std::int32_t kNone = -1;

struct Cache {
    std::uint8_t data[kFatDirCacheSectors][kSectorSize];
    std::uint32_t tag[kFatDirCacheSectors];         // absolute sector, kFatNoSector when unused
    std::int32_t next_in_bucket[kFatDirCacheSectors];
    std::int32_t bucket[kBucketCount];
    std::int32_t free_nodes[kFatDirCacheSectors];  // a stack of unused nodes
    std::uint32_t free_count = 0;
    std::uint32_t victim_state = 1;
    // What the cached sectors belong to; a different record or medium misses.
    const FatVolume* owner = nullptr;
    MediaReadFn owner_read = nullptr;
    bool ready = false;
};
Cache g_cache;

std::uint32_t BucketOf(std::uint32_t sector) { return (sector * 2654435761u) >> (32 - kBucketBits); }

bool Owns(const FatVolume& volume) {
    return g_cache.ready && g_cache.owner == &volume && g_cache.owner_read == volume.read;
}

std::int32_t* LinkTo(std::uint32_t sector) {
    std::int32_t* link = &g_cache.bucket[BucketOf(sector)];
    while (*link != kNone && g_cache.tag[*link] != sector) link = &g_cache.next_in_bucket[*link];
    return link;
}

void Release(std::int32_t* link) {
    const std::int32_t node = *link;
    *link = g_cache.next_in_bucket[node];
    g_cache.tag[node] = kFatNoSector;
    g_cache.free_nodes[g_cache.free_count++] = node;
}

void DropOne(std::uint32_t sector) {
    std::int32_t* link = LinkTo(sector);
    if (*link != kNone) Release(link);
}

// A full cache gives up a random node: a directory larger than the cache
// then still hits in part on every pass, where the oldest-first order
// would evict each sector just before the next pass needs it.
std::int32_t TakeNode() {
    if (g_cache.free_count == 0) {
        std::uint32_t x = g_cache.victim_state;
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        g_cache.victim_state = x;
        DropOne(g_cache.tag[x % kFatDirCacheSectors]);
    }
    return g_cache.free_nodes[--g_cache.free_count];
}

void StoreOne(std::uint32_t sector, const std::uint8_t* data) {
    std::int32_t* link = LinkTo(sector);
    std::int32_t node = *link;
    if (node == kNone) {
        node = TakeNode();
        // Taking a node may have unlinked one from this very chain.
        link = LinkTo(sector);
        g_cache.tag[node] = sector;
        g_cache.next_in_bucket[node] = kNone;
        *link = node;
    }
    std::memcpy(g_cache.data[node], data, kSectorSize);
}

}  // namespace

void FatDirCacheReset() {
    for (std::int32_t& head : g_cache.bucket) head = kNone;
    for (std::uint32_t i = 0; i < kFatDirCacheSectors; ++i) {
        g_cache.tag[i] = kFatNoSector;
        g_cache.free_nodes[i] = static_cast<std::int32_t>(kFatDirCacheSectors - 1 - i);
    }
    g_cache.free_count = kFatDirCacheSectors;
    g_cache.owner = nullptr;
    g_cache.owner_read = nullptr;
    g_cache.ready = true;
}

const std::uint8_t* FatDirCacheFind(const FatVolume& volume, std::uint32_t sector) {
    if (!Owns(volume) || sector == kFatNoSector) return nullptr;
    const std::int32_t node = *LinkTo(sector);
    return node == kNone ? nullptr : g_cache.data[node];
}

void FatDirCacheStore(const FatVolume& volume, std::uint32_t first_sector, const std::uint8_t* data,
                      std::uint32_t count) {
    if (!Owns(volume)) {
        FatDirCacheReset();
        g_cache.owner = &volume;
        g_cache.owner_read = volume.read;
    }
    for (std::uint32_t i = 0; i < count && first_sector + i != kFatNoSector; ++i)
        StoreOne(first_sector + i, data + i * kSectorSize);
}

void FatDirCacheDrop(std::uint32_t first_sector, std::uint32_t count) {
    if (!g_cache.ready || g_cache.free_count == kFatDirCacheSectors || count == 0) return;
    if (count <= kFatDirCacheSectors) {
        for (std::uint32_t i = 0; i < count; ++i) DropOne(first_sector + i);
        return;
    }
    // A long range: cheaper to look at every cached sector once.
    for (std::uint32_t node = 0; node < kFatDirCacheSectors; ++node) {
        const std::uint32_t sector = g_cache.tag[node];
        if (sector != kFatNoSector && sector - first_sector < count) DropOne(sector);
    }
}
