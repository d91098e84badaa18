#include "fat/dir_index.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "fat/case_fold.h"
#include "fat/dir_entry.h"
#include "fat/fat_table.h"
#include "fat/long_name.h"
#include "fat/volume_state.h"

using namespace fatentry;

namespace {

// Two open-addressing tables kept at most half full; they grow with the
// folder, so a folder of any size stays indexed.
constexpr std::uint32_t kFirstTableBits = 10;
constexpr std::uint64_t kFnvOffset = 0xCBF29CE484222325ull;
constexpr std::uint64_t kFnvPrime = 0x100000001B3ull;
// Fed between the base and the extension, or instead of an extension: a
// byte no name holds, so "a.b" and "ab" give different keys.
constexpr std::uint8_t kExtensionMark = 0x00;
constexpr std::uint8_t kNoExtensionMark = 0xFF;
constexpr std::uint64_t kEmptyKey = 0;

struct KeySlot {
    std::uint64_t key;
    std::uint32_t generation;  // the slot is in use when it equals the index's
};

struct ShortNameSlot {
    std::uint8_t name[kFatShortNameSize];
    std::uint32_t generation;
};

// Zero pages from the allocator stand for empty slots: a large table costs
// memory only where it is used.
template <typename Slot>
class SlotTable {
public:
    SlotTable() = default;
    SlotTable(const SlotTable&) = delete;
    SlotTable& operator=(const SlotTable&) = delete;
    ~SlotTable() { std::free(slots_); }

    std::uint32_t Capacity() const { return slots_ ? 1u << bits_ : 0; }
    std::uint32_t Count() const { return count_; }
    std::uint32_t First(std::uint64_t hash) const { return static_cast<std::uint32_t>(hash >> (64 - bits_)); }
    std::uint32_t Next(std::uint32_t slot) const { return (slot + 1) & (Capacity() - 1); }
    Slot& operator[](std::uint32_t slot) { return slots_[slot]; }
    const Slot& operator[](std::uint32_t slot) const { return slots_[slot]; }

    // Empties the table for a new generation (0 is never one).
    void Restart() { count_ = 0; }
    void Wipe() {
        if (slots_) std::memset(slots_, 0, sizeof(Slot) * Capacity());
        count_ = 0;
    }
    // Room for one more while staying half full: false when memory ran out.
    template <typename HashOf>
    bool MakeRoom(std::uint32_t generation, HashOf hash_of) {
        if (slots_ && (count_ + 1) * 2 <= Capacity()) return true;
        const std::uint32_t bits = slots_ ? bits_ + 1 : kFirstTableBits;
        Slot* grown = static_cast<Slot*>(std::calloc(std::size_t{1} << bits, sizeof(Slot)));
        if (!grown) return false;
        Slot* old = slots_;
        const std::uint32_t old_capacity = Capacity();
        slots_ = grown;
        bits_ = bits;
        for (std::uint32_t i = 0; i < old_capacity; ++i) {
            if (old[i].generation != generation) continue;
            std::uint32_t slot = First(hash_of(old[i]));
            while (slots_[slot].generation == generation) slot = Next(slot);
            slots_[slot] = old[i];
        }
        std::free(old);
        return true;
    }
    void Added() { ++count_; }

private:
    Slot* slots_ = nullptr;
    std::uint32_t bits_ = 0;
    std::uint32_t count_ = 0;
};


// The state the free-slot search of a pass ends in, for every number of
// slots at once. A run of free slots completes at a free slot that is not
// a long-name part; the search takes the first run that completes with
// enough slots. Runs before the last one are only known by the longest
// completion in them: a plan that would land there is left to a pass.
struct TailRun {
    std::uint32_t length = 0;
    FatSlotRef start{0, 0};
    std::uint32_t current_best = 0;  // the longest completion in the last run
    std::uint32_t closed_best = 0;   // ... in every run before it
    bool pure = true;                // the last run holds no long-name part

    void Feed(const std::uint8_t* entry, FatSlotRef at) {
        const bool long_name_part = (entry[kAttribute] & kLongNameMask) == kLongNameMask;
        if (!long_name_part && !FatIsUnusedSlot(entry)) {
            closed_best = std::max(closed_best, current_best);
            current_best = 0;
            length = 0;
            pure = true;
            return;
        }
        if (length == 0) start = at;
        ++length;
        if (long_name_part) {
            pure = false;
        } else {
            current_best = length;
        }
    }

    // An entry set of `count` slots went to the start of a pure last run:
    // the rest of that run is the new last run, as a pass would find it.
    void Consume(std::uint32_t count) {
        length -= count;
        current_best = length;
        if (length == 0) return;
        const std::uint32_t linear = start.sector_index * kFatSlotsPerSector + start.slot + count;
        start = FatSlotRef{linear / kFatSlotsPerSector, linear % kFatSlotsPerSector};
    }
};

// The last directory whose index could not be built (a chain longer than any
// directory may be, damage): not tried again while nothing changed, or
// every lookup of a missing name there would pay a second pass.
struct FailedBuild {
    bool known = false;
    std::uint32_t start = 0;
    std::uint64_t change_count = 0;

    bool Matches(const FatVolume& on, std::uint32_t directory) const {
        return known && start == directory && change_count == on.change_count;
    }
};

// What one pass learnt about one folder.
struct Index {
    bool valid = false;
    std::uint32_t start = 0;
    bool fixed_root = false;
    std::vector<std::uint32_t> clusters;         // the folder's chain, in order
    std::vector<std::uint32_t> sorted_clusters;  // the same, ascending
    std::uint32_t last_cluster = 0;
    std::uint32_t sector_count = 0;
    std::uint64_t verified_change_count = 0;
    std::uint64_t verified_fat_change = 0;  // the volume's fat_change_seq then
    TailRun run;
    std::uint32_t generation = 0;
    SlotTable<KeySlot> keys;
    SlotTable<ShortNameSlot> short_names;
    // For a short base, the lowest tail that may be free: every tail below
    // it was taken when it was chosen, and nothing is removed from a folder
    // without the index starting again.
    std::unordered_map<std::string, std::uint32_t> tail_hints;
    std::uint64_t last_use = 0;
};

// A few folders at once: a path is resolved through its parents' folders
// between two creations in the same folder, and each would otherwise push
// the others' index out.
constexpr std::size_t kIndexCount = 4;

}  // namespace

struct FatDirIndex {
    Index folders[kIndexCount];
    std::uint64_t uses = 0;
    FailedBuild failed_build;
};

void FatDestroyPart(FatDirIndex* part) { delete part; }

namespace {

bool IsFixedRoot(const FatVolume& volume, std::uint32_t start) { return start == 0 && !volume.is_fat32; }

std::uint32_t ChainStart(const FatVolume& volume, std::uint32_t start) {
    return start == 0 && volume.is_fat32 ? volume.root_cluster : start;
}

FatDirIndex& IndexesOf(const FatVolume& volume) {
    if (!volume.state->dir_index) volume.state->dir_index.reset(new FatDirIndex());
    return *volume.state->dir_index;
}

// The index of this folder, or null when none was built for it.
Index* FindIndex(const FatVolume& volume, std::uint32_t start) {
    FatDirIndex& indexes = IndexesOf(volume);
    for (Index& index : indexes.folders) {
        if (index.valid && index.start == ChainStart(volume, start) && index.fixed_root == IsFixedRoot(volume, start)) {
            index.last_use = ++indexes.uses;
            return &index;
        }
    }
    return nullptr;
}

// Where a new index goes: an unused one, or the least recently used.
Index& IndexToBuild(const FatVolume& volume) {
    FatDirIndex& indexes = IndexesOf(volume);
    Index* chosen = &indexes.folders[0];
    for (Index& index : indexes.folders) {
        if (!index.valid) return index;
        if (index.last_use < chosen->last_use) chosen = &index;
    }
    return *chosen;
}

void Forget(Index& index) { index.valid = false; }

// A fresh generation empties both tables without touching them.
void StartTables(Index& index) {
    if (++index.generation == 0) {
        index.keys.Wipe();
        index.short_names.Wipe();
        index.generation = 1;
    }
    index.keys.Restart();
    index.short_names.Restart();
    index.tail_hints.clear();
}

std::uint64_t Mix(std::uint64_t hash, std::uint8_t byte) { return (hash ^ byte) * kFnvPrime; }

// One character of a name, letters folded, into the hash.
std::uint64_t MixFolded(std::uint64_t hash, const char* text, std::size_t* at) {
    std::uint32_t code_point;
    *at += FatTakeChar(text + *at, &code_point);
    const std::uint32_t folded = FatFoldCodePoint(code_point);
    if (folded < 0x80) return Mix(hash, static_cast<std::uint8_t>(folded));
    for (int shift = 0; shift < 32; shift += 8) hash = Mix(hash, static_cast<std::uint8_t>(folded >> shift));
    return hash;
}

std::size_t TrimmedLength(const char* text, std::size_t length) {
    while (length && text[length - 1] == ' ') --length;
    return length;
}

// Names that FatNamesMatch finds equal get the same key: both parts of the
// name around its last dot, trailing spaces dropped, letters folded.
std::uint64_t NameKey(const char* name) {
    const char* dot = std::strrchr(name, '.');
    const std::size_t base_length = TrimmedLength(name, dot ? static_cast<std::size_t>(dot - name) : std::strlen(name));
    std::uint64_t hash = kFnvOffset;
    for (std::size_t i = 0; i < base_length;) hash = MixFolded(hash, name, &i);
    if (dot) {
        hash = Mix(hash, kExtensionMark);
        const std::size_t extension_length = TrimmedLength(dot + 1, std::strlen(dot + 1));
        for (std::size_t i = 0; i < extension_length;) hash = MixFolded(hash, dot + 1, &i);
    } else {
        hash = Mix(hash, kNoExtensionMark);
    }
    return hash == kEmptyKey ? 1 : hash;
}

std::uint64_t ShortNameHash(const std::uint8_t* short_name) {
    std::uint64_t hash = kFnvOffset;
    for (std::size_t i = 0; i < kFatShortNameSize; ++i) hash = Mix(hash, short_name[i]);
    return hash;
}

std::uint64_t HashOfKey(const KeySlot& slot) { return slot.key; }
std::uint64_t HashOfShortName(const ShortNameSlot& slot) { return ShortNameHash(slot.name); }

bool HasKey(const Index& index, std::uint64_t key) {
    if (index.keys.Capacity() == 0) return false;
    for (std::uint32_t slot = index.keys.First(key);; slot = index.keys.Next(slot)) {
        const KeySlot& entry = index.keys[slot];
        if (entry.generation != index.generation) return false;
        if (entry.key == key) return true;
    }
}

bool AddKey(Index& index, std::uint64_t key) {
    if (HasKey(index, key)) return true;
    if (!index.keys.MakeRoom(index.generation, HashOfKey)) return false;
    std::uint32_t slot = index.keys.First(key);
    while (index.keys[slot].generation == index.generation) slot = index.keys.Next(slot);
    index.keys[slot] = KeySlot{key, index.generation};
    index.keys.Added();
    return true;
}

bool AddNameKey(Index& index, const char* name) { return AddKey(index, NameKey(name)); }

bool ShortNameInUse(const Index& index, const std::uint8_t* short_name) {
    if (index.short_names.Capacity() == 0) return false;
    for (std::uint32_t slot = index.short_names.First(ShortNameHash(short_name));;
         slot = index.short_names.Next(slot)) {
        const ShortNameSlot& entry = index.short_names[slot];
        if (entry.generation != index.generation) return false;
        if (std::memcmp(entry.name, short_name, kFatShortNameSize) == 0) return true;
    }
}

bool AddShortName(Index& index, const std::uint8_t* short_name) {
    if (ShortNameInUse(index, short_name)) return true;
    if (!index.short_names.MakeRoom(index.generation, HashOfShortName)) return false;
    std::uint32_t slot = index.short_names.First(ShortNameHash(short_name));
    while (index.short_names[slot].generation == index.generation) slot = index.short_names.Next(slot);
    ShortNameSlot& entry = index.short_names[slot];
    std::memcpy(entry.name, short_name, kFatShortNameSize);
    entry.generation = index.generation;
    index.short_names.Added();
    return true;
}

// The keys a visible entry answers to: its 8.3 form, and the long name in
// front whether or not it belongs (a superset costs a pass now and then,
// never a wrong answer).
bool AddEntryKeys(Index& index, const FatLongName* long_name, const std::uint8_t* entry) {
    char dot_form[kFatDotFormSize];
    FatShortNameDotForm(entry, dot_form);
    if (!AddNameKey(index, dot_form)) return false;
    if (!long_name || !FatLongNameIsWhole(*long_name)) return true;
    char text[kFatNameBufferSize];
    FatLongNameToUtf8(*long_name, text, sizeof text);
    return AddNameKey(index, text);
}


// The clusters the pass walked, and that the chain really ends after them
// (a pass stops at the largest directory size even when the chain goes on).
bool RecordChain(Index& index, FatVolume& volume, std::uint32_t sector_count, std::uint32_t last_cluster) {
    index.clusters.clear();
    index.sorted_clusters.clear();
    index.verified_fat_change = volume.fat_change_seq;
    if (index.fixed_root) return true;
    const std::uint32_t count = sector_count / volume.sectors_per_cluster;
    if (count == 0 || count > kFatMaxDirSectors || sector_count % volume.sectors_per_cluster != 0) return false;
    index.clusters.push_back(index.start);
    for (std::uint32_t i = 1; i < count; ++i) {
        const std::uint32_t next = FatNextCluster(volume, index.clusters.back());
        if (!FatIsDataCluster(volume, next)) return false;
        index.clusters.push_back(next);
    }
    if (index.clusters.back() != last_cluster) return false;
    if (FatNextCluster(volume, last_cluster) != kFatEndOfChain) return false;
    index.sorted_clusters = index.clusters;
    std::sort(index.sorted_clusters.begin(), index.sorted_clusters.end());
    return true;
}

// The chain is as the pass found it while no FAT entry of its clusters
// changed: the volume's change log tells without a walk, unless it no
// longer reaches back; then the chain is walked again.
bool ChainUnchanged(Index& index, FatVolume& volume) {
    if (index.fixed_root ||
        !FatChainChangedSince(volume, index.verified_fat_change, index.sorted_clusters)) {
        index.verified_fat_change = volume.fat_change_seq;
        return true;
    }
    for (std::size_t i = 1; i < index.clusters.size(); ++i)
        if (FatNextCluster(volume, index.clusters[i - 1]) != index.clusters[i]) return false;
    if (FatNextCluster(volume, index.clusters.back()) != kFatEndOfChain) return false;
    index.verified_fat_change = volume.fat_change_seq;
    return true;
}

bool Overlaps(std::uint32_t first, std::uint32_t count, std::uint32_t other_first, std::uint32_t other_count) {
    return std::uint64_t{first} < std::uint64_t{other_first} + other_count &&
           std::uint64_t{other_first} < std::uint64_t{first} + count;
}

bool CoversSectors(const Index& index, const FatVolume& volume, std::uint32_t first, std::uint32_t count) {
    if (index.fixed_root)
        return Overlaps(first, count, volume.volume_start + volume.root_dir_offset, volume.root_dir_sectors);
    // The first of the folder's clusters that does not end before the range.
    const std::uint32_t data_start = FatClusterToSector(volume, 2);
    if (count == 0 || std::uint64_t{first} + count <= data_start) return false;
    const std::uint32_t from_cluster = first < data_start ? 2 : 2 + (first - data_start) / volume.sectors_per_cluster;
    const auto it = std::lower_bound(index.sorted_clusters.begin(), index.sorted_clusters.end(), from_cluster);
    return it != index.sorted_clusters.end() &&
           Overlaps(first, count, FatClusterToSector(volume, *it), volume.sectors_per_cluster);
}

bool SameSlot(const FatSlotRef& a, const FatSlotRef& b) {
    return a.sector_index == b.sector_index && a.slot == b.slot;
}



bool BuildIndex(Index& index, FatVolume& volume, std::uint32_t start) {
    Forget(index);
    StartTables(index);
    index.run = TailRun{};
    const std::uint32_t damage_before = volume.damage_count;
    FatDirScanner scan(volume, start);
    while (scan.Next()) {
        const std::uint8_t* entry = scan.Entry();
        index.run.Feed(entry, scan.Where());
        if (FatIsUsedShortEntry(entry) && !AddShortName(index, entry)) return false;
        // Hidden entries answer to their names too: creating one of those
        // names is refused, which only a real pass can tell.
        const bool named = scan.Class() == FatSlotClass::kVisible || scan.Class() == FatSlotClass::kHidden;
        if (named && !FatIsDotEntry(entry) &&
            !AddEntryKeys(index, scan.HasWholeLongName() ? &scan.LongName() : nullptr, entry))
            return false;
    }
    if (scan.Status() != FatDirStatus::kEnd) return false;
    index.start = ChainStart(volume, start);
    index.fixed_root = IsFixedRoot(volume, start);
    index.sector_count = scan.SectorCount();
    index.last_cluster = scan.LastCluster();
    if (!RecordChain(index, volume, index.sector_count, index.last_cluster)) return false;
    // Damage seen on the way is reported by every pass; only a pass finds it.
    if (volume.damage_count != damage_before) return false;
    index.verified_change_count = volume.change_count;
    index.valid = true;
    return true;
}

}  // namespace

void FatDirIndexReset(FatVolume& volume) {
    if (!volume.state->dir_index) return;
    FatDirIndex& indexes = *volume.state->dir_index;
    for (Index& index : indexes.folders) Forget(index);
    indexes.failed_build = FailedBuild{};
}

bool FatDirIndexBuild(FatVolume& volume, std::uint32_t start) {
    FatDirIndex& indexes = IndexesOf(volume);
    if (indexes.failed_build.Matches(volume, start)) return false;
    Index* existing = FindIndex(volume, start);
    Index& index = existing ? *existing : IndexToBuild(volume);
    if (BuildIndex(index, volume, start)) {
        index.last_use = ++indexes.uses;
        return true;
    }
    Forget(index);
    indexes.failed_build = FailedBuild{true, start, volume.change_count};
    return false;
}

namespace {

// The folder's index when it describes the folder as the medium holds it now.
Index* CoveringIndex(FatVolume& volume, std::uint32_t start) {
    Index* index = FindIndex(volume, start);
    if (!index) return nullptr;
    // Every change to the FAT moves the change count; the chain is looked
    // at again only then.
    if (index->verified_change_count == volume.change_count) return index;
    const std::uint32_t damage_before = volume.damage_count;
    if (!ChainUnchanged(*index, volume) || volume.damage_count != damage_before) {
        Forget(*index);
        return nullptr;
    }
    index->verified_change_count = volume.change_count;
    return index;
}

}  // namespace

bool FatDirIndexCovers(FatVolume& volume, std::uint32_t start) { return CoveringIndex(volume, start) != nullptr; }

bool FatDirIndexPlan(FatVolume& volume, std::uint32_t start, const char* name, FatCreatePlan* plan) {
    Index* covering = name ? CoveringIndex(volume, start) : nullptr;
    if (!covering) return false;
    Index& index = *covering;
    if (HasKey(index, NameKey(name))) return false;
    const std::uint32_t needed = plan->slots_needed;
    const TailRun& run = index.run;
    if (needed == 0 || run.closed_best >= needed) return false;
    std::uint8_t base[kFatShortNameSize];
    bool exact = false;
    FatMakeShortName(name, base, &exact);
    plan->name_taken = false;
    // The same choice a pass makes, from the short names the index holds.
    const auto in_use = [&index](const std::uint8_t* short_name) { return ShortNameInUse(index, short_name); };
    std::uint32_t& first_free_tail = index.tail_hints[std::string(base, base + kFatShortNameSize)];
    plan->short_name_found =
        FatChooseShortName(base, exact, kFatMaxTail, in_use, plan->short_name, first_free_tail);
    if (plan->short_name_found) first_free_tail = std::max(first_free_tail, FatNumericTailOf(plan->short_name));
    plan->run_found = run.current_best >= needed;
    plan->run_start = run.start;
    plan->open_run_length = plan->run_found ? 0 : run.length;
    plan->open_run_start = run.start;
    plan->clean_end = true;
    plan->last_cluster = index.last_cluster;
    plan->sector_count = index.sector_count;
    return true;
}

bool FatDirIndexFollows(FatVolume& volume, std::uint32_t start, const FatCreatePlan& plan) {
    const Index* index = CoveringIndex(volume, start);
    if (!index) return false;
    const TailRun& run = index->run;
    if (!run.pure || run.closed_best >= plan.slots_needed) return false;
    if (plan.run_found) return run.current_best >= plan.slots_needed && SameSlot(plan.run_start, run.start);
    // A set that makes the folder grow: the free slots at its end are the
    // index's last run, and the new clusters will extend it.
    return plan.clean_end && !index->fixed_root && plan.last_cluster == index->last_cluster &&
           plan.sector_count == index->sector_count && plan.open_run_length == run.length &&
           (run.length == 0 || SameSlot(plan.open_run_start, run.start));
}

void FatDirIndexNoteGrowth(FatVolume& volume, std::uint32_t start) {
    Index* index = FindIndex(volume, start);
    if (!index) return;
    const std::uint32_t old_sectors = index->sector_count;
    std::uint32_t cluster = index->last_cluster;
    for (;;) {
        const std::uint32_t next = FatNextCluster(volume, cluster);
        if (next == kFatEndOfChain) break;
        if (!FatIsDataCluster(volume, next) || index->clusters.size() >= kFatMaxDirSectors) {
            Forget(*index);
            return;
        }
        index->clusters.push_back(next);
        index->sorted_clusters.insert(
            std::upper_bound(index->sorted_clusters.begin(), index->sorted_clusters.end(), next), next);
        index->sector_count += volume.sectors_per_cluster;
        cluster = next;
    }
    index->last_cluster = cluster;
    index->verified_fat_change = volume.fat_change_seq;
    index->verified_change_count = volume.change_count;
    // The new sectors are free slots from end to end.
    TailRun& run = index->run;
    if (run.length == 0) run.start = FatSlotRef{old_sectors, 0};
    run.length += (index->sector_count - old_sectors) * kFatSlotsPerSector;
    run.current_best = run.length;
}

void FatDirIndexNoteCreate(FatVolume& volume, std::uint32_t start, const FatLongName& long_name,
                           const std::uint8_t* short_entry, const FatCreatePlan& plan) {
    Index* index = FindIndex(volume, start);
    if (!index) return;
    if (!AddShortName(*index, short_entry) || !AddEntryKeys(*index, &long_name, short_entry)) {
        Forget(*index);
        return;
    }
    index->run.Consume(plan.slots_needed);
}

void FatDirIndexForget(FatVolume& volume, std::uint32_t start) {
    if (Index* index = FindIndex(volume, start)) Forget(*index);
}

void FatDirIndexNoteWrite(const FatVolume& volume, std::uint32_t first_sector, std::uint32_t count) {
    if (!volume.state->dir_index) return;
    for (Index& index : volume.state->dir_index->folders)
        if (index.valid && CoversSectors(index, volume, first_sector, count)) Forget(index);
}
