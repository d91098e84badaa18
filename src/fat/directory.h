// Directories: their sectors, scanning slot by slot, lookup, free slots,
// new entries and the in-place edits of an existing entry.
#pragma once

#include <cstdint>

#include "fat/dir_entry.h"
#include "fat/long_name.h"
#include "fat/volume.h"

// No directory may hold more entries than this; it also bounds every scan.
constexpr std::uint32_t kFatMaxDirEntries = 65536;
constexpr std::uint32_t kFatMaxDirSectors = kFatMaxDirEntries / kFatSlotsPerSector;
// Numeric tails tried after the plain short name: 1 .. kFatMaxTail, more
// than a folder can hold entries, so a free one is always found.
constexpr std::uint32_t kFatMaxTail = 99999;

struct FatSlotRef {
    std::uint32_t sector_index;
    std::uint32_t slot;
};

enum class FatDirStatus { kOk, kEnd, kFailed };

// A position in a directory's cluster chain, so that walking the sectors in
// order costs one FAT step per cluster. Loops in the chain are caught.
struct FatDirChain {
    std::uint32_t start;
    std::uint32_t cluster_index;
    std::uint32_t cluster;
    std::uint32_t loop_mark;
    std::uint32_t loop_power;
    std::uint32_t loop_length;
};

void FatDirChainBegin(FatVolume& volume, FatDirChain* chain, std::uint32_t start);
// Forgets the remembered cluster lists of folders (a mount).
void FatDirMapsReset(FatVolume& volume);
// Absolute sector of directory sector `index`: kOk, kEnd past the end, or
// kFailed for a damaged chain.
FatDirStatus FatDirSectorNumber(FatVolume& volume, FatDirChain* chain, std::uint32_t index,
                                std::uint32_t* sector);

// Loads directory sector `index` into the volume sector buffer: nonzero, or
// 0 past the end of the directory or on a read failure.
int FatReadDirSector(FatVolume& volume, std::uint32_t sector_index, std::uint32_t start_cluster);

// Visits the slots of a directory in order, sorting them into classes and
// collecting long names. The current slot lives in the volume sector
// buffer; edits mark it dirty and reach the medium before the scan moves to
// another sector (or at Finish).
class FatDirScanner {
public:
    FatDirScanner(FatVolume& volume, std::uint32_t start, FatSlotRef from = {0, 0});
    // Advances to the next slot: true, or false at the end or on a failure.
    bool Next();
    std::uint8_t* Entry() { return volume_.sector_buffer + where_.slot * kFatEntrySize; }
    FatSlotClass Class() const { return class_; }
    FatSlotRef Where() const { return where_; }
    // For a visible entry: whether whole long-name parts in front belong to
    // it. Worked out on the first call for the slot (the checksum is the
    // dearest part of a scan), so ask before editing the entry's name.
    bool HasLongName() const;
    // Whole long-name parts stand in front, whatever short entry they belong to.
    bool HasWholeLongName() const {
        return (class_ == FatSlotClass::kVisible || class_ == FatSlotClass::kHidden) &&
               FatLongNameIsWhole(long_name_);
    }
    const FatLongName& LongName() const { return long_name_; }
    FatSlotRef LongNameStart() const { return long_name_start_; }
    // Long-name parts stand right before this slot, whole or not, and where
    // the first of them is: deleting the entry takes them all.
    bool HasPartsBefore() const { return parts_before_; }
    FatSlotRef PartsStart() const { return parts_start_; }
    void MarkDirty() {
        dirty_ = true;
        ++volume_.change_count;
    }
    // The edits of this scan leave every name, short name and free slot as
    // it was (sizes, clusters), or are recorded in the directory index by
    // the caller: their writes do not make the index forget the directory.
    void EditsKeepIndex() { keeps_index_ = true; }
    // Writes a pending edit: true when nothing failed.
    bool Finish();
    // Why the scan ended: kEnd for the clean end of the directory.
    FatDirStatus Status() const { return status_; }
    // At a clean end: the directory's last cluster (0 for the FAT16 root)
    // and how many sectors it has.
    std::uint32_t LastCluster() const { return chain_.cluster; }
    std::uint32_t SectorCount() const { return sector_count_; }

private:
    bool Load(std::uint32_t sector_index);
    bool Fetch(std::uint32_t sector_index, std::uint32_t sector);
    bool WritePending();
    void Classify();

    FatVolume& volume_;
    FatDirChain chain_;
    FatSlotRef where_;
    std::uint32_t absolute_ = kFatNoSector;
    std::uint32_t sector_count_ = 0;
    bool started_ = false;
    bool dirty_ = false;
    bool keeps_index_ = false;
    FatDirStatus status_ = FatDirStatus::kOk;
    FatSlotClass class_ = FatSlotClass::kSkipped;
    FatLongName long_name_;
    FatSlotRef long_name_start_{0, 0};
    FatSlotRef parts_start_{0, 0};
    bool in_parts_ = false;
    bool parts_before_ = false;
    mutable bool has_long_name_ = false;
    mutable bool long_name_checked_ = true;
    bool consumed_ = false;
};

// ASCII-case-insensitive comparison of a sought name with an entry name;
// trailing spaces before the extension and of the extension do not count.
int FatNamesMatch(const char* a, const char* b);

// A visible entry found by name, with where it and its long name sit.
struct FatFoundEntry {
    std::uint8_t entry[kFatEntrySize];
    FatSlotRef where;
    FatSlotRef long_name_start;
    bool has_long_name;
    bool has_parts_before;  // long-name parts right before it, its own or orphans
    FatSlotRef parts_start;
    char name[kFatNameBufferSize];  // the long name, or the listing form of the short name
};

// The visible entry (dot entries aside) whose long name, or 8.3 form when it
// has none, matches: 1, or 0.
int FatLocateEntry(FatVolume& volume, std::uint32_t start, const char* name, FatFoundEntry* found);
int FatFindEntry(FatVolume& volume, std::uint8_t* entry, std::uint32_t start, const char* name);
// Whether an entry in use (hidden ones too) carries exactly these 11 bytes.
int FatShortNameInUse(FatVolume& volume, std::uint32_t start, const std::uint8_t* short_name);
// 1 and the first of `count` free slots in a row (growing the directory when
// needed), or 0.
int FatFindFreeSlots(FatVolume& volume, std::uint32_t start, std::uint32_t count,
                     std::uint32_t* sector_index, std::uint32_t* slot_index);

// What one pass over a directory tells about a new entry for a name: whether
// the name is taken, a short name unique in the directory, and where the
// entry set can go (a run of free slots, or the end of the directory).
struct FatCreatePlan {
    bool name_taken;
    bool name_hidden;               // a hidden or system entry answers to the name

    FatSlotRef taken_at;
    std::uint8_t short_name[kFatShortNameSize];
    bool short_name_found;
    std::uint32_t slots_needed;
    bool run_found;
    FatSlotRef run_start;
    std::uint32_t open_run_length;  // free slots that run up to the end
    FatSlotRef open_run_start;
    bool clean_end;                 // the scan reached the end of an intact directory
    std::uint32_t last_cluster;
    std::uint32_t sector_count;
};
// Plans a new entry named `name`: 1 with the plan, or 0 for a name that
// cannot be stored or a directory that cannot be read. `self`, when given,
// is an entry that does not count as taking the name (a rename's own).
// `found`, when given, receives the entry that takes the name.
int FatPlanNewEntry(FatVolume& volume, std::uint32_t start, const char* name, FatCreatePlan* plan,
                    FatFoundEntry* found = nullptr, const FatSlotRef* self = nullptr);

// Whether the plan's entry set fits: a free run, or room to grow into.
bool FatPlanHasRoom(const FatVolume& volume, std::uint32_t start, const FatCreatePlan& plan);
// Whether a new entry may be written as planned: the name free (hidden and
// system entries count), a short name found, and room for the set. False
// with the reason noted (Exists or NoSpace).
bool FatPlanAccepts(FatVolume& volume, std::uint32_t start, const FatCreatePlan& plan);

// Writes long-name parts for `name` and the given short entry where the
// plan says (growing the directory when needed): 1 with where the short
// entry and its first part went, or 0.
int FatWriteEntrySet(FatVolume& volume, std::uint32_t start, const FatCreatePlan& plan, const char* name,
                     const std::uint8_t* short_entry, FatSlotRef* written_at, FatSlotRef* long_name_at);
int FatWriteNewEntries(FatVolume& volume, std::uint32_t start, const char* long_name,
                       const std::uint8_t* short_name, std::uint32_t first_cluster, int is_directory,
                       const char* stamp);

// Marks a short entry and the long-name parts from long_name_start on
// deleted: 1, or 0 when a write failed.
int FatDeleteEntrySet(FatVolume& volume, std::uint32_t start, FatSlotRef where, bool has_long_name,
                      FatSlotRef long_name_start);
// Marks a found entry deleted with every long-name part right before it:
// parts whose checksum does not match would otherwise outlive it as
// orphans, which checkers count as damage. 1, or 0.
int FatDeleteFoundEntry(FatVolume& volume, std::uint32_t start, const FatFoundEntry& found);
// Stores size and first cluster into the short entry at `where` when it
// still carries short_name; otherwise into the first entry that does.
// A stamp, when given, becomes the entry's write time (a replaced file's).
int FatStoreEntryFields(FatVolume& volume, std::uint32_t start, FatSlotRef where,
                        const std::uint8_t* short_name, std::uint32_t size, std::uint32_t first_cluster,
                        const FatStamp* stamp = nullptr);
int FatSetEntrySize(FatVolume& volume, std::uint32_t start, const std::uint8_t* short_name,
                    std::uint32_t size);
int FatMarkEntryDeleted(FatVolume& volume, std::uint32_t start, const std::uint8_t* short_name);

// Writes one directory sector through the directory cache: 1, or 0.
int FatWriteDirSector(FatVolume& volume, std::uint32_t sector, const std::uint8_t* data);
// Writes a directory cluster afresh in one transfer (a new directory's or an
// extension's): first_sector (its "." and "..") or zeros, then zeros. 1, or 0.
int FatWriteFreshDirCluster(FatVolume& volume, std::uint32_t cluster, const std::uint8_t* first_sector);
// Forgets the volume sector buffer and cached directory sectors a direct
// write covers; called before every write that bypasses the scanner.
void FatDropSectorBuffer(FatVolume& volume, std::uint32_t first_sector, std::uint32_t count);
// "." or "..": names no entry may be created with.
bool FatIsDotName(const char* name);
