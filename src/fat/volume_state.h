// What a mounted volume keeps beside its record: the lock that makes each
// public operation whole, the open-file pool, the directory cache and name
// index, scan scratch space, and what the running operation learnt about
// why it failed. Each part belongs to the module that uses it and is made
// on first use; the record points here, so that every engine function that
// is handed a volume reaches that volume's state and no other.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "fat/diagnostics.h"
#include "fat/result.h"

struct FatVolume;
struct FatFilePool;
struct FatDirCache;
struct FatDirIndex;
struct FatDirScratch;
struct FatPathMemo;

// Each module frees its own part; the layouts stay private to the module.
void FatDestroyPart(FatFilePool* part);
void FatDestroyPart(FatDirCache* part);
void FatDestroyPart(FatDirIndex* part);
void FatDestroyPart(FatDirScratch* part);
void FatDestroyPart(FatPathMemo* part);

struct FatPartDeleter {
    template <typename Part>
    void operator()(Part* part) const {
        FatDestroyPart(part);
    }
};
template <typename Part>
using FatPartPtr = std::unique_ptr<Part, FatPartDeleter>;

// Why the running operation failed, gathered where it was found out. A
// failed device transfer or damage found on the way outweigh the reason a
// caller further up gives, which usually only sees their effect.
struct FatOutcome {
    fat::Result reason = fat::Result::Ok;  // the first one given
    bool io_failed = false;
    bool damaged = false;

    fat::Result Failure() const {
        if (io_failed) return fat::Result::Io;
        if (damaged) return fat::Result::Damaged;
        return reason == fat::Result::Ok ? fat::Result::Invalid : reason;
    }
};

struct FatVolumeState {
    // Public operations call each other, so the lock may be taken again by
    // the thread that holds it.
    std::recursive_mutex mutex;
    fat::Diagnostics* diagnostics = &fat::ConsoleDiagnostics();
    int operation_depth = 0;
    // The running operation only wrote file data: its FAT changes may wait
    // for the file's flush or close, which writes them before the entry.
    bool fat_flush_waits_for_file = false;
    // A batch of writes is open (write_batch.h); the running operation has
    // taken something away, and writes through until it ends.
    bool batch_open = false;
    bool batch_writes_through = false;
    // Data a batch holds back to write with its neighbours: held_count
    // sectors from held_first on, which up to held_slack sectors past the
    // end of a file may follow.
    std::vector<std::uint8_t> held_data;
    std::uint32_t held_first = 0;
    std::uint32_t held_count = 0;
    std::uint32_t held_slack = 0;
    bool ever_mounted = false;  // a mount succeeded once (the classic flag)
    bool mounted = false;       // the last mount succeeded
    FatOutcome outcome;
    FatPartPtr<FatFilePool> files;
    FatPartPtr<FatDirCache> dir_cache;
    FatPartPtr<FatDirIndex> dir_index;
    FatPartPtr<FatDirScratch> dir_scratch;
    FatPartPtr<FatPathMemo> path_memo;
};
