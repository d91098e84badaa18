// Long names: UTF-8 <-> UTF-16 and the 13-character parts in front of a
// short entry.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::uint32_t kFatMaxLongNameUnits = 255;
constexpr std::uint32_t kFatCharsPerPart = 13;
constexpr std::uint32_t kFatMaxLongNameParts = 20;
constexpr std::uint32_t kFatLongNameCapacity = kFatMaxLongNameParts * kFatCharsPerPart;
// Room for any long name as UTF-8 (three bytes per UTF-16 unit at most).
constexpr std::size_t kFatNameBufferSize = 3 * kFatLongNameCapacity + 1;

// The parts collected in front of a short entry.
struct FatLongName {
    std::uint16_t units[kFatLongNameCapacity + 1];
    std::uint8_t part_count;      // from the part carrying the last-part flag; 0: none
    std::uint8_t expected_part;   // the number the next part must carry
    std::uint8_t checksum;        // the short-name checksum all parts carry
    std::uint8_t broken;          // parts out of order or with differing checksums
};

void FatClearLongName(FatLongName* name);
// Starts a new collection without clearing the units: the parts of a whole
// name fill every unit its length covers. For the per-slot path of scans,
// on a name that FatClearLongName cleared once.
inline void FatRestartLongName(FatLongName* name) {
    name->part_count = 0;
    name->expected_part = 0;
    name->checksum = 0;
    name->broken = 0;
}
// Adds one long-name part (a slot of class kLongNamePart).
void FatCollectLongName(const std::uint8_t* slot, FatLongName* name);
// Whether the collected parts form a whole name: every part from the one
// with the last-part flag down to part 1, in order, with one checksum.
inline bool FatLongNameIsWhole(const FatLongName& name) {
    return name.part_count != 0 && !name.broken && name.expected_part == 0;
}
// Whether the collected parts form a whole name for the short entry.
bool FatLongNameBelongsTo(const FatLongName& name, const std::uint8_t* short_entry);
// Length in UTF-16 units (up to the first 0x0000 or 0xFFFF).
std::uint32_t FatLongNameLength(const FatLongName& name);
// The collected name as UTF-8, cut at a character boundary to fit out_size.
void FatLongNameToUtf8(const FatLongName& name, char* out, std::size_t out_size);

// One character of NUL-terminated text: its byte count and code point, or
// 1 and the byte itself (above 0x10FFFF, so never a character) where the
// text is not UTF-8 there.
std::size_t FatTakeChar(const char* text, std::uint32_t* code_point);

// Decodes UTF-8 into UTF-16 units: the unit count, or -1 for invalid UTF-8
// or more than `capacity` units.
int FatUtf8ToUtf16(const char* text, std::uint16_t* units, std::uint32_t capacity);
// Encodes UTF-16 units as UTF-8, cut at a character boundary to fit out_size
// (always terminated). Lone surrogates become U+FFFD.
void FatUtf16ToUtf8(const std::uint16_t* units, std::uint32_t count, char* out, std::size_t out_size);
// Truncates UTF-8 text in place so that it fits max_bytes + terminator.
void FatTruncateUtf8(char* text, std::size_t max_bytes);

// Why no new entry may carry this name, or null when one may: empty, "."
// or "..", invalid UTF-8, longer than 255 UTF-16 units, a character other
// systems refuse in names (\ / : * ? " < > | and control characters), or a
// trailing dot or space (which other systems strip, so the entry could not
// be opened there by its name).
const char* FatNewNameProblem(const char* name);

// Number of long-name parts a name of this many units needs.
std::uint32_t FatLongNamePartCount(std::uint32_t unit_count);
// Fills one part slot: part number (1-based), its 13 units, checksum; the
// last part carries the 0x40 flag.
void FatWriteLongNamePart(std::uint8_t* slot, const std::uint16_t* units, std::uint32_t unit_count,
                          std::uint32_t part, std::uint8_t checksum);
