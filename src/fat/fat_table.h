// The file allocation table: cached FAT sectors, cluster chains, allocation
// and the FAT32 FSInfo sector.
#pragma once

#include <cstdint>
#include <vector>

#include "fat/volume.h"

// The engine's own end-of-chain value; also returned for an unreadable FAT
// sector or a chain value that names no cluster of the volume.
constexpr std::uint32_t kFatEndOfChain = 0xFFFFFFFFu;
constexpr std::uint32_t kFatFree = 0;
// The FAT sector holding the entry could not be read: the chain may go on,
// so nothing may be concluded from where it seems to stop.
constexpr std::uint32_t kFatChainUnreadable = 0xFFFFFFFEu;

// Clears the cache without writing anything (a mount drops stale FAT data).
void FatResetCache(FatVolume& volume);
// 1 when every dirty FAT sector reached the medium (each FAT copy, in runs
// of neighbours), else 0. Inside a batch of writes (write_batch.h) that
// holds changes back, 1 without writing: the batch writes them later.
int FatFlushCache(FatVolume& volume);
// The same, batch or not: for an order that must hold on the medium within
// the FAT itself.
bool FatWriteFatNow(FatVolume& volume);

// Next cluster of the chain, 0 for a free entry, kFatEndOfChain, or
// kFatChainUnreadable when its FAT sector cannot be read. Cluster 0 reads as
// cluster 2.
std::uint32_t FatNextCluster(FatVolume& volume, std::uint32_t cluster);
// 1 after storing the value in the cached sector, 0 when it cannot be loaded
// or the cluster lies outside the volume.
int FatSetClusterEntry(FatVolume& volume, std::uint32_t cluster, std::uint32_t value);

// First free data cluster at or after start: 1 and the cluster, or 0.
int FatFindFreeCluster(FatVolume& volume, std::uint32_t start, std::uint32_t* cluster);
// 1 and a new cluster marked end of chain, or 0 when the volume is full.
int FatAllocateCluster(FatVolume& volume, std::uint32_t* cluster);
// Links count new clusters after *cluster; *cluster becomes the first new one.
int FatExtendChain(FatVolume& volume, std::uint32_t* cluster, std::uint32_t count);
// Links an already chosen cluster after the last cluster of a chain.
int FatAppendCluster(FatVolume& volume, std::uint32_t chain_start, std::uint32_t new_cluster);
// Sets every entry of the chain to free: 1, or 0 when part of it could not
// be read or changed (its clusters stay in use: lost, never reused twice).
int FatFreeChain(FatVolume& volume, std::uint32_t start);
// FAT32: marks the FSInfo free count and next-free hint unknown, once a
// mount: true once that is on the medium (or there is nothing to mark).
bool FatInvalidateFsInfo(FatVolume& volume);

// Free data clusters, counted from the FAT the engine reads. 1 or 0.
int FatCountFreeClusters(FatVolume& volume, std::uint32_t* free_clusters);

// Whether the FAT entry of any of these clusters (sorted ascending) changed
// since volume.fat_change_seq was `since`; true as well when that lies
// further back than the change log reaches.
bool FatChainChangedSince(const FatVolume& volume, std::uint64_t since, const std::vector<std::uint32_t>& sorted);
