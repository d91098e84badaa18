#include "fat/listing.h"

#include <cstring>

#include "fat/boot_sector.h"
#include "fat/directory.h"
#include "fat/file.h"
#include "fat/path.h"
#include "fat/volume.h"

using namespace fatentry;

namespace {

void FillInfo(const std::uint8_t* entry, const char* name, FatEntryInfo* info) {
    std::memset(info, 0, sizeof *info);
    std::memcpy(info->location.short_name, entry, kFatShortNameSize);
    info->location.first_cluster = FatEntryFirstCluster(entry);
    std::strncpy(info->name, name, sizeof info->name - 1);
    FatTruncateUtf8(info->name, sizeof info->name - 1);
    info->is_directory = FatIsDirectoryEntry(entry) ? 1 : 0;
    info->first_cluster = FatEntryFirstCluster(entry);
    info->size = FatEntrySizeField(entry);
    info->write_time = FatLoad16(entry + kWriteTime);
    info->write_date = FatLoad16(entry + kWriteDate);
}

void FillInfoFromScan(const FatDirScanner& scan, std::uint32_t start, const std::uint8_t* entry,
                      FatEntryInfo* info) {
    char name[kFatNameBufferSize];
    if (scan.HasLongName()) {
        FatLongNameToUtf8(scan.LongName(), name, sizeof name);
    } else {
        FatShortNameListingForm(entry, name);
    }
    FillInfo(entry, name, info);
    info->location.parent_cluster = start;
    info->location.entry_sector = scan.Where().sector_index;
    info->location.entry_slot = scan.Where().slot;
}

bool OpenDirectoryAt(FatVolume& volume, const char* path, std::uint32_t* start) {
    if (!FatRequireMounted(volume) || !FatRequirePath(volume, path)) return false;
    if (FatPathIsRoot(path)) {
        *start = volume.root_cluster;
        return true;
    }
    if (FatPathDepth(path) < 0) {
        FatNoteFailure(volume, fat::Result::BadName);
        return false;
    }
    return FatResolveDirectory(volume, path, start) == 1;
}

// The parent directory and the entry a path names; dot names never match.
bool LocatePath(FatVolume& volume, const char* path, std::uint32_t* parent, FatFoundEntry* found) {
    if (!FatRequireMounted(volume) || !FatRequirePath(volume, path)) return false;
    char name[kFatNameBufferSize];
    char directory[kFatPathBufferSize];
    if (FatPathIsRoot(path) || FatSplitPath(path, name, directory) != 0) {
        FatNoteFailure(volume, fat::Result::BadName);
        return false;
    }
    if (directory[0] == '\0') {
        *parent = volume.root_cluster;
    } else if (!FatResolveDirectory(volume, directory, parent)) {
        return false;
    }
    if (FatLocateEntry(volume, *parent, name, found) == 1) return true;
    FatNoteFailure(volume, fat::Result::NotFound);
    return false;
}

// The 8-byte base a short-name-only rename stores, or false for a name
// that cannot be one.
bool MakeRenamedBase(const char* new_name, std::uint8_t* base) {
    const std::size_t length = std::strlen(new_name);
    if (length == 0 || length > kFatShortBaseSize) return false;
    std::memset(base, ' ', kFatShortBaseSize);
    for (std::size_t i = 0; i < length; ++i) {
        const auto c = static_cast<std::uint8_t>(new_name[i]);
        if (c == '.' || c == ' ') return false;
        base[i] = FatShortNameChar(c);
    }
    return true;
}

// The next short-name-only entry at or after `from` whose 8.3 form matches.
bool FindShortOnlyMatch(FatVolume& volume, std::uint32_t start, FatSlotRef from, const char* name,
                        FatSlotRef* at, std::uint8_t* entry) {
    FatDirScanner scan(volume, start, from);
    char dot_form[kFatDotFormSize];
    while (scan.Next()) {
        const std::uint8_t* slot = scan.Entry();
        if (scan.Class() != FatSlotClass::kVisible || scan.HasLongName() || FatIsDotEntry(slot)) continue;
        FatShortNameDotForm(slot, dot_form);
        if (!FatNamesMatch(dot_form, name)) continue;
        *at = scan.Where();
        std::memcpy(entry, slot, kFatEntrySize);
        return true;
    }
    return false;
}

void StoreShortName(FatVolume& volume, std::uint32_t start, FatSlotRef at, const std::uint8_t* short_name) {
    FatDirScanner scan(volume, start, at);
    if (!scan.Next()) return;
    std::memcpy(scan.Entry(), short_name, kFatShortNameSize);
    scan.MarkDirty();
    scan.Finish();
}

// A rename whose new entry could not be written (the directory could not
// grow, a write failed) puts the old name back where it can.
void RestoreRenamedEntry(FatVolume& volume, std::uint32_t parent, const FatFoundEntry& old_entry) {
    FatCreatePlan plan;
    if (!FatPlanNewEntry(volume, parent, old_entry.name, &plan) || plan.name_taken || plan.name_hidden ||
        !plan.short_name_found)
        return;
    std::uint8_t entry[kFatEntrySize];
    std::memcpy(entry, old_entry.entry, kFatEntrySize);
    std::memcpy(entry, plan.short_name, kFatShortNameSize);
    FatWriteEntrySet(volume, parent, plan, old_entry.name, entry, nullptr, nullptr);
}

FatSlotRef SlotAfter(FatSlotRef at) {
    return at.slot + 1 >= kFatSlotsPerSector ? FatSlotRef{at.sector_index + 1, 0} : FatSlotRef{at.sector_index, at.slot + 1};
}

}  // namespace

FatDirCursor* FatOpenDirectory(FatVolume& volume, const char* path, FatDirCursor* cursor) {
    FatOperationScope scope(volume);
    std::uint32_t start;
    if (!cursor || !OpenDirectoryAt(volume, path, &start)) return nullptr;
    *cursor = FatDirCursor{0, start, 0};
    return cursor;
}

int FatReadDirectory(FatVolume& volume, FatDirCursor* cursor, FatEntryInfo* info) {
    FatOperationScope scope(volume);
    if (!cursor || !info || !FatRequireMounted(volume)) return 0;
    FatDirScanner scan(volume, cursor->start_cluster, FatSlotRef{cursor->sector_index, cursor->slot_index});
    while (scan.Next()) {
        if (scan.Class() != FatSlotClass::kVisible) continue;
        FillInfoFromScan(scan, cursor->start_cluster, scan.Entry(), info);
        const FatSlotRef next = SlotAfter(scan.Where());
        cursor->sector_index = next.sector_index;
        cursor->slot_index = static_cast<std::uint8_t>(next.slot);
        return 1;
    }
    return 0;
}

bool FatForEachEntry(FatVolume& volume, const char* path, const FatEntryVisitor& visit) {
    FatOperationScope scope(volume);
    std::uint32_t start;
    if (!OpenDirectoryAt(volume, path, &start)) return false;
    FatDirScanner scan(volume, start);
    FatEntryInfo info;
    while (scan.Next()) {
        if (scan.Class() != FatSlotClass::kVisible) continue;
        FillInfoFromScan(scan, start, scan.Entry(), &info);
        if (!visit(info)) return true;
    }
    return scan.Status() == FatDirStatus::kEnd;
}

bool FatListDirectory(FatVolume& volume, FatEntryInfoList& list, const char* path) {
    return FatForEachEntry(volume, path, [&list](const FatEntryInfo& info) {
        list.push_back(info);
        return true;
    });
}

int FatRenameEntry(FatVolume& volume, FatDirCursor* cursor, const char* old_name, const char* new_name) {
    FatOperationScope scope(volume);
    std::uint8_t base[kFatShortBaseSize];
    if (!cursor || !old_name || !new_name || !FatRequireMounted(volume) || !FatCanWrite(volume)) return 0;
    if (!MakeRenamedBase(new_name, base)) return 0;
    const std::uint32_t start = cursor->start_cluster;
    FatSlotRef at{0, 0};
    std::uint8_t entry[kFatEntrySize];
    while (FindShortOnlyMatch(volume, start, at, old_name, &at, entry)) {
        std::uint8_t renamed[kFatShortNameSize];
        std::memcpy(renamed, base, kFatShortBaseSize);
        std::memcpy(renamed + kFatShortBaseSize, entry + kFatShortBaseSize, kFatShortExtSize);
        // Never two entries with one short name, never an open file's entry.
        if (std::memcmp(renamed, entry, kFatShortNameSize) != 0 && !FatIsEntryOpen(volume, start, entry) &&
            !FatShortNameInUse(volume, start, renamed))
            StoreShortName(volume, start, at, renamed);
        at = SlotAfter(at);
    }
    return 0;
}

int FatRenamePath(FatVolume& volume, const char* path, const char* new_name) {
    FatOperationScope scope(volume);
    if (!FatCanWrite(volume)) return 0;
    if (!new_name || FatNewNameProblem(new_name)) {
        FatNoteFailure(volume, fat::Result::BadName);
        return 0;
    }
    std::uint32_t parent;
    FatFoundEntry old_entry;
    if (!LocatePath(volume, path, &parent, &old_entry)) return 0;
    if (FatIsEntryOpen(volume, parent, old_entry.entry)) {
        FatNoteFailure(volume, fat::Result::Busy);
        return 0;
    }
    FatCreatePlan plan;
    if (!FatPlanNewEntry(volume, parent, new_name, &plan, nullptr, &old_entry.where)) {
        FatNoteFailure(volume, fat::Result::BadName);
        return 0;
    }
    if (!FatPlanAccepts(volume, parent, plan)) return 0;

    std::uint8_t entry[kFatEntrySize];
    std::memcpy(entry, old_entry.entry, kFatEntrySize);
    std::memcpy(entry, plan.short_name, kFatShortNameSize);
    entry[kReserved] = 0;  // case hints of the old short name no longer apply
    // The old name goes first. Two names on one cluster chain at a power cut
    // in between would be damage that checkers repair by cutting one of them
    // to nothing; a chain no name holds is only lost clusters, which they
    // recover whole.
    if (!FatDeleteFoundEntry(volume, parent, old_entry))
        return 0;
    if (FatWriteEntrySet(volume, parent, plan, new_name, entry, nullptr, nullptr)) return 1;
    RestoreRenamedEntry(volume, parent, old_entry);
    return 0;
}

int FatLookupEntry(FatVolume& volume, const char* path, FatEntryInfo* info) {
    FatOperationScope scope(volume);
    std::uint32_t parent;
    FatFoundEntry found;
    if (!info || !LocatePath(volume, path, &parent, &found)) return 0;
    FillInfo(found.entry, found.name, info);
    info->location.parent_cluster = parent;
    info->location.entry_sector = found.where.sector_index;
    info->location.entry_slot = found.where.slot;
    return 1;
}

// The classic calls work on the default volume.

FatDirCursor* FatOpenDirectory(const char* path, FatDirCursor* cursor) {
    return FatOpenDirectory(FatTheVolume(), path, cursor);
}

int FatReadDirectory(FatDirCursor* cursor, FatEntryInfo* info) { return FatReadDirectory(FatTheVolume(), cursor, info); }

void FatListDirectory(FatEntryInfoList& list, const char* path) { FatListDirectory(FatTheVolume(), list, path); }

int FatRenameEntry(FatDirCursor* cursor, const char* old_name, const char* new_name) {
    return FatRenameEntry(FatTheVolume(), cursor, old_name, new_name);
}

int FatRenamePath(const char* path, const char* new_name) { return FatRenamePath(FatTheVolume(), path, new_name); }

int FatLookupEntry(const char* path, FatEntryInfo* info) { return FatLookupEntry(FatTheVolume(), path, info); }
