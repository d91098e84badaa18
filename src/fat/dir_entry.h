// The 32-byte directory entry: field offsets, slot classes, short names,
// numeric tails, the long-name checksum and time stamps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "fat/block_device.h"

constexpr std::uint32_t kFatEntrySize = 32;
constexpr std::uint32_t kFatSlotsPerSector = kSectorSize / kFatEntrySize;
constexpr std::size_t kFatShortNameSize = 11;
constexpr std::size_t kFatShortBaseSize = 8;
constexpr std::size_t kFatShortExtSize = 3;
// The 12-character "NAME    .EXT" form, plus a terminator.
constexpr std::size_t kFatDotFormSize = 13;

namespace fatentry {
constexpr int kName = 0;
constexpr int kExtension = 8;
constexpr int kAttribute = 11;
constexpr int kReserved = 12;
constexpr int kCreateTenths = 13;
constexpr int kCreateTime = 14;
constexpr int kCreateDate = 16;
constexpr int kAccessDate = 18;
constexpr int kClusterHigh = 20;
constexpr int kWriteTime = 22;
constexpr int kWriteDate = 24;
constexpr int kClusterLow = 26;
constexpr int kSize = 28;

constexpr std::uint8_t kFree = 0x00;
constexpr std::uint8_t kDeleted = 0xE5;
constexpr std::uint8_t kDot = '.';

constexpr std::uint8_t kReadOnly = 0x01;
constexpr std::uint8_t kHidden = 0x02;
constexpr std::uint8_t kSystem = 0x04;
constexpr std::uint8_t kVolumeLabel = 0x08;
constexpr std::uint8_t kDirectory = 0x10;
constexpr std::uint8_t kArchive = 0x20;
constexpr std::uint8_t kLongNameMask = 0x0F;

// 1980-01-01, the earliest date an entry can carry.
constexpr std::uint16_t kDefaultDate = 0x0021;
}  // namespace fatentry

// kHidden: a hidden or system entry. Never found or listed, but its names
// are taken: another entry with them would make other systems pick either.
enum class FatSlotClass { kLongNamePart, kSkipped, kVisible, kHidden };

// The predicates every slot of every scan meets are inline.
inline FatSlotClass FatClassifySlot(const std::uint8_t* entry) {
    using namespace fatentry;
    const std::uint8_t first = entry[kName];
    const std::uint8_t attribute = entry[kAttribute];
    if ((attribute & kLongNameMask) == kLongNameMask && first != kDeleted) return FatSlotClass::kLongNamePart;
    if (first == kFree || first == kDeleted) return FatSlotClass::kSkipped;
    if (attribute == kVolumeLabel) return FatSlotClass::kSkipped;
    if (attribute & (kHidden | kSystem)) return FatSlotClass::kHidden;
    return FatSlotClass::kVisible;
}
// Free (never used) or deleted: a slot a new entry may take.
inline bool FatIsUnusedSlot(const std::uint8_t* entry) {
    return entry[fatentry::kName] == fatentry::kFree || entry[fatentry::kName] == fatentry::kDeleted;
}
// A short entry that is in use, visible or not (hidden, system, label).
inline bool FatIsUsedShortEntry(const std::uint8_t* entry) {
    return !FatIsUnusedSlot(entry) && (entry[fatentry::kAttribute] & fatentry::kLongNameMask) != fatentry::kLongNameMask;
}
// The "." and ".." entries of a subdirectory.
inline bool FatIsDotEntry(const std::uint8_t* entry) { return entry[fatentry::kName] == fatentry::kDot; }
bool FatIsDirectoryEntry(const std::uint8_t* entry);
// An entry the file operations may open: not a directory, not a label.
bool FatIsFileEntry(const std::uint8_t* entry);

std::uint32_t FatEntryFirstCluster(const std::uint8_t* entry);
void FatSetEntryFirstCluster(std::uint8_t* entry, std::uint32_t cluster);
std::uint32_t FatEntrySizeField(const std::uint8_t* entry);

// Rotate-right-and-add over the 11 bytes; stored in every long-name part.
std::uint8_t FatShortNameChecksum(const std::uint8_t* short_name);

// The short name for a long name: 1, or 0 for an empty name or "." / "..".
// Characters an 8.3 name cannot hold become '_'; leading dots are dropped.
// `exact`, when given, tells whether the short name stands for the long
// name without loss: nothing dropped, changed or cut, and each part in one
// case. A name that is not exact always gets a numeric tail, or another
// system looking for the short form would find this entry.
int FatMakeShortName(const char* long_name, std::uint8_t* short_name, bool* exact = nullptr);
// Base with "~number" right after its last character, cut so that it ends
// at the eighth byte at the latest: 1, or 0 above 99999.
int FatAddNumericTail(std::uint32_t number, const std::uint8_t* base, std::uint8_t* out);
// The number of a "~number" tail as FatAddNumericTail writes it, or 0.
std::uint32_t FatNumericTailOf(const std::uint8_t* short_name);
// The short name a new entry gets: the plain one when it is exact and no
// entry carries it, else the lowest numeric tail no entry carries. `taken`
// answers for a candidate 11-byte name. False when every tail is taken.
// Tails below first_tail are known to be taken and are not tried.
template <typename Taken>
bool FatChooseShortName(const std::uint8_t* base, bool exact, std::uint32_t max_tail, Taken taken,
                        std::uint8_t* out, std::uint32_t first_tail = 1) {
    if (exact && !taken(base)) {
        for (std::size_t i = 0; i < kFatShortNameSize; ++i) out[i] = base[i];
        return true;
    }
    for (std::uint32_t number = first_tail < 1 ? 1 : first_tail; number <= max_tail; ++number) {
        if (FatAddNumericTail(number, base, out) != 1) return false;
        if (!taken(out)) return true;
    }
    return false;
}
// The character an 8.3 name stores for one byte of a name ('_' when none).
std::uint8_t FatShortNameChar(std::uint8_t byte);

// What stands for a character an 8.3 name cannot hold or show.
constexpr char kFatShortNameReplacement = '_';
// A byte of a short entry as names built from it show it: printable ASCII
// only, so that the result is always valid UTF-8.
inline char FatShortNameShownChar(std::uint8_t byte) {
    return (byte < 0x20 || byte >= 0x7F) ? kFatShortNameReplacement : static_cast<char>(byte);
}
// "NAME    .EXT" (always 12 characters; a space instead of the dot when the
// extension is blank or the name is a dot entry), terminated.
void FatShortNameDotForm(const std::uint8_t* short_name, char* out);
// "name.ext": the dot form without spaces, A-Z in lower case, terminated.
// Bytes that are not printable ASCII show as '_'.
void FatShortNameListingForm(const std::uint8_t* short_name, char* out);

struct FatStamp {
    std::uint16_t time;
    std::uint16_t date;
};
// Parses "%y-%m-%d %H:%M", or "%Y-%m-%d %H:%M:%S" for any year and the
// seconds; a null or malformed stamp gives the current local time.
FatStamp FatParseStamp(const char* stamp);
// A broken-down local time as FAT stores it: seconds to 2-second steps,
// years before 1980 or after 2107 clamped to the first or last moment FAT
// can hold (never wrapped into another century).
FatStamp FatStampFromTime(const std::tm& time);
// The current local time as FAT stores it.
FatStamp FatStampNow();

// A fresh short entry: name, attribute, first cluster, stamp; size 0.
void FatFillShortEntry(std::uint8_t* entry, const std::uint8_t* short_name, std::uint8_t attribute,
                       std::uint32_t first_cluster, const FatStamp& stamp);
