// The 32-byte directory entry: field offsets, slot classes, short names,
// numeric tails, the long-name checksum and time stamps.
#pragma once

#include <cstddef>
#include <cstdint>

#include "device/sector_io.h"

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

// 1980-01-01: the date written where no stamp is given.
constexpr std::uint16_t kDefaultDate = 0x0020;
}  // namespace fatentry

enum class FatSlotClass { kLongNamePart, kSkipped, kVisible };

// The predicates every slot of every scan meets are inline.
inline FatSlotClass FatClassifySlot(const std::uint8_t* entry) {
    using namespace fatentry;
    const std::uint8_t first = entry[kName];
    const std::uint8_t attribute = entry[kAttribute];
    if ((attribute & kLongNameMask) == kLongNameMask && first != kDeleted) return FatSlotClass::kLongNamePart;
    if (first == kFree || first == kDeleted) return FatSlotClass::kSkipped;
    if (attribute == kVolumeLabel || (attribute & (kHidden | kSystem))) return FatSlotClass::kSkipped;
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
int FatMakeShortName(const char* long_name, std::uint8_t* short_name);
// Base with "~number" ending at its eighth byte: 1, or 0 above 99999.
int FatAddNumericTail(std::uint32_t number, const std::uint8_t* base, std::uint8_t* out);
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
// Parses "%y-%m-%d %H:%M"; a null or malformed stamp gives time 0 and the
// default date.
FatStamp FatParseStamp(const char* stamp);

// A fresh short entry: name, attribute, first cluster, stamp; size 0.
void FatFillShortEntry(std::uint8_t* entry, const std::uint8_t* short_name, std::uint8_t attribute,
                       std::uint32_t first_cluster, const FatStamp& stamp);
