#include "fat/directory.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "fat/boot_sector.h"
#include "fat/case_fold.h"
#include "fat/dir_cache.h"
#include "fat/dir_index.h"
#include "fat/fat_table.h"
#include "fat/name_match.h"
#include "fat/volume_state.h"
#include "fat/write_batch.h"

using namespace fatentry;

namespace {

constexpr std::uint32_t kMaxSectorsPerCluster = 128;
const std::uint8_t kZeroCluster[kMaxSectorsPerCluster * kSectorSize] = {};

bool IsFixedRoot(const FatVolume& volume, std::uint32_t start) { return start == 0 && !volume.is_fat32; }

std::uint8_t* ReadAheadOf(FatVolume& volume);

// The sector from the cache, or read from the medium together with the
// rest of its run (`count` sectors) and then cached: null on a read failure.
const std::uint8_t* CachedDirSectors(FatVolume& volume, std::uint32_t sector, std::uint32_t count) {
    if (const std::uint8_t* cached = FatDirCacheFind(volume, sector)) return cached;
    if (count > kMaxSectorsPerCluster) count = kMaxSectorsPerCluster;
    std::uint8_t* read_ahead = ReadAheadOf(volume);
    if (!FatMediaRead(volume, sector, read_ahead, count)) return nullptr;
    FatDirCacheStore(volume, sector, read_ahead, count, FatDirCacheSource::kRead);
    return read_ahead;
}

bool SameSlot(const FatSlotRef& a, const FatSlotRef& b) {
    return a.sector_index == b.sector_index && a.slot == b.slot;
}

// Brent's cycle detection over the clusters a directory walk visits: a loop
// is caught within a few times its length, without remembering clusters.
bool StepMeetsLoop(FatDirChain* chain, std::uint32_t next) {
    if (next == chain->loop_mark) return true;
    if (++chain->loop_length == chain->loop_power) {
        chain->loop_mark = next;
        chain->loop_power *= 2;
        chain->loop_length = 0;
    }
    return false;
}

// Free slots in a row; long-name parts extend a run but never complete it.
struct FreeRun {
    std::uint32_t needed;
    std::uint32_t length = 0;
    FatSlotRef start{0, 0};
    bool found = false;

    void Feed(const std::uint8_t* entry, FatSlotRef at) {
        if (found) return;
        const bool long_name_part = (entry[kAttribute] & kLongNameMask) == kLongNameMask;
        if (!long_name_part && !FatIsUnusedSlot(entry)) {
            length = 0;
            return;
        }
        if (length == 0) start = at;
        ++length;
        if (!long_name_part && length >= needed) found = true;
    }
};

// Numeric tails of one short base that entries of a directory carry. The
// marks reach only as far as the largest tail seen: most passes (every
// lookup along a path) meet none, and must not pay for all possible ones.
struct TailsInUse {
    std::uint8_t base[kFatShortNameSize];
    bool exact = false;
    bool plain = false;
    std::vector<bool> tails;

    // A base that already ends in "~digits" is its own first tail: both
    // marks are kept, or the tail chosen could repeat the plain name.
    void Feed(const std::uint8_t* entry) {
        if (std::memcmp(entry, base, kFatShortNameSize) == 0) plain = true;
        const std::uint32_t number = FatNumericTailOf(entry);
        std::uint8_t candidate[kFatShortNameSize];
        if (number && number <= kFatMaxTail && FatAddNumericTail(number, base, candidate) &&
            std::memcmp(candidate, entry, kFatShortNameSize) == 0) {
            if (number >= tails.size()) tails.resize(number + 1);
            tails[number] = true;
        }
    }

    bool Choose(std::uint8_t* out) const {
        return FatChooseShortName(base, exact, kFatMaxTail, [&](const std::uint8_t* candidate) {
            if (std::memcmp(candidate, base, kFatShortNameSize) == 0) return plain;
            const std::uint32_t number = FatNumericTailOf(candidate);
            return number != 0 && number < tails.size() && tails[number];
        }, out);
    }
};

// The entry's name is its long name when one belongs to it, else its 8.3
// form. Whether the long name belongs costs a checksum, so it is only
// worked out when the two names would give different answers.
bool EntryNameMatches(const FatDirScanner& scan, const std::uint8_t* entry, const FatNameMatcher& sought) {
    if (scan.HasWholeLongName() && sought.MatchesLongName(scan.LongName()))
        return scan.HasLongName() || sought.MatchesShortName(entry);
    return sought.MayMatchShortName(entry) && !scan.HasLongName() && sought.MatchesShortName(entry);
}

void FillFound(const FatDirScanner& scan, const std::uint8_t* entry, FatFoundEntry* found) {
    std::memcpy(found->entry, entry, kFatEntrySize);
    found->where = scan.Where();
    found->has_long_name = scan.HasLongName();
    found->long_name_start = scan.LongNameStart();
    found->has_parts_before = scan.HasPartsBefore();
    found->parts_start = scan.PartsStart();
    if (found->has_long_name) {
        FatLongNameToUtf8(scan.LongName(), found->name, sizeof found->name);
    } else {
        FatShortNameListingForm(entry, found->name);
    }
}

bool IsSoughtEntry(const FatDirScanner& scan, const std::uint8_t* entry) {
    return scan.Class() == FatSlotClass::kVisible && !FatIsDotEntry(entry);
}

// Appends zeroed clusters after the directory's last one. Each cluster is
// zeroed and ended before it is linked, so a failure never leaves stale
// slots inside, nor a link to a free cluster.
bool GrowDirectory(FatVolume& volume, std::uint32_t last_cluster, std::uint32_t clusters) {
    if (!FatCanWrite(volume) || !FatIsDataCluster(volume, last_cluster)) return false;
    for (std::uint32_t i = 0; i < clusters; ++i) {
        std::uint32_t cluster;
        if (!FatFindFreeCluster(volume, volume.root_cluster, &cluster)) return false;
        if (!FatWriteFreshDirCluster(volume, cluster, nullptr)) return false;
        if (!FatSetClusterEntry(volume, cluster, kFatEndOfChain)) return false;
        // The new end reaches the medium before the link to it: FAT sectors
        // written together may land one without the other, and a folder
        // linked to a cluster still free on the medium is damage.
        if (!FatWriteFatNow(volume)) return false;
        if (!FatSetClusterEntry(volume, last_cluster, cluster)) return false;
        last_cluster = cluster;
    }
    return true;
}

// Clusters a directory must grow by for the plan's entry set.
std::uint32_t ClustersToGrow(const FatVolume& volume, const FatCreatePlan& plan) {
    const std::uint32_t missing = plan.slots_needed - plan.open_run_length;
    const std::uint32_t slots_per_cluster = kFatSlotsPerSector * volume.sectors_per_cluster;
    return (missing + slots_per_cluster - 1) / slots_per_cluster;
}

// Where a run of `needed` slots starts: the run found by the scan, or one
// that continues past the end of the directory into new clusters.
bool ClaimRun(FatVolume& volume, std::uint32_t start, const FatCreatePlan& plan, FatSlotRef* run_start) {
    if (plan.run_found) {
        *run_start = plan.run_start;
        return true;
    }
    if (!FatPlanHasRoom(volume, start, plan)) {
        FatNoteFailure(volume, fat::Result::NoSpace);
        return false;
    }
    if (!GrowDirectory(volume, plan.last_cluster, ClustersToGrow(volume, plan))) return false;
    *run_start = plan.open_run_length ? plan.open_run_start : FatSlotRef{plan.sector_count, 0};
    return true;
}

// A slot change that only adds: an unused slot taken, or an entry that
// keeps its name and attributes getting other fields (size, first cluster,
// times). A long-name part that changes renames or deletes.
bool SlotChangeAdds(const std::uint8_t* before, const std::uint8_t* after) {
    if (FatIsUnusedSlot(before) || std::memcmp(before, after, kFatEntrySize) == 0) return true;
    if (FatClassifySlot(before) == FatSlotClass::kLongNamePart) return false;
    return std::memcmp(before, after, kAttribute + 1) == 0;
}

// Compared with the copy the cache holds; a sector it does not hold (given
// up since the scan read it) cannot be judged and counts as taking away.
bool DirSectorChangeAdds(const FatVolume& volume, std::uint32_t sector, const std::uint8_t* data) {
    const std::uint8_t* before = FatDirCacheFind(volume, sector);
    if (!before) return false;
    for (std::uint32_t slot = 0; slot < kFatSlotsPerSector; ++slot)
        if (!SlotChangeAdds(before + slot * kFatEntrySize, data + slot * kFatEntrySize)) return false;
    return true;
}

// Inside a batch the sector waits in the cache; the batch goes out first
// when it holds as many sectors as it may.
bool HoldDirSector(FatVolume& volume, std::uint32_t sector, const std::uint8_t* data, std::uint64_t order) {
    if (FatDirCachePendingCount(volume) >= kFatDirCachePendingLimit && !FatBatchWriteBack(volume)) return false;
    FatDirCacheStorePending(volume, sector, data, order);
    return true;
}

// One directory sector through the directory cache. A failed write always
// makes the index forget what it holds there (FatDropSectorBuffer).
// Every FAT change made so far reaches the medium before the directory
// sector: an entry never points at clusters the FAT on disk does not hold,
// whichever path grew the chain or the directory. `order` (its place in
// its folder) lets a batch hold the sector back; without one it goes out
// at once.
bool WriteDirSector(FatVolume& volume, std::uint32_t sector, const std::uint8_t* data, bool keeps_index,
                    const std::uint64_t* order) {
    if (!keeps_index) FatDirIndexNoteWrite(volume, sector, 1);
    ++volume.change_count;
    if (!FatCanWrite(volume)) {
        FatDropSectorBuffer(volume, sector, 1);
        return false;
    }
    if (order && FatBatchHolds(volume) && DirSectorChangeAdds(volume, sector, data)) {
        if (HoldDirSector(volume, sector, data, *order)) return true;
        FatDropSectorBuffer(volume, sector, 1);
        return false;
    }
    if (!FatBatchWriteThrough(volume) || !FatFlushCache(volume) || !FatMediaWrite(volume, sector, data, 1)) {
        // What the medium holds there is unknown now.
        FatDropSectorBuffer(volume, sector, 1);
        return false;
    }
    FatDirCacheStore(volume, sector, data, 1, FatDirCacheSource::kWritten);
    return true;
}

void ResetPlan(FatCreatePlan* plan) { std::memset(plan, 0, sizeof *plan); }

// Slots an entry set for the name takes, or 0 for a name no entry may get.
std::uint32_t SlotsForNewName(const char* name) {
    if (FatNewNameProblem(name)) return 0;
    std::uint16_t units[kFatLongNameCapacity];
    const int unit_count = FatUtf8ToUtf16(name, units, kFatMaxLongNameUnits);
    return FatLongNamePartCount(static_cast<std::uint32_t>(unit_count)) + 1;
}

template <typename Edit>
int EditFirstVisibleWithShortName(FatVolume& volume, std::uint32_t start, const std::uint8_t* short_name,
                                  Edit edit) {
    if (!FatCanWrite(volume)) return 0;
    FatDirScanner scan(volume, start);
    while (scan.Next()) {
        std::uint8_t* entry = scan.Entry();
        if (scan.Class() != FatSlotClass::kVisible || std::memcmp(entry, short_name, kFatShortNameSize) != 0)
            continue;
        return edit(scan);
    }
    return 0;
}

// The plan of the last pass that found a name free. It answers a later
// plan for the same name and directory while nothing in the FAT or any
// directory changed: the volume's change count says so.
struct LastPlan {
    bool valid = false;
    std::uint64_t change_count = 0;
    std::uint32_t start = 0;
    char name[kFatNameBufferSize];
    FatCreatePlan plan;

    void Remember(const FatVolume& on, std::uint32_t directory, const char* free_name, const FatCreatePlan& made) {
        valid = false;
        if (std::strlen(free_name) >= sizeof name) return;
        std::strcpy(name, free_name);
        change_count = on.change_count;
        start = directory;
        plan = made;
        valid = true;
    }
    bool Answers(const FatVolume& on, std::uint32_t directory, const char* free_name) const {
        return valid && change_count == on.change_count &&
               start == directory && free_name && std::strcmp(name, free_name) == 0;
    }
};

}  // namespace

namespace {

// The clusters of a folder's chain from its first on, as far as walked:
// scans that start part-way into a large folder (an entry updated at a
// file's close, a listing resumed) look their cluster up here instead of
// walking the chain from the start. It holds while no FAT entry of these
// clusters changed (the volume's change log says so).
struct DirMap {
    std::uint32_t start = 0;
    std::vector<std::uint32_t> clusters;
    std::vector<std::uint32_t> sorted;  // the same, ascending, for the change check
    bool end_known = false;             // the chain ends after clusters.back()
    std::uint64_t verified_at = 0;      // the volume's fat_change_seq then
    std::uint64_t last_use = 0;
    FatDirChain walk{};                 // loop detection along the walk
};

// Folders in use at once: the one written to, its parents, a source.
constexpr std::size_t kDirMapCount = 8;

}  // namespace

// Scan scratch space of one volume.
struct FatDirScratch {
    // A scan that misses the directory cache reads the rest of the cluster
    // in one media call; all of it goes into the cache.
    std::uint8_t read_ahead[kMaxSectorsPerCluster * kSectorSize];
    LastPlan last_plan;
    DirMap maps[kDirMapCount];
    std::uint64_t map_uses = 0;
};

void FatDestroyPart(FatDirScratch* part) { delete part; }

namespace {

FatDirScratch& ScratchOf(FatVolume& volume) {
    if (!volume.state->dir_scratch) volume.state->dir_scratch.reset(new FatDirScratch());
    return *volume.state->dir_scratch;
}

std::uint8_t* ReadAheadOf(FatVolume& volume) { return ScratchOf(volume).read_ahead; }

void RestartMap(DirMap& map, FatVolume& volume, std::uint32_t start) {
    map.start = start;
    map.clusters.assign(1, start);
    map.sorted.clear();
    map.end_known = false;
    map.verified_at = volume.fat_change_seq;
    map.walk = FatDirChain{start, 0, start, start, 1, 0};
}

// The map of a folder, made (in place of the least recently used one) or
// started again when a FAT entry of its clusters changed.
DirMap& MapOf(FatVolume& volume, std::uint32_t start) {
    FatDirScratch& scratch = ScratchOf(volume);
    DirMap* map = nullptr;
    for (DirMap& candidate : scratch.maps)
        if (!candidate.clusters.empty() && candidate.start == start) map = &candidate;
    if (!map) {
        map = &scratch.maps[0];
        for (DirMap& candidate : scratch.maps)
            if (candidate.last_use < map->last_use) map = &candidate;
        RestartMap(*map, volume, start);
    } else if (map->verified_at != volume.fat_change_seq) {
        if (map->sorted.size() != map->clusters.size()) {
            map->sorted = map->clusters;
            std::sort(map->sorted.begin(), map->sorted.end());
        }
        if (FatChainChangedSince(volume, map->verified_at, map->sorted))
            RestartMap(*map, volume, start);
        else
            map->verified_at = volume.fat_change_seq;
    }
    map->last_use = ++scratch.map_uses;
    return *map;
}

// Cluster `wanted` of the folder starting at `start`: kOk, kEnd past its
// end, or kFailed for a damaged chain (reported) or an unreadable FAT.
FatDirStatus DirClusterAt(FatVolume& volume, std::uint32_t start, std::uint32_t wanted, std::uint32_t* cluster) {
    DirMap& map = MapOf(volume, start);
    while (map.clusters.size() <= wanted) {
        if (map.end_known) return FatDirStatus::kEnd;
        const std::uint32_t current = map.clusters.back();
        const std::uint32_t next = FatNextCluster(volume, current);
        if (next == kFatEndOfChain) {
            map.end_known = true;
            return FatDirStatus::kEnd;
        }
        if (next == kFatChainUnreadable) return FatDirStatus::kFailed;
        if (next == kFatFree) {
            FatReportDamage(volume, "directory chain runs into a free cluster", current);
            return FatDirStatus::kFailed;
        }
        if (StepMeetsLoop(&map.walk, next)) {
            FatReportDamage(volume, "directory chain loops", next);
            RestartMap(map, volume, start);
            return FatDirStatus::kFailed;
        }
        map.clusters.push_back(next);
    }
    *cluster = map.clusters[wanted];
    return FatDirStatus::kOk;
}

// The one pass behind FatPlanNewEntry; a plan for a free name is remembered.
int PlanByScan(FatVolume& volume, std::uint32_t start, const char* name, FatCreatePlan* plan, FatFoundEntry* found,
               const FatSlotRef* self) {
    ResetPlan(plan);
    plan->slots_needed = SlotsForNewName(name);
    if (plan->slots_needed == 0) return 0;
    if (FatDirIndexPlan(volume, start, name, plan)) {
        ScratchOf(volume).last_plan.Remember(volume, start, name, *plan);
        return 1;
    }

    TailsInUse tails;
    FatMakeShortName(name, tails.base, &tails.exact);
    FreeRun run{plan->slots_needed};
    const FatNameMatcher sought(name);
    FatDirScanner scan(volume, start);
    while (scan.Next()) {
        const std::uint8_t* entry = scan.Entry();
        run.Feed(entry, scan.Where());
        if (FatIsUsedShortEntry(entry)) tails.Feed(entry);
        if (scan.Class() == FatSlotClass::kHidden && EntryNameMatches(scan, entry, sought)) {
            plan->name_hidden = true;  // no new entry may take it; a visible one may still be sought
            continue;
        }
        if (IsSoughtEntry(scan, entry) && !(self && SameSlot(*self, scan.Where())) &&
            EntryNameMatches(scan, entry, sought)) {
            plan->name_taken = true;
            plan->taken_at = scan.Where();
            if (found) FillFound(scan, entry, found);
            return 1;  // the rest of the plan is of no use now
        }
    }
    if (scan.Status() == FatDirStatus::kFailed) return 0;
    if (plan->name_hidden) return 1;
    plan->short_name_found = tails.Choose(plan->short_name);
    plan->run_found = run.found;
    plan->run_start = run.start;
    plan->open_run_length = run.found ? 0 : run.length;
    plan->open_run_start = run.start;
    plan->clean_end = true;
    plan->last_cluster = scan.LastCluster();
    plan->sector_count = scan.SectorCount();
    ScratchOf(volume).last_plan.Remember(volume, start, name, *plan);
    // A free name is mostly followed by its creation, and often by more
    // names for the same directory: the next ones need no pass.
    if (!FatDirIndexCovers(volume, start)) FatDirIndexBuild(volume, start);
    return 1;
}

}  // namespace

void FatDirMapsReset(FatVolume& volume) {
    if (!volume.state->dir_scratch) return;
    for (DirMap& map : volume.state->dir_scratch->maps) map = DirMap{};
}

void FatDirChainBegin(FatVolume& volume, FatDirChain* chain, std::uint32_t start) {
    // ".." entries name the root as cluster 0, on FAT32 too.
    if (start == 0 && volume.is_fat32) start = volume.root_cluster;
    *chain = FatDirChain{start, 0, start, start, 1, 0};
}

FatDirStatus FatDirSectorNumber(FatVolume& volume, FatDirChain* chain, std::uint32_t index,
                                std::uint32_t* sector) {
    if (index >= kFatMaxDirSectors) return FatDirStatus::kEnd;
    if (IsFixedRoot(volume, chain->start)) {
        if (index >= volume.root_dir_sectors) return FatDirStatus::kEnd;
        *sector = volume.volume_start + volume.root_dir_offset + index;
        return FatDirStatus::kOk;
    }
    if (!FatIsDataCluster(volume, chain->start)) {
        FatReportDamage(volume, "directory starts outside the volume", chain->start);
        return FatDirStatus::kFailed;
    }
    // Every step goes through the folder's remembered cluster list: a scan
    // starting part-way costs no walk, and a looping chain ends at the same
    // place for every scan, wherever it started.
    const std::uint32_t wanted = index / volume.sectors_per_cluster;
    if (wanted != chain->cluster_index) {
        std::uint32_t cluster;
        const FatDirStatus status = DirClusterAt(volume, chain->start, wanted, &cluster);
        if (status != FatDirStatus::kOk) return status;
        chain->cluster_index = wanted;
        chain->cluster = cluster;
    }
    *sector = FatClusterToSector(volume, chain->cluster) + index % volume.sectors_per_cluster;
    return FatDirStatus::kOk;
}

int FatReadDirSector(FatVolume& volume, std::uint32_t sector_index, std::uint32_t start_cluster) {
    FatDirChain chain;
    FatDirChainBegin(volume, &chain, start_cluster);
    std::uint32_t sector;
    if (FatDirSectorNumber(volume, &chain, sector_index, &sector) != FatDirStatus::kOk) return 0;
    if (volume.sector_buffer_tag == sector) return 1;
    volume.sector_buffer_tag = kFatNoSector;
    const std::uint8_t* data = CachedDirSectors(volume, sector, 1);
    if (!data) return 0;
    std::memcpy(volume.sector_buffer, data, kSectorSize);
    volume.sector_buffer_tag = sector;
    return 1;
}

int FatWriteDirSector(FatVolume& volume, std::uint32_t sector, const std::uint8_t* data) {
    return WriteDirSector(volume, sector, data, false, nullptr) ? 1 : 0;
}

FatDirScanner::FatDirScanner(FatVolume& volume, std::uint32_t start, FatSlotRef from)
    : volume_(volume), where_(from) {
    FatDirChainBegin(volume, &chain_, start);
    FatClearLongName(&long_name_);
    if (where_.slot >= kFatSlotsPerSector) where_ = FatSlotRef{where_.sector_index + 1, 0};
}

bool FatDirScanner::Load(std::uint32_t sector_index) {
    std::uint32_t sector;
    const FatDirStatus status = FatDirSectorNumber(volume_, &chain_, sector_index, &sector);
    if (status != FatDirStatus::kOk) {
        status_ = status;
        if (status == FatDirStatus::kEnd) sector_count_ = sector_index;
        return false;
    }
    if (volume_.sector_buffer_tag != sector && !Fetch(sector_index, sector)) {
        status_ = FatDirStatus::kFailed;
        return false;
    }
    absolute_ = sector;
    return true;
}

bool FatDirScanner::Fetch(std::uint32_t sector_index, std::uint32_t sector) {
    volume_.sector_buffer_tag = kFatNoSector;
    const std::uint32_t rest = IsFixedRoot(volume_, chain_.start)
                                   ? volume_.root_dir_sectors - sector_index
                                   : volume_.sectors_per_cluster - sector_index % volume_.sectors_per_cluster;
    const std::uint8_t* data = CachedDirSectors(volume_, sector, rest);
    if (!data) return false;
    std::memcpy(volume_.sector_buffer, data, kSectorSize);
    volume_.sector_buffer_tag = sector;
    return true;
}

bool FatDirScanner::WritePending() {
    if (!dirty_) return true;
    dirty_ = false;
    const std::uint64_t order = FatBatchDirOrder(chain_.start, where_.sector_index);
    if (volume_.sector_buffer_tag != absolute_ ||
        !WriteDirSector(volume_, absolute_, volume_.sector_buffer, keeps_index_, &order)) {
        volume_.sector_buffer_tag = kFatNoSector;
        status_ = FatDirStatus::kFailed;
        return false;
    }
    return true;
}

bool FatDirScanner::Next() {
    if (status_ != FatDirStatus::kOk) return false;
    if (!started_) {
        started_ = true;
        if (!Load(where_.sector_index)) return false;
    } else if (++where_.slot == kFatSlotsPerSector) {
        if (!WritePending()) return false;
        where_ = FatSlotRef{where_.sector_index + 1, 0};
        if (!Load(where_.sector_index)) return false;
    } else if (volume_.sector_buffer_tag != absolute_) {
        // Another operation used the sector buffer since: bring ours back.
        if (!Load(where_.sector_index)) return false;
    }
    Classify();
    return true;
}

void FatDirScanner::Classify() {
    const std::uint8_t* entry = Entry();
    if (consumed_) {
        FatRestartLongName(&long_name_);
        consumed_ = false;
    }
    has_long_name_ = false;
    long_name_checked_ = true;
    class_ = FatClassifySlot(entry);
    parts_before_ = in_parts_;
    const bool part = class_ == FatSlotClass::kLongNamePart;
    if (part && !in_parts_) parts_start_ = where_;
    in_parts_ = part;
    switch (class_) {
        case FatSlotClass::kLongNamePart:
            if (entry[0] & 0x40) long_name_start_ = where_;
            FatCollectLongName(entry, &long_name_);
            break;
        case FatSlotClass::kSkipped:
            FatRestartLongName(&long_name_);
            break;
        case FatSlotClass::kVisible:
        case FatSlotClass::kHidden:
            long_name_checked_ = false;
            consumed_ = true;
            break;
    }
}

bool FatDirScanner::HasLongName() const {
    if (!long_name_checked_) {
        has_long_name_ = FatLongNameBelongsTo(long_name_, volume_.sector_buffer + where_.slot * kFatEntrySize);
        long_name_checked_ = true;
    }
    return has_long_name_;
}

bool FatDirScanner::Finish() { return WritePending(); }

namespace {

// Two runs of UTF-8 text hold the same characters once letters are folded
// (the folded forms may differ in byte length).
bool SameFoldedText(const char* x, std::size_t x_length, const char* y, std::size_t y_length) {
    std::size_t i = 0, j = 0;
    while (i < x_length && j < y_length) {
        std::uint32_t cx, cy;
        i += FatTakeChar(x + i, &cx);
        j += FatTakeChar(y + j, &cy);
        if (FatFoldCodePoint(cx) != FatFoldCodePoint(cy)) return false;
    }
    return i >= x_length && j >= y_length;
}

}  // namespace

int FatNamesMatch(const char* a, const char* b) {
    if (!a || !b) return 0;
    struct Parts {
        const char* base;
        std::size_t base_length;
        const char* ext;
        std::size_t ext_length;
    };
    auto trimmed = [](const char* text, std::size_t length) {
        while (length && text[length - 1] == ' ') --length;
        return length;
    };
    auto split = [&](const char* name) {
        const char* dot = std::strrchr(name, '.');
        if (!dot) return Parts{name, trimmed(name, std::strlen(name)), nullptr, 0};
        return Parts{name, trimmed(name, static_cast<std::size_t>(dot - name)), dot + 1,
                     trimmed(dot + 1, std::strlen(dot + 1))};
    };
    const Parts pa = split(a), pb = split(b);
    if ((pa.ext == nullptr) != (pb.ext == nullptr)) return 0;
    if (pa.ext && !SameFoldedText(pa.ext, pa.ext_length, pb.ext, pb.ext_length)) return 0;
    return SameFoldedText(pa.base, pa.base_length, pb.base, pb.base_length) ? 1 : 0;
}

int FatLocateEntry(FatVolume& volume, std::uint32_t start, const char* name, FatFoundEntry* found) {
    if (!name || !*name) return 0;
    // A name an entry could be created with: the same pass also plans that
    // entry, as a lookup of a missing name is mostly followed by its creation.
    if (SlotsForNewName(name) != 0) {
        FatCreatePlan plan;
        return PlanByScan(volume, start, name, &plan, found, nullptr) && plan.name_taken ? 1 : 0;
    }
    const FatNameMatcher sought(name);
    FatDirScanner scan(volume, start);
    while (scan.Next()) {
        const std::uint8_t* entry = scan.Entry();
        if (!IsSoughtEntry(scan, entry) || !EntryNameMatches(scan, entry, sought)) continue;
        FillFound(scan, entry, found);
        return 1;
    }
    return 0;
}

int FatFindEntry(FatVolume& volume, std::uint8_t* entry, std::uint32_t start, const char* name) {
    FatFoundEntry found;
    if (!FatLocateEntry(volume, start, name, &found)) return 0;
    std::memcpy(entry, found.entry, kFatEntrySize);
    return 1;
}

int FatShortNameInUse(FatVolume& volume, std::uint32_t start, const std::uint8_t* short_name) {
    FatDirScanner scan(volume, start);
    while (scan.Next()) {
        const std::uint8_t* entry = scan.Entry();
        if (FatIsUsedShortEntry(entry) && std::memcmp(entry, short_name, kFatShortNameSize) == 0) return 1;
    }
    return 0;
}

int FatFindFreeSlots(FatVolume& volume, std::uint32_t start, std::uint32_t count, std::uint32_t* sector_index,
                     std::uint32_t* slot_index) {
    if (count == 0) return 0;
    FatCreatePlan plan;
    ResetPlan(&plan);
    plan.slots_needed = count;
    FreeRun run{count};
    FatDirScanner scan(volume, start);
    while (!run.found && scan.Next()) run.Feed(scan.Entry(), scan.Where());
    plan.run_found = run.found;
    plan.run_start = run.start;
    plan.open_run_length = run.length;
    plan.open_run_start = run.start;
    plan.clean_end = scan.Status() == FatDirStatus::kEnd;
    plan.last_cluster = scan.LastCluster();
    plan.sector_count = scan.SectorCount();
    FatSlotRef at;
    if (!ClaimRun(volume, start, plan, &at)) return 0;
    *sector_index = at.sector_index;
    *slot_index = at.slot;
    return 1;
}

int FatPlanNewEntry(FatVolume& volume, std::uint32_t start, const char* name, FatCreatePlan* plan,
                    FatFoundEntry* found, const FatSlotRef* self) {
    // No entry takes the name, so the entry to skip makes no difference.
    if (const LastPlan& last = ScratchOf(volume).last_plan; last.Answers(volume, start, name)) {
        *plan = last.plan;
        return 1;
    }
    return PlanByScan(volume, start, name, plan, found, self);
}

bool FatPlanHasRoom(const FatVolume& volume, std::uint32_t start, const FatCreatePlan& plan) {
    if (plan.run_found) return true;
    if (!plan.clean_end || IsFixedRoot(volume, start)) return false;
    return plan.sector_count + ClustersToGrow(volume, plan) * volume.sectors_per_cluster <= kFatMaxDirSectors;
}

bool FatPlanAccepts(FatVolume& volume, std::uint32_t start, const FatCreatePlan& plan) {
    if (plan.name_taken || plan.name_hidden || !plan.short_name_found) {
        FatNoteFailure(volume, fat::Result::Exists);
        return false;
    }
    if (!FatPlanHasRoom(volume, start, plan)) {
        FatNoteFailure(volume, fat::Result::NoSpace);
        return false;
    }
    return true;
}

namespace {

// Slot `offset` of a run that starts at `from`.
FatSlotRef SlotInRun(FatSlotRef from, std::uint32_t offset) {
    const std::uint32_t index = from.slot + offset;
    return FatSlotRef{from.sector_index + index / kFatSlotsPerSector, index % kFatSlotsPerSector};
}

}  // namespace

// The sector holding the short entry is written first, then the ones before
// it: a power cut in between leaves an entry known by its short name only,
// never long-name parts that belong to no entry.
int FatWriteEntrySet(FatVolume& volume, std::uint32_t start, const FatCreatePlan& plan, const char* name,
                     const std::uint8_t* short_entry, FatSlotRef* written_at, FatSlotRef* long_name_at) {
    std::uint16_t units[kFatLongNameCapacity];
    const int unit_count = name ? FatUtf8ToUtf16(name, units, kFatMaxLongNameUnits) : -1;
    if (unit_count <= 0 || !FatCanWrite(volume)) return 0;
    const std::uint32_t parts = FatLongNamePartCount(static_cast<std::uint32_t>(unit_count));
    if (parts + 1 != plan.slots_needed) return 0;
    const bool index_follows = FatDirIndexFollows(volume, start, plan);
    FatSlotRef run_start;
    if (!ClaimRun(volume, start, plan, &run_start)) {
        if (index_follows) FatDirIndexForget(volume, start);
        return 0;
    }
    if (index_follows && !plan.run_found) FatDirIndexNoteGrowth(volume, start);

    const std::uint8_t checksum = FatShortNameChecksum(short_entry);
    const FatSlotRef short_at = SlotInRun(run_start, parts);
    // Fills the slots of one sector of the run: part `parts` comes first,
    // part 1 last, then the short entry.
    auto write_sector = [&](std::uint32_t sector_index) {
        const std::uint32_t first = sector_index == run_start.sector_index
                                        ? 0
                                        : (sector_index - run_start.sector_index) * kFatSlotsPerSector - run_start.slot;
        const FatSlotRef from = SlotInRun(run_start, first);
        const std::uint32_t last = std::min(parts, first + (kFatSlotsPerSector - from.slot) - 1);
        FatDirScanner scan(volume, start, from);
        if (index_follows) scan.EditsKeepIndex();
        for (std::uint32_t offset = first; offset <= last; ++offset) {
            if (!scan.Next()) return false;
            if (offset == parts) {
                std::memcpy(scan.Entry(), short_entry, kFatEntrySize);
            } else {
                FatWriteLongNamePart(scan.Entry(), units, static_cast<std::uint32_t>(unit_count), parts - offset,
                                     checksum);
            }
            scan.MarkDirty();
        }
        return scan.Finish();
    };
    bool written = write_sector(short_at.sector_index);
    for (std::uint32_t sector = short_at.sector_index; written && sector-- > run_start.sector_index;)
        written = write_sector(sector);
    if (!written) {
        if (index_follows) FatDirIndexForget(volume, start);
        // A short entry already written without its long name is taken back.
        FatDeleteEntrySet(volume, start, short_at, false, short_at);
        return 0;
    }
    if (written_at) *written_at = short_at;
    if (long_name_at) *long_name_at = run_start;
    if (index_follows) {
        FatLongName written_name;
        FatClearLongName(&written_name);
        std::uint8_t part_slot[kFatEntrySize];
        for (std::uint32_t part = parts; part >= 1; --part) {
            FatWriteLongNamePart(part_slot, units, static_cast<std::uint32_t>(unit_count), part, checksum);
            FatCollectLongName(part_slot, &written_name);
        }
        FatDirIndexNoteCreate(volume, start, written_name, short_entry, plan);
    }
    return 1;
}

int FatWriteNewEntries(FatVolume& volume, std::uint32_t start, const char* long_name,
                       const std::uint8_t* short_name, std::uint32_t first_cluster, int is_directory,
                       const char* stamp) {
    FatCreatePlan plan;
    if (!FatPlanNewEntry(volume, start, long_name, &plan)) return 0;
    std::uint8_t entry[kFatEntrySize];
    FatFillShortEntry(entry, short_name, is_directory ? kDirectory : kArchive, first_cluster,
                      FatParseStamp(stamp));
    return FatWriteEntrySet(volume, start, plan, long_name, entry, nullptr, nullptr);
}

int FatDeleteEntrySet(FatVolume& volume, std::uint32_t start, FatSlotRef where, bool has_long_name,
                      FatSlotRef long_name_start) {
    if (!FatCanWrite(volume)) return 0;
    FatDirScanner scan(volume, start, has_long_name ? long_name_start : where);
    while (scan.Next()) {
        std::uint8_t* entry = scan.Entry();
        if (SameSlot(scan.Where(), where)) {
            if (!FatIsUsedShortEntry(entry)) return 0;
            entry[kName] = kDeleted;
            scan.MarkDirty();
            return scan.Finish() ? 1 : 0;
        }
        if (scan.Class() == FatSlotClass::kLongNamePart) {
            entry[kName] = kDeleted;
            scan.MarkDirty();
        }
    }
    scan.Finish();
    return 0;
}

int FatDeleteFoundEntry(FatVolume& volume, std::uint32_t start, const FatFoundEntry& found) {
    return FatDeleteEntrySet(volume, start, found.where, found.has_parts_before, found.parts_start);
}

int FatStoreEntryFields(FatVolume& volume, std::uint32_t start, FatSlotRef where, const std::uint8_t* short_name,
                        std::uint32_t size, std::uint32_t first_cluster, const FatStamp* stamp) {
    if (!FatCanWrite(volume)) return 0;
    auto store = [&](FatDirScanner& scan) {
        scan.EditsKeepIndex();
        std::uint8_t* entry = scan.Entry();
        FatStore32(entry + kSize, size);
        FatSetEntryFirstCluster(entry, first_cluster);
        if (stamp) {
            FatStore16(entry + kWriteTime, stamp->time);
            FatStore16(entry + kWriteDate, stamp->date);
            FatStore16(entry + kAccessDate, stamp->date);
        }
        scan.MarkDirty();
        return scan.Finish() ? 1 : 0;
    };
    {
        FatDirScanner scan(volume, start, where);
        if (scan.Next() && scan.Class() == FatSlotClass::kVisible &&
            std::memcmp(scan.Entry(), short_name, kFatShortNameSize) == 0)
            return store(scan);
    }
    return EditFirstVisibleWithShortName(volume, start, short_name, store);
}

int FatSetEntrySize(FatVolume& volume, std::uint32_t start, const std::uint8_t* short_name, std::uint32_t size) {
    return EditFirstVisibleWithShortName(volume, start, short_name, [&](FatDirScanner& scan) {
        scan.EditsKeepIndex();
        FatStore32(scan.Entry() + kSize, size);
        scan.MarkDirty();
        return scan.Finish() ? 1 : 0;
    });
}

int FatMarkEntryDeleted(FatVolume& volume, std::uint32_t start, const std::uint8_t* short_name) {
    FatSlotRef where{}, long_name_start{};
    bool has_long_name = false;
    const int found = EditFirstVisibleWithShortName(volume, start, short_name, [&](FatDirScanner& scan) {
        where = scan.Where();
        has_long_name = scan.HasPartsBefore();
        long_name_start = scan.PartsStart();
        return 1;
    });
    return found ? FatDeleteEntrySet(volume, start, where, has_long_name, long_name_start) : 0;
}

int FatWriteFreshDirCluster(FatVolume& volume, std::uint32_t cluster, const std::uint8_t* first_sector) {
    if (!FatCanWrite(volume) || !FatIsDataCluster(volume, cluster) || volume.sectors_per_cluster > kMaxSectorsPerCluster)
        return 0;
    const std::uint32_t first = FatClusterToSector(volume, cluster);
    FatDropSectorBuffer(volume, first, volume.sectors_per_cluster);
    const std::uint8_t* bytes = kZeroCluster;
    if (first_sector) {
        std::uint8_t* cluster_bytes = ReadAheadOf(volume);
        std::memset(cluster_bytes, 0, std::size_t{volume.sectors_per_cluster} * kSectorSize);
        std::memcpy(cluster_bytes, first_sector, kSectorSize);
        bytes = cluster_bytes;
    }
    if (!FatBatchWriteData(volume, first, bytes, volume.sectors_per_cluster)) return 0;
    // The new slots are known without a read: the scans and the entry
    // writes that follow find them in the cache.
    FatDirCacheStore(volume, first, bytes, volume.sectors_per_cluster, FatDirCacheSource::kWritten);
    return 1;
}

void FatDropSectorBuffer(FatVolume& volume, std::uint32_t first_sector, std::uint32_t count) {
    ++volume.change_count;
    FatDirIndexNoteWrite(volume, first_sector, count);
    FatDirCacheDrop(volume, first_sector, count);
    if (volume.sector_buffer_tag != kFatNoSector && volume.sector_buffer_tag >= first_sector &&
        volume.sector_buffer_tag - first_sector < count)
        volume.sector_buffer_tag = kFatNoSector;
}

bool FatIsDotName(const char* name) { return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0; }
