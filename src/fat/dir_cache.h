// Directory sectors kept across operations, so that the scans every create,
// open and lookup makes of the same directory are served from memory.
//
// A clean sector holds what the medium holds: the engine's directory writes
// store their sector here once the write succeeded, and every other engine
// write over a cached sector (file data, zeroed clusters, a failed write)
// drops it first. Inside a batch of writes a sector may also be pending:
// newer than the medium, kept until the batch writes it back, never given
// up to make room and never replaced by what a read brings. A mount empties
// the cache (the batch is written back before); a caller that writes the
// medium behind the engine's back must mount again, as for the FAT cache.
#pragma once

#include <cstdint>

#include "fat/volume.h"

// Storage of each volume (512 KiB, made on first use): a directory of 16,000 slots, 8,000 files with
// one long-name part each, fits whole.
constexpr std::uint32_t kFatDirCacheSectors = 1024;

// Forgets every sector (a mount).
void FatDirCacheReset(FatVolume& volume);
// The cached copy of an absolute sector of this volume, or null.
const std::uint8_t* FatDirCacheFind(const FatVolume& volume, std::uint32_t sector);
// At most this many sectors are pending at once: the rest stays free for
// the scans that run meanwhile.
constexpr std::uint32_t kFatDirCachePendingLimit = kFatDirCacheSectors / 2;

// Keeps `count` sectors from first_sector on, exactly as the medium now
// holds them (just read or just written): a pending sector among them stays
// as it is when they were read, and is clean when they were written.
enum class FatDirCacheSource { kRead, kWritten };
void FatDirCacheStore(const FatVolume& volume, std::uint32_t first_sector, const std::uint8_t* data,
                      std::uint32_t count, FatDirCacheSource source);
// Keeps one sector that the medium does not hold yet. `order` places it
// among the pending sectors: they go out from the highest order down.
void FatDirCacheStorePending(const FatVolume& volume, std::uint32_t sector, const std::uint8_t* data,
                             std::uint64_t order);
std::uint32_t FatDirCachePendingCount(const FatVolume& volume);
// Writes every pending sector, one transfer each, from the highest order
// down. On a failed write every sector still pending is forgotten (the
// medium may hold either content now): false then.
bool FatDirCacheWritePending(FatVolume& volume);
// Forgets every pending sector without writing it.
void FatDirCacheForgetPending(const FatVolume& volume);
// Forgets any cached sector in [first_sector, first_sector + count).
void FatDirCacheDrop(const FatVolume& volume, std::uint32_t first_sector, std::uint32_t count);
