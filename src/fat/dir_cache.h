// Directory sectors kept across operations, so that the scans every create,
// open and lookup makes of the same directory are served from memory.
//
// The cache only ever holds what the medium holds: the engine's directory
// writes store their sector here once the write succeeded, and every other
// engine write over a cached sector (file data, zeroed clusters, a failed
// write) drops it first. A mount empties it; a caller that writes the medium
// behind the engine's back must mount again, as for the FAT cache.
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
// Keeps `count` sectors from first_sector on, exactly as the medium now holds them.
void FatDirCacheStore(const FatVolume& volume, std::uint32_t first_sector, const std::uint8_t* data,
                      std::uint32_t count);
// Forgets any cached sector in [first_sector, first_sector + count).
void FatDirCacheDrop(const FatVolume& volume, std::uint32_t first_sector, std::uint32_t count);
