// A batch of writes: many public operations whose changes reach the medium
// together, as one run of FAT sectors and one write per directory sector,
// instead of each operation writing its FAT sectors and entries itself.
//
// Only changes that add are held back: clusters taken from the free ones,
// chains made longer, entries put in unused slots, fields of an entry
// (size, first cluster, times) that keeps its name. They go out FAT first,
// then directory sectors from the end of each folder towards its start, so
// that a power cut part-way leaves what an operation cut short leaves
// today: lost clusters, or an entry known by its short name only.
//
// File data and the first write of a new folder's cluster land in free
// space or in a file's own clusters, where their order among themselves
// does not matter: inside a batch, writes that continue one another are
// joined into one, which goes out before any other write and before a read
// of its sectors, so the medium sees every write in the order it was made.
//
// A change that takes something away (a freed or cut chain, an entry
// deleted or renamed) first writes back everything held, and the rest of
// its operation writes through as outside a batch: a cluster is never free
// on the medium while an entry there still names it, and never named anew
// while the medium still holds it in an old chain.
#pragma once

#include <cstdint>

#include "fat/volume.h"

// Starts holding back additive changes; a batch already open goes on.
void FatBatchBegin(FatVolume& volume);
// Writes back what the batch holds and ends it: false when a write failed.
bool FatBatchEnd(FatVolume& volume);
// Whether additive changes are held back at this moment.
bool FatBatchHolds(const FatVolume& volume);
// Writes back what the batch holds (FAT, then directory sectors); the batch
// stays open. True when there was nothing to write or all of it went out.
bool FatBatchWriteBack(FatVolume& volume);
// Before a change that takes something away: writes back what is held, and
// lets the rest of the running public operation write through.
bool FatBatchWriteThrough(FatVolume& volume);
// A write of file data or of a new folder's cluster: joined to the ones
// before it when a batch holds changes back and it continues them.
// `slack_after` sectors after it lie past the end of the file in its last
// cluster: the batch may write zeros there, so that the next file, which
// starts at the next cluster, continues the write.
bool FatBatchWriteData(FatVolume& volume, std::uint32_t sector, const std::uint8_t* data, std::uint32_t count,
                       std::uint32_t slack_after = 0);
// Writes the joined data out: before any other write, and before a read
// that reaches its sectors (any read when `first_sector` is kFatNoSector).
bool FatBatchWriteHeldData(FatVolume& volume, std::uint32_t first_sector = kFatNoSector, std::uint32_t count = 0);
// Where a directory sector lies in its folder, as the order its pending
// copy goes out in.
std::uint64_t FatBatchDirOrder(std::uint32_t directory_start, std::uint32_t sector_index);
