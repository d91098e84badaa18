#include "fat/file.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "fat/boot_sector.h"
#include "fat/fat_table.h"
#include "fat/listing.h"
#include "fat/volume.h"
#include "fat/volume_state.h"
#include "fat/write_batch.h"

using namespace fatentry;

namespace {

constexpr std::uint32_t kNoIndex = 0xFFFFFFFFu;
constexpr std::uint32_t kLargestFileSize = 0xFFFFFFFFu;
constexpr std::uint8_t kWriteFlags = FAT_OPEN_WRITE | FAT_OPEN_APPEND | FAT_OPEN_CREATE | FAT_OPEN_ERASE;

// --- the pool: two doubly linked lists, records appended at the tail -----

void Unlink(FatFile*& head, FatFile* record) {
    if (record->previous) record->previous->next = record->next;
    if (record->next) record->next->previous = record->previous;
    if (head == record) head = record->next;
    record->previous = record->next = nullptr;
}

void AppendTo(FatFile*& head, FatFile* record) {
    record->previous = record->next = nullptr;
    if (!head) {
        head = record;
        return;
    }
    FatFile* tail = head;
    while (tail->next) tail = tail->next;
    tail->next = record;
    record->previous = tail;
}

}  // namespace

// The open-file records of one volume, and a record that only holds a
// split path for the operations that need no open file.
struct FatFilePool {
    FatFile records[kFatFilePoolSize];
    FatFile* free_list = nullptr;
    FatFile* open_list = nullptr;
    FatFile scratch;
};

void FatDestroyPart(FatFilePool* part) { delete part; }

namespace {

FatFilePool& PoolOf(FatVolume& volume) {
    FatEnsureFilePool(volume);
    return *volume.state->files;
}

FatFile* TakeRecord(FatVolume& volume) {
    FatFilePool& pool = PoolOf(volume);
    FatFile* record = pool.free_list;
    if (!record) return nullptr;
    Unlink(pool.free_list, record);
    AppendTo(pool.open_list, record);
    return record;
}

void ReleaseRecord(FatVolume& volume, FatFile* record) {
    FatFilePool& pool = PoolOf(volume);
    Unlink(pool.open_list, record);
    AppendTo(pool.free_list, record);
}

bool IsOpenRecord(FatVolume& volume, const FatFile* file) {
    for (const FatFile* record = PoolOf(volume).open_list; record; record = record->next)
        if (record == file) return true;
    return false;
}

// A call on a file that is not open on this volume.
bool RequireOpen(FatVolume& volume, const FatFile* file) {
    if (file && IsOpenRecord(volume, file)) return true;
    FatNoteFailure(volume, fat::Result::Invalid);
    return false;
}

void ClearRecord(FatFile* file) {
    file->parent_cluster = 0;
    file->first_cluster = 0;
    file->position = 0;
    file->size = 0;
    file->size_changed = 0;
    file->directory[0] = '\0';
    file->name[0] = '\0';
    std::memset(file->short_name, 0, sizeof file->short_name);
    file->clusters.clear();
    file->buffered_sector = kFatNoSector;
    file->buffer_dirty = 0;
    file->flags = 0;
    file->entry_at = FatSlotRef{0, 0};
    file->chain_may_overhang = 0;
    file->extend_failed = 0;
    file->replacing = 0;
    file->replaced_cluster = 0;
    file->replace_stamp = FatStamp{0, 0};
    file->created = 0;
    file->entry_pending = 0;
    file->create_stamp = FatStamp{0, 0};
    file->loop_mark = file->loop_power = file->loop_length = 0;
}

std::uint8_t ParseMode(const char* mode) {
    std::uint8_t flags = 0;
    for (const char* c = mode; *c; ++c) {
        switch (*c) {
            case 'r': case 'R': flags |= FAT_OPEN_READ; break;
            case 'w': case 'W': flags |= FAT_OPEN_WRITE | FAT_OPEN_ERASE | FAT_OPEN_CREATE; break;
            case 'a': case 'A': flags |= FAT_OPEN_WRITE | FAT_OPEN_APPEND | FAT_OPEN_CREATE; break;
            case 'b': case 'B': flags |= FAT_OPEN_RAW; break;
            case '+':
                if (flags & FAT_OPEN_READ) {
                    flags |= FAT_OPEN_WRITE;
                } else if (flags & FAT_OPEN_WRITE) {
                    flags |= FAT_OPEN_READ | FAT_OPEN_ERASE | FAT_OPEN_CREATE;
                } else if (flags & FAT_OPEN_APPEND) {
                    flags |= FAT_OPEN_READ | FAT_OPEN_WRITE | FAT_OPEN_APPEND | FAT_OPEN_CREATE;
                }
                break;
            default: break;
        }
    }
    return flags;
}

std::uint32_t ClusterBytes(const FatVolume& volume) { return volume.sectors_per_cluster * kSectorSize; }

// --- clusters of a file ------------------------------------------------

enum class ChainLookup { kFound, kShort, kFailed };

// Brent's cycle detection along a file's chain, as for directories.
bool StepMeetsLoop(FatFile* file, std::uint32_t next) {
    if (next == file->loop_mark) return true;
    if (++file->loop_length == file->loop_power) {
        file->loop_mark = next;
        file->loop_power *= 2;
        file->loop_length = 0;
    }
    return false;
}

// Cluster number `index` of the file's chain. kShort when the chain ends
// before it, with the last cluster and its index (kNoIndex: no chain).
// Every cluster met is remembered, so the chain is walked once however the
// file is read or written (a file in one-cluster fragments too).
ChainLookup FindCluster(FatFile* file, std::uint32_t index, std::uint32_t* cluster, std::uint32_t* last,
                        std::uint32_t* last_index) {
    FatVolume& volume = *file->volume;
    *last_index = kNoIndex;
    std::vector<std::uint32_t>& clusters = file->clusters;
    if (file->first_cluster == 0) {
        clusters.clear();
        return ChainLookup::kShort;
    }
    if (!FatIsDataCluster(volume, file->first_cluster)) {
        FatReportDamage(volume, "file starts outside the volume", file->first_cluster);
        return ChainLookup::kFailed;
    }
    // No chain of this volume can be longer than its cluster count.
    if (index >= volume.cluster_count) return ChainLookup::kFailed;
    if (clusters.empty() || clusters.front() != file->first_cluster) {
        clusters.assign(1, file->first_cluster);
        file->loop_mark = file->first_cluster;
        file->loop_power = 1;
        file->loop_length = 0;
    }
    while (clusters.size() <= index) {
        const std::uint32_t current = clusters.back();
        const std::uint32_t next = FatNextCluster(volume, current);
        if (next == kFatChainUnreadable) return ChainLookup::kFailed;
        if (next == kFatEndOfChain) {
            *last = current;
            *last_index = static_cast<std::uint32_t>(clusters.size() - 1);
            return ChainLookup::kShort;
        }
        if (next == kFatFree) {
            FatReportDamage(volume, "file chain runs into a free cluster", current);
            return ChainLookup::kFailed;
        }
        if (StepMeetsLoop(file, next)) {
            FatReportDamage(volume, "file chain loops", next);
            return ChainLookup::kFailed;
        }
        clusters.push_back(next);
    }
    *cluster = clusters[index];
    return ChainLookup::kFound;
}

// Makes the chain reach cluster index `through`. On a partial failure the
// clusters already linked stay (trimmed again at close).
bool GrowChainThrough(FatFile* file, std::uint32_t through) {
    FatVolume& volume = *file->volume;
    // No chain of this volume can reach that far: the file cannot grow so.
    if (through >= volume.cluster_count) FatNoteFailure(volume, fat::Result::NoSpace);
    std::uint32_t cluster, last, last_index;
    const ChainLookup lookup = FindCluster(file, through, &cluster, &last, &last_index);
    if (lookup != ChainLookup::kShort) return lookup == ChainLookup::kFound;
    file->chain_may_overhang = 1;
    if (last_index == kNoIndex) {
        if (!FatAllocateCluster(volume, &last)) return false;
        file->first_cluster = last;
        file->size_changed = 1;  // the entry needs its first cluster
        last_index = 0;
        if (through == 0) return true;
    }
    // The new clusters join the remembered chain on the next lookup.
    std::uint32_t first_new = last;
    return FatExtendChain(volume, &first_new, through - last_index) == 1;
}

// Sectors of the file's cluster after sector `end` (of the file) that hold
// no data of the file: past its end, before the next cluster.
std::uint32_t SlackAfter(const FatFile& file, std::uint64_t end) {
    const std::uint32_t per_cluster = file.volume->sectors_per_cluster;
    if (end * kSectorSize < file.size || end % per_cluster == 0) return 0;
    return per_cluster - static_cast<std::uint32_t>(end % per_cluster);
}

// Moves up to `count` sectors from sector `within` of cluster `cluster`
// (index `index`) on, continuing into following clusters while the chain
// stays contiguous.
std::uint32_t TransferRun(FatFile* file, std::uint32_t index, std::uint32_t cluster, std::uint32_t within,
                          std::uint8_t* read_into, const std::uint8_t* write_from, std::uint32_t count) {
    FatVolume& volume = *file->volume;
    std::uint64_t available = volume.sectors_per_cluster - within;
    std::uint32_t last = cluster, last_index = index;
    while (available < count) {
        std::uint32_t next, chain_end, chain_end_index;
        if (FindCluster(file, last_index + 1, &next, &chain_end, &chain_end_index) != ChainLookup::kFound ||
            next != last + 1)
            break;
        last = next;
        ++last_index;
        available += volume.sectors_per_cluster;
    }
    const auto sectors = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, available));
    const std::uint32_t first_sector = FatClusterToSector(volume, cluster) + within;
    if (write_from) {
        FatDropSectorBuffer(volume, first_sector, sectors);
        const std::uint32_t slack = SlackAfter(*file, index * volume.sectors_per_cluster + within + sectors);
        return FatBatchWriteData(volume, first_sector, write_from, sectors, slack) ? sectors : 0;
    }
    return FatMediaRead(volume, first_sector, read_into, sectors) ? sectors : 0;
}

// --- the record's sector buffer ------------------------------------------

bool WriteBackBuffer(FatFile* file) {
    if (!file->buffer_dirty) return true;
    if (FatWriteFileSectors(file, file->buffered_sector, file->sector_buffer, 1) != 1) return false;
    file->buffer_dirty = 0;
    return true;
}

// Brings a sector into the buffer. A sector wholly past the end of the
// data holds nothing worth reading and starts out zeroed.
bool BufferSector(FatFile* file, std::uint32_t sector_index, bool for_write) {
    if (file->buffered_sector == sector_index) return true;
    if (!WriteBackBuffer(file)) return false;
    file->buffered_sector = kFatNoSector;
    const bool past_data = std::uint64_t{sector_index} * kSectorSize >= file->size;
    if (for_write && past_data) {
        std::memset(file->sector_buffer, 0, kSectorSize);
    } else if (FatReadFileSectors(file, sector_index, file->sector_buffer, 1) != 1) {
        return false;
    }
    file->buffered_sector = sector_index;
    file->buffer_dirty = 0;
    return true;
}

// Frees clusters past the ones the size needs (left by a failed extension
// or a failed write); an empty file keeps no cluster. False when part of
// the chain could not be freed (those clusters are lost, never reused).
bool TrimChain(FatFile* file) {
    FatVolume& volume = *file->volume;
    file->chain_may_overhang = 0;
    if (file->first_cluster == 0) return true;
    const std::uint32_t needed = file->size == 0 ? 0 : (file->size - 1) / ClusterBytes(volume) + 1;
    bool freed = true;
    if (needed == 0) {
        freed = FatFreeChain(volume, file->first_cluster) == 1;
        file->first_cluster = 0;
        file->size_changed = 1;
    } else {
        std::uint32_t cluster, last, last_index;
        if (FindCluster(file, needed - 1, &cluster, &last, &last_index) != ChainLookup::kFound) return false;
        const std::uint32_t next = FatNextCluster(volume, cluster);
        if (next == kFatChainUnreadable) return false;
        if (next != kFatEndOfChain && next != kFatFree)
            freed = FatSetClusterEntry(volume, cluster, kFatEndOfChain) && FatFreeChain(volume, next);
    }
    if (file->clusters.size() > needed) file->clusters.resize(needed);
    return freed;
}

// The entry names the new chain now: the old one goes.
bool FinishReplace(FatFile* file) {
    FatVolume& volume = *file->volume;
    const std::uint32_t old_chain = file->replaced_cluster;
    file->replacing = 0;
    file->replaced_cluster = 0;
    const bool freed = !FatIsDataCluster(volume, old_chain) || FatFreeChain(volume, old_chain);
    return FatFlushCache(volume) && freed;
}

// The entry of a new file, written whole once its data and FAT are on the
// medium. When it cannot be written (the name was taken meanwhile, the
// folder is full) the file's clusters are freed: no chain stays without an
// entry.
bool WritePendingEntry(FatFile* file) {
    FatVolume& volume = *file->volume;
    FatCreatePlan plan;
    bool written = false;
    if (!FatPlanNewEntry(volume, file->parent_cluster, file->name, &plan)) {
        FatNoteFailure(volume, fat::Result::BadName);
    } else if (FatPlanAccepts(volume, file->parent_cluster, plan)) {
        std::uint8_t entry[kFatEntrySize];
        FatFillShortEntry(entry, plan.short_name, kArchive, file->first_cluster, file->create_stamp);
        FatStore32(entry + kSize, file->size);
        written = FatWriteEntrySet(volume, file->parent_cluster, plan, file->name, entry, &file->entry_at, nullptr);
    }
    if (!written) {
        if (FatIsDataCluster(volume, file->first_cluster)) FatFreeChain(volume, file->first_cluster);
        file->first_cluster = 0;
        file->size = 0;
        file->clusters.clear();
        FatFlushCache(volume);
        return false;
    }
    std::memcpy(file->short_name, plan.short_name, kFatShortNameSize);
    file->entry_pending = 0;
    file->size_changed = 0;
    return true;
}

// FAT first, then the entry: a failure in between leaves lost clusters at
// worst, never an entry pointing at clusters the FAT does not hold. For a
// replace the entry write is the moment the new content takes the old's
// place; a power cut on either side of it leaves one whole file.
bool FlushRecord(FatFile* file) {
    FatVolume& volume = *file->volume;
    bool ok = WriteBackBuffer(file);
    if (file->chain_may_overhang && !TrimChain(file)) ok = false;
    if (!FatFlushCache(volume)) return false;
    if (!ok && file->replacing) return false;  // the old content stays whole
    if (file->entry_pending) return WritePendingEntry(file) && ok;
    if (file->size_changed) {
        const FatStamp* stamp = file->replacing ? &file->replace_stamp : nullptr;
        if (FatStoreEntryFields(volume, file->parent_cluster, file->entry_at, file->short_name, file->size,
                                file->first_cluster, stamp)) {
            file->size_changed = 0;
            if (file->replacing && !FinishReplace(file)) ok = false;
        } else {
            ok = false;
        }
    }
    return ok;
}

// --- opening -------------------------------------------------------------

bool FindParent(FatFile* file, const char* path) {
    if (FatSplitPath(path, file->name, file->directory) != 0 || FatIsDotName(file->name)) {
        FatNoteFailure(*file->volume, fat::Result::BadName);
        return false;
    }
    if (file->directory[0] == '\0') {
        file->parent_cluster = file->volume->root_cluster;
        return true;
    }
    return FatResolveDirectory(*file->volume, file->directory, &file->parent_cluster) == 1;
}

// Why a found entry cannot be opened or deleted as a file, or Ok.
fat::Result FileRefusal(FatVolume& volume, std::uint32_t parent_cluster, const FatFoundEntry& found) {
    if (!FatIsFileEntry(found.entry)) return fat::Result::IsADirectory;
    if (FatIsEntryOpen(volume, parent_cluster, found.entry)) return fat::Result::Busy;
    return fat::Result::Ok;
}

// The entry a split path names, or false with the reason noted.
bool LocateNamed(FatVolume& volume, const FatFile& split, FatFoundEntry* found) {
    if (FatLocateEntry(volume, split.parent_cluster, split.name, found)) return true;
    FatNoteFailure(volume, fat::Result::NotFound);
    return false;
}

FatFile& ScratchRecord(FatVolume& volume) {
    FatFile& scratch = PoolOf(volume).scratch;
    ClearRecord(&scratch);
    return scratch;
}

bool OpenExisting(FatFile* file, const FatFoundEntry& found) {
    if (const fat::Result refusal = FileRefusal(*file->volume, file->parent_cluster, found);
        refusal != fat::Result::Ok) {
        FatNoteFailure(*file->volume, refusal);
        return false;
    }
    std::memcpy(file->short_name, found.entry, kFatShortNameSize);
    file->first_cluster = FatEntryFirstCluster(found.entry);
    file->size = FatEntrySizeField(found.entry);
    file->entry_at = found.where;
    return true;
}

// A file written in place must own the clusters its size needs: growing
// from a size the chain never reached would first allocate the gap (up to
// the whole volume) and fill it with whatever the clusters held.
bool ChainHoldsSize(FatFile* file) {
    if (file->size == 0) return true;
    FatVolume& volume = *file->volume;
    const std::uint32_t needed = (file->size - 1) / ClusterBytes(volume);
    std::uint32_t cluster, last, last_index;
    if (FindCluster(file, needed, &cluster, &last, &last_index) == ChainLookup::kFound) return true;
    FatReportDamage(volume, "file is larger than its cluster chain", file->first_cluster);
    return false;
}

// The file reads as empty from here on and takes the new write time; the
// medium keeps the old content until the first flush (FlushRecord).
void BeginReplace(FatFile* file, const char* stamp) {
    file->replacing = 1;
    file->replaced_cluster = file->first_cluster;
    file->replace_stamp = FatParseStamp(stamp);
    file->first_cluster = 0;
    file->size = 0;
    file->size_changed = 1;
}

bool CreateFile(FatFile* file, const FatCreatePlan& plan, const char* stamp) {
    FatVolume& volume = *file->volume;
    if (!FatPlanAccepts(volume, file->parent_cluster, plan)) return false;
    std::uint8_t entry[kFatEntrySize];
    FatFillShortEntry(entry, plan.short_name, kArchive, 0, FatParseStamp(stamp));
    if (!FatWriteEntrySet(volume, file->parent_cluster, plan, file->name, entry, &file->entry_at, nullptr))
        return false;
    std::memcpy(file->short_name, plan.short_name, kFatShortNameSize);
    return true;
}

// A new file whose entry waits for its first flush: the name is checked
// now (so the open fails as it would have), the entry is written later.
bool DeferCreate(FatFile* file, const FatCreatePlan& plan, const char* stamp) {
    if (!FatPlanAccepts(*file->volume, file->parent_cluster, plan)) return false;
    file->entry_pending = 1;
    file->create_stamp = FatParseStamp(stamp);
    return true;
}

bool OpenRecord(FatFile* file, std::uint8_t flags, const char* path, const char* stamp, bool defer_entry) {
    FatVolume& volume = *file->volume;
    if (!(flags & (FAT_OPEN_READ | FAT_OPEN_CREATE))) {
        FatNoteFailure(volume, fat::Result::Invalid);
        return false;
    }
    if (!FindParent(file, path)) return false;
    FatFoundEntry found;
    bool exists;
    FatCreatePlan plan;
    if (flags & FAT_OPEN_CREATE) {
        if (!FatPlanNewEntry(volume, file->parent_cluster, file->name, &plan, &found)) {
            FatNoteFailure(volume, fat::Result::BadName);
            return false;
        }
        exists = plan.name_taken;
    } else {
        exists = FatLocateEntry(volume, file->parent_cluster, file->name, &found) == 1;
    }
    if (exists) {
        if (!OpenExisting(file, found)) return false;
        const bool erase = (flags & FAT_OPEN_ERASE) && !(flags & FAT_OPEN_APPEND);
        if (!erase && (flags & FAT_OPEN_WRITE) && !ChainHoldsSize(file)) return false;
        if (erase) BeginReplace(file, stamp);
    } else if (!(flags & FAT_OPEN_CREATE)) {
        FatNoteFailure(volume, fat::Result::NotFound);
        return false;
    } else if (!(defer_entry ? DeferCreate(file, plan, stamp) : CreateFile(file, plan, stamp))) {
        return false;
    } else {
        file->created = 1;
    }
    file->flags = flags;
    FatFlushCache(volume);
    return true;
}

FatFile* OpenWithFlags(FatVolume& volume, std::uint8_t flags, const char* path, const char* stamp,
                       bool defer_entry = false) {
    if (!FatRequireMounted(volume) || !FatRequirePath(volume, path)) return nullptr;
    if ((flags & kWriteFlags) && !FatCanWrite(volume)) flags &= static_cast<std::uint8_t>(~kWriteFlags);
    FatFile* file = TakeRecord(volume);
    if (!file) {
        FatNoteFailure(volume, fat::Result::Busy);
        return nullptr;
    }
    ClearRecord(file);
    if (!OpenRecord(file, flags, path, stamp, defer_entry)) {
        ReleaseRecord(volume, file);
        return nullptr;
    }
    return file;
}

// --- directories ---------------------------------------------------------

// "." names the directory itself, ".." its parent (0 for the root).
void FillDotEntries(const FatVolume& volume, std::uint8_t* sector, std::uint32_t self, std::uint32_t parent,
                    const FatStamp& stamp) {
    std::uint8_t name[kFatShortNameSize];
    std::memset(name, ' ', sizeof name);
    name[0] = kDot;
    FatFillShortEntry(sector, name, kDirectory, self, stamp);
    name[1] = kDot;
    const std::uint32_t parent_field = parent == volume.root_cluster ? 0 : parent;
    FatFillShortEntry(sector + kFatEntrySize, name, kDirectory, parent_field, stamp);
}

bool WriteDirectoryCluster(FatVolume& volume, std::uint32_t cluster, std::uint32_t parent, const FatStamp& stamp) {
    std::uint8_t sector[kSectorSize] = {};
    FillDotEntries(volume, sector, cluster, parent, stamp);
    return FatWriteFreshDirCluster(volume, cluster, sector) == 1;
}

int MakeDirectory(FatVolume& volume, const char* path, const char* stamp) {
    if (!FatRequireMounted(volume) || !FatRequirePath(volume, path) || !FatCanWrite(volume)) return 0;
    FatFile& scratch = ScratchRecord(volume);
    if (!FindParent(&scratch, path)) return 0;
    FatCreatePlan plan;
    if (!FatPlanNewEntry(volume, scratch.parent_cluster, scratch.name, &plan)) {
        FatNoteFailure(volume, fat::Result::BadName);
        return 0;
    }
    if (!FatPlanAccepts(volume, scratch.parent_cluster, plan)) return 0;
    const FatStamp when = FatParseStamp(stamp);
    std::uint32_t cluster;
    if (!FatAllocateCluster(volume, &cluster)) return 0;
    std::uint8_t entry[kFatEntrySize];
    FatFillShortEntry(entry, plan.short_name, kDirectory, cluster, when);
    // The cluster is ready and the FAT holds it before any entry names it.
    const bool done = WriteDirectoryCluster(volume, cluster, scratch.parent_cluster, when) &&
                      FatFlushCache(volume) &&
                      FatWriteEntrySet(volume, scratch.parent_cluster, plan, scratch.name, entry, nullptr, nullptr);
    if (!done) FatFreeChain(volume, cluster);
    FatFlushCache(volume);
    return done ? 1 : 0;
}

bool DirectoryIsEmpty(FatVolume& volume, std::uint32_t start) {
    FatDirScanner scan(volume, start);
    while (scan.Next()) {
        const std::uint8_t* entry = scan.Entry();
        if (FatIsUsedShortEntry(entry) && !FatIsDotEntry(entry)) return false;
    }
    return scan.Status() == FatDirStatus::kEnd;
}

// --- removing a whole tree ------------------------------------------------

// Every folder below `top` (not top itself) in the order found, each
// parent before its children; false when a folder entry points outside the
// volume or at a folder met before (a loop on a damaged volume: reported)
// or when the tree holds hidden or system entries, and nothing may then be
// deleted.
bool CollectFolders(FatVolume& volume, std::uint32_t top, std::vector<std::uint32_t>* folders) {
    std::unordered_set<std::uint32_t> seen{top, volume.root_cluster};
    std::vector<std::uint32_t> pending{top};
    while (!pending.empty()) {
        const std::uint32_t folder = pending.back();
        pending.pop_back();
        FatDirScanner scan(volume, folder);
        while (scan.Next()) {
            const std::uint8_t* entry = scan.Entry();
            // What a listing never shows is never removed behind the user's
            // back, nor the folders holding it.
            if (scan.Class() == FatSlotClass::kHidden && !FatIsDotEntry(entry)) {
                FatNoteFailure(volume, fat::Result::NotEmpty);
                return false;
            }
            if (!FatIsUsedShortEntry(entry) || FatIsDotEntry(entry) || !FatIsDirectoryEntry(entry)) continue;
            const std::uint32_t child = FatEntryFirstCluster(entry);
            if (!FatIsDataCluster(volume, child)) {
                FatReportDamage(volume, "directory entry points outside the volume", child);
                return false;
            }
            if (!seen.insert(child).second) {
                FatReportDamage(volume, "directory tree loops", child);
                return false;
            }
            folders->push_back(child);
            pending.push_back(child);
        }
        if (scan.Status() != FatDirStatus::kEnd) return false;
    }
    return true;
}

// Whether a file of the pool is open in one of these folders.
bool AnyOpenIn(FatVolume& volume, std::uint32_t top, const std::vector<std::uint32_t>& folders) {
    for (const FatFile* record = PoolOf(volume).open_list; record; record = record->next) {
        if (record->parent_cluster == top) return true;
        if (std::find(folders.begin(), folders.end(), record->parent_cluster) != folders.end()) return true;
    }
    return false;
}

// Deletes every entry of a folder whose subfolders are empty already, in
// one pass. Each sector is written once with all its entries deleted; the
// clusters of those entries are freed only after that sector is on the
// medium, so a power cut leaves lost clusters at worst. Long-name parts go
// with the sector they are in, before their short entry: a cut between
// leaves a short entry without its long name, which is no damage.
bool EmptyFolder(FatVolume& volume, std::uint32_t folder) {
    std::vector<std::uint32_t> written_chains, pending_chains;
    std::uint32_t pending_sector = 0;
    bool freed = true;
    auto free_written = [&] {
        for (std::uint32_t chain : written_chains)
            if (FatIsDataCluster(volume, chain) && !FatFreeChain(volume, chain)) freed = false;
        written_chains.clear();
    };
    FatDirScanner scan(volume, folder);
    while (scan.Next()) {
        if (scan.Where().sector_index != pending_sector) {
            // The scan wrote the sector before it moved on.
            pending_sector = scan.Where().sector_index;
            written_chains.swap(pending_chains);
            free_written();
        }
        std::uint8_t* entry = scan.Entry();
        const bool part = scan.Class() == FatSlotClass::kLongNamePart;
        if (!part && (!FatIsUsedShortEntry(entry) || FatIsDotEntry(entry))) continue;
        if (!part) pending_chains.push_back(FatEntryFirstCluster(entry));
        entry[fatentry::kName] = fatentry::kDeleted;
        scan.MarkDirty();
    }
    if (!scan.Finish() || scan.Status() != FatDirStatus::kEnd) return false;
    written_chains.swap(pending_chains);
    free_written();
    return freed;
}

}  // namespace

namespace {

// The entry a removal names and the folder holding it; false with the
// reason noted (the root is never removed).
bool LocateToRemove(FatVolume& volume, const char* path, std::uint32_t* parent, FatFoundEntry* found) {
    if (!FatRequireMounted(volume) || !FatRequirePath(volume, path) || !FatCanWrite(volume)) return false;
    if (FatPathIsRoot(path)) {
        FatNoteFailure(volume, fat::Result::Invalid);
        return false;
    }
    FatFile& split = ScratchRecord(volume);
    if (!FindParent(&split, path) || !LocateNamed(volume, split, found)) return false;
    *parent = split.parent_cluster;
    return true;
}

}  // namespace

int FatRemoveTree(FatVolume& volume, const char* path) {
    FatOperationScope scope(volume);
    FatFoundEntry found;
    std::uint32_t parent;
    if (!LocateToRemove(volume, path, &parent, &found)) return 0;
    if (!FatIsDirectoryEntry(found.entry)) return FatDeleteFile(volume, path) == 0 ? 1 : 0;
    const std::uint32_t top = FatEntryFirstCluster(found.entry);
    if (!FatIsDataCluster(volume, top)) {
        FatReportDamage(volume, "directory entry points outside the volume", top);
        return 0;
    }
    std::vector<std::uint32_t> folders;
    if (!CollectFolders(volume, top, &folders)) return 0;
    if (AnyOpenIn(volume, top, folders)) {
        FatNoteFailure(volume, fat::Result::Busy);
        return 0;
    }
    // Children before their parents: each folder is emptied after every
    // folder below it, so its own subfolder entries name empty folders.
    for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder)
        if (!EmptyFolder(volume, *folder)) return 0;
    if (!EmptyFolder(volume, top)) return 0;
    // The folder's own entry goes first, then its clusters, as for rmdir.
    if (!FatDeleteFoundEntry(volume, parent, found)) return 0;
    const bool freed = FatFreeChain(volume, top) == 1;
    return FatFlushCache(volume) && freed ? 1 : 0;
}

void FatResetFiles(FatVolume& volume) {
    if (!volume.state->files) volume.state->files.reset(new FatFilePool());
    FatFilePool& pool = *volume.state->files;
    pool.free_list = pool.open_list = nullptr;
    for (FatFile& record : pool.records) {
        ClearRecord(&record);
        record.volume = &volume;
        AppendTo(pool.free_list, &record);
    }
    pool.scratch.volume = &volume;
}

void FatEnsureFilePool(FatVolume& volume) {
    if (!volume.state->files) FatResetFiles(volume);
}

void FatResetFiles() { FatResetFiles(FatTheVolume()); }

void FatEnsureFilePool() { FatEnsureFilePool(FatTheVolume()); }

bool FatIsEntryOpen(FatVolume& volume, std::uint32_t parent_cluster, const std::uint8_t* short_name) {
    for (const FatFile* record = PoolOf(volume).open_list; record; record = record->next) {
        if (record->parent_cluster == parent_cluster &&
            std::memcmp(record->short_name, short_name, kFatShortNameSize) == 0)
            return true;
    }
    return false;
}

FatFile* FatOpenFile(FatVolume& volume, const char* mode, const char* path) {
    FatOperationScope scope(volume);
    if (!mode) {
        FatNoteFailure(volume, fat::Result::Invalid);
        return nullptr;
    }
    return OpenWithFlags(volume, ParseMode(mode), path, nullptr);
}

namespace {

// The entry a listing record names, when it is still there and still the
// same file: read from its slot, no search.
bool LocateListed(FatVolume& volume, const FatEntryLocation& listed, FatFoundEntry* found) {
    FatDirScanner scan(volume, listed.parent_cluster, FatSlotRef{listed.entry_sector, listed.entry_slot});
    if (!scan.Next() || scan.Class() != FatSlotClass::kVisible ||
        std::memcmp(scan.Entry(), listed.short_name, kFatShortNameSize) != 0 ||
        FatEntryFirstCluster(scan.Entry()) != listed.first_cluster) {
        FatNoteFailure(volume, fat::Result::NotFound);
        return false;
    }
    std::memcpy(found->entry, scan.Entry(), kFatEntrySize);
    found->where = scan.Where();
    return true;
}

}  // namespace

FatFile* FatOpenListed(FatVolume& volume, const FatEntryLocation& listed) {
    FatOperationScope scope(volume);
    if (!FatRequireMounted(volume)) return nullptr;
    FatFile* file = TakeRecord(volume);
    if (!file) {
        FatNoteFailure(volume, fat::Result::Busy);
        return nullptr;
    }
    ClearRecord(file);
    file->parent_cluster = listed.parent_cluster;
    FatFoundEntry found;
    if (!LocateListed(volume, listed, &found) || !OpenExisting(file, found)) {
        ReleaseRecord(volume, file);
        return nullptr;
    }
    file->flags = FAT_OPEN_READ | FAT_OPEN_RAW;
    return file;
}

FatFile* FatOpenWriteStamped(FatVolume& volume, const char* path, const char* stamp) {
    FatOperationScope scope(volume);
    return OpenWithFlags(volume, FAT_OPEN_WRITE | FAT_OPEN_ERASE | FAT_OPEN_CREATE, path, stamp, true);
}

namespace {

// Where the next piece of a read or write stands: whole sectors go straight
// between the caller and the medium, anything else through the sector buffer.
struct FileStep {
    std::uint32_t remaining;
    std::uint32_t sector_index;
    std::uint32_t offset;
    bool WholeSectors() const { return offset == 0 && remaining >= kSectorSize; }
};

FileStep NextStep(const FatFile& file, std::uint32_t remaining) {
    return {remaining, file.position / kSectorSize, file.position % kSectorSize};
}

// Whole sectors with a partial sector after them are sent together up to
// this size; copying more would cost more than the transfer it saves.
constexpr std::uint32_t kMergedTailLimit = 32 * 1024;

// Where the sector after the whole ones starts from when a write ends
// part-way into it, exactly as BufferSector would give it: the buffer when
// it holds that sector, zeros past the data; null when only a read of the
// medium could tell.
const std::uint8_t* TailBase(const FatFile& file, std::uint32_t tail_index) {
    static const std::uint8_t kZeroSector[kSectorSize] = {};
    if (file.buffered_sector == tail_index) return file.sector_buffer;
    if (std::uint64_t{tail_index} * kSectorSize >= file.size) return kZeroSector;
    return nullptr;
}

// The whole sectors of a write go straight to the medium. When the write
// ends part-way into a sector of the same cluster (a small file's last
// sector, mostly), that sector goes along in the same transfer instead of
// waiting in the buffer for one of its own at the flush: the same bytes
// reach the same sectors, still before the FAT and the entry. The sector
// stays in the buffer, clean, for a write that continues it. Bytes taken.
std::uint32_t WriteWholeSectors(FatFile* file, const FileStep& step, const std::uint8_t* from) {
    const FatVolume& volume = *file->volume;
    const std::uint32_t whole = step.remaining / kSectorSize;
    const std::uint32_t tail = step.remaining % kSectorSize;
    const std::uint32_t tail_index = step.sector_index + whole;
    const std::uint8_t* tail_base = nullptr;
    if (tail != 0 && step.remaining <= kMergedTailLimit && tail_index % volume.sectors_per_cluster != 0)
        tail_base = TailBase(*file, tail_index);
    if (!tail_base) return FatWriteFileSectors(file, step.sector_index, from, whole) * kSectorSize;
    std::vector<std::uint8_t> run((whole + 1) * kSectorSize);
    std::uint8_t* tail_sector = run.data() + whole * kSectorSize;
    std::memcpy(tail_sector + tail, tail_base + tail, kSectorSize - tail);
    std::memcpy(run.data(), from, step.remaining);
    const std::uint32_t moved = FatWriteFileSectors(file, step.sector_index, run.data(), whole + 1);
    // A chain that is not contiguous takes the rest in the next step.
    if (moved <= whole) return moved * kSectorSize;
    std::memcpy(file->sector_buffer, tail_sector, kSectorSize);
    file->buffered_sector = tail_index;
    file->buffer_dirty = 0;
    return step.remaining;
}

}  // namespace

int FatReadFile(FatVolume& volume, FatFile* file, std::uint32_t length, std::uint8_t* buffer) {
    FatOperationScope scope(volume);
    if (!RequireOpen(volume, file) || !buffer || !(file->flags & FAT_OPEN_READ)) {
        FatNoteFailure(volume, fat::Result::Invalid);
        return -1;
    }
    if (length == 0) return 0;
    if (file->position >= file->size) return -1;
    length = std::min(length, file->size - file->position);
    // The result is an int: one call reads at most INT_MAX bytes.
    length = std::min<std::uint32_t>(length, 0x7FFFFFFF);
    std::uint32_t done = 0;
    while (done < length) {
        const FileStep step = NextStep(*file, length - done);
        const std::uint32_t remaining = step.remaining, sector_index = step.sector_index, offset = step.offset;
        std::uint32_t moved;
        if (step.WholeSectors()) {
            if (!WriteBackBuffer(file)) break;
            moved = FatReadFileSectors(file, sector_index, buffer + done, remaining / kSectorSize) * kSectorSize;
            if (moved == 0) break;
        } else {
            if (!BufferSector(file, sector_index, false)) break;
            moved = std::min(kSectorSize - offset, remaining);
            std::memcpy(buffer + done, file->sector_buffer + offset, moved);
        }
        done += moved;
        file->position += moved;
    }
    return static_cast<int>(done);
}

int FatWriteFile(FatVolume& volume, FatFile* file, const std::uint8_t* buffer, std::uint32_t length) {
    FatOperationScope scope(volume);
    if (volume.state->operation_depth == 1) volume.state->fat_flush_waits_for_file = true;
    if (!RequireOpen(volume, file) || !(file->flags & FAT_OPEN_WRITE) || (!buffer && length)) {
        FatNoteFailure(volume, fat::Result::Invalid);
        return -1;
    }
    if (file->flags & FAT_OPEN_APPEND) file->position = file->size;
    // Nothing goes past 4 GiB - 1, and the count must fit the int result.
    length = std::min(length, kLargestFileSize - file->position);
    length = std::min<std::uint32_t>(length, 0x7FFFFFFF);
    file->extend_failed = 0;
    std::uint32_t done = 0;
    while (done < length && !file->extend_failed) {
        const FileStep step = NextStep(*file, length - done);
        const std::uint32_t remaining = step.remaining, sector_index = step.sector_index, offset = step.offset;
        std::uint32_t moved;
        if (step.WholeSectors()) {
            if (!WriteBackBuffer(file)) break;
            if (file->buffered_sector != kFatNoSector && file->buffered_sector >= sector_index &&
                file->buffered_sector - sector_index < remaining / kSectorSize)
                file->buffered_sector = kFatNoSector;
            moved = WriteWholeSectors(file, step, buffer + done);
            if (moved == 0) break;
        } else {
            if (!BufferSector(file, sector_index, true)) break;
            moved = std::min(kSectorSize - offset, remaining);
            std::memcpy(file->sector_buffer + offset, buffer + done, moved);
            file->buffer_dirty = 1;
        }
        done += moved;
        file->position += moved;
        if (file->position > file->size) {
            file->size = file->position;
            file->size_changed = 1;
        }
    }
    return static_cast<int>(done);
}

int FatFlushFile(FatVolume& volume, FatFile* file) {
    FatOperationScope scope(volume);
    if (!RequireOpen(volume, file)) return -1;
    return FlushRecord(file) ? 0 : -1;
}

int FatCloseFile(FatVolume& volume, FatFile* file) {
    FatOperationScope scope(volume);
    if (!RequireOpen(volume, file)) return -1;
    const bool flushed = FlushRecord(file);
    ClearRecord(file);
    ReleaseRecord(volume, file);
    return FatFlushCache(volume) && flushed ? 0 : -1;
}

void FatAbandonFile(FatVolume& volume, FatFile* file) {
    FatOperationScope scope(volume);
    if (!RequireOpen(volume, file)) return;
    if (file->replacing || file->created) {
        file->buffer_dirty = 0;
        // No entry may name the chain once it is freed: a created file's
        // entry goes first (one still waiting for its flush has none).
        const bool entry_gone = !file->created || file->entry_pending ||
                                FatMarkEntryDeleted(volume, file->parent_cluster, file->short_name) == 1;
        if (entry_gone && FatIsDataCluster(volume, file->first_cluster))
            FatFreeChain(volume, file->first_cluster);
    } else {
        FlushRecord(file);
    }
    ClearRecord(file);
    ReleaseRecord(volume, file);
    FatFlushCache(volume);
}

int FatDeleteFile(FatVolume& volume, const char* path) {
    FatOperationScope scope(volume);
    if (!FatRequireMounted(volume) || !FatRequirePath(volume, path) || !FatCanWrite(volume)) return -1;
    FatFile& scratch = ScratchRecord(volume);
    if (!FindParent(&scratch, path)) return -1;
    FatFoundEntry found;
    if (!LocateNamed(volume, scratch, &found)) return -1;
    if (const fat::Result refusal = FileRefusal(volume, scratch.parent_cluster, found); refusal != fat::Result::Ok) {
        FatNoteFailure(volume, refusal);
        return -1;
    }
    // The entry goes first: a failure after it leaves lost clusters at worst.
    if (!FatDeleteFoundEntry(volume, scratch.parent_cluster, found))
        return -1;
    // A chain that could not be freed stays allocated: space lost, said so.
    const std::uint32_t first = FatEntryFirstCluster(found.entry);
    const bool freed = !FatIsDataCluster(volume, first) || FatFreeChain(volume, first);
    return FatFlushCache(volume) && freed ? 0 : -1;
}

int FatMakeDirectoryStamped(FatVolume& volume, const char* path, const char* stamp) {
    FatOperationScope scope(volume);
    return MakeDirectory(volume, path, stamp);
}

int FatRemoveDirectory(FatVolume& volume, const char* path) {
    FatOperationScope scope(volume);
    FatFoundEntry found;
    std::uint32_t parent;
    if (!LocateToRemove(volume, path, &parent, &found)) return 0;
    if (!FatIsDirectoryEntry(found.entry)) {
        FatNoteFailure(volume, fat::Result::NotADirectory);
        return 0;
    }
    const std::uint32_t first = FatEntryFirstCluster(found.entry);
    if (!FatIsDataCluster(volume, first)) {
        FatReportDamage(volume, "directory entry points outside the volume", first);
        return 0;
    }
    if (!DirectoryIsEmpty(volume, first)) {
        FatNoteFailure(volume, fat::Result::NotEmpty);
        return 0;
    }
    if (!FatDeleteFoundEntry(volume, parent, found)) return 0;
    const bool freed = FatFreeChain(volume, first) == 1;
    return FatFlushCache(volume) && freed ? 1 : 0;
}

std::uint32_t FatReadFileSectors(FatFile* file, std::uint32_t sector_index, std::uint8_t* buffer,
                                 std::uint32_t count) {
    if (!file || count == 0) return 0;
    FatVolume& volume = *file->volume;
    const std::uint32_t index = sector_index / volume.sectors_per_cluster;
    std::uint32_t cluster, last, last_index;
    if (FindCluster(file, index, &cluster, &last, &last_index) != ChainLookup::kFound) return 0;
    return TransferRun(file, index, cluster, sector_index % volume.sectors_per_cluster, buffer, nullptr, count);
}

std::uint32_t FatWriteFileSectors(FatFile* file, std::uint32_t sector_index, const std::uint8_t* buffer,
                                  std::uint32_t count) {
    if (!file || count == 0) return 0;
    FatVolume& volume = *file->volume;
    if (!FatCanWrite(volume)) return 0;
    const std::uint32_t index = sector_index / volume.sectors_per_cluster;
    const auto through =
        static_cast<std::uint32_t>((std::uint64_t{sector_index} + count - 1) / volume.sectors_per_cluster);
    // Enough clusters for the whole request in one step; when the volume
    // fills part-way, what was linked is still written.
    if (!GrowChainThrough(file, through)) file->extend_failed = 1;
    std::uint32_t cluster, last, last_index;
    if (FindCluster(file, index, &cluster, &last, &last_index) != ChainLookup::kFound) return 0;
    const std::uint32_t moved =
        TransferRun(file, index, cluster, sector_index % volume.sectors_per_cluster, nullptr, buffer, count);
    if (moved < count) file->chain_may_overhang = 1;
    return moved;
}

// The classic calls work on the default volume.

FatFile* FatOpenFile(const char* mode, const char* path) { return FatOpenFile(FatTheVolume(), mode, path); }

FatFile* FatOpenWriteStamped(const char* path, const char* stamp) {
    return FatOpenWriteStamped(FatTheVolume(), path, stamp);
}

int FatReadFile(FatFile* file, std::uint32_t length, std::uint8_t* buffer) {
    return FatReadFile(FatTheVolume(), file, length, buffer);
}

int FatWriteFile(FatFile* file, const std::uint8_t* buffer, std::uint32_t length) {
    return FatWriteFile(FatTheVolume(), file, buffer, length);
}

int FatFlushFile(FatFile* file) { return FatFlushFile(FatTheVolume(), file); }

void FatCloseFile(FatFile* file) { FatCloseFile(FatTheVolume(), file); }

void FatAbandonFile(FatFile* file) { FatAbandonFile(FatTheVolume(), file); }

int FatDeleteFile(const char* path) { return FatDeleteFile(FatTheVolume(), path); }

int FatMakeDirectory(const char* path) { return FatMakeDirectoryStamped(FatTheVolume(), path, nullptr); }

int FatMakeDirectoryStamped(const char* path, const char* stamp) {
    return FatMakeDirectoryStamped(FatTheVolume(), path, stamp);
}

int FatRemoveDirectory(const char* path) { return FatRemoveDirectory(FatTheVolume(), path); }
