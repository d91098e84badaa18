#include "fat/long_name.h"

#include <cstring>

#include "fat/boot_sector.h"
#include "fat/dir_entry.h"

namespace {

constexpr std::uint8_t kPartNumberMask = 0x1F;
constexpr std::uint8_t kLastPartFlag = 0x40;
constexpr int kPartChecksum = 13;
constexpr int kPartAttribute = 11;
constexpr int kPartCluster = 26;
// Slot offsets of the 13 UTF-16 units of a part.
constexpr int kUnitOffsets[kFatCharsPerPart] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
constexpr std::uint16_t kTerminator = 0x0000;
constexpr std::uint16_t kFiller = 0xFFFF;
constexpr std::uint32_t kReplacementChar = 0xFFFD;

// The characters no long name may hold (besides control characters).
bool IsReservedNameCharacter(unsigned char c) {
    switch (c) {
        case '\\': case '/': case ':': case '*': case '?': case '"': case '<': case '>': case '|': return true;
        default: return false;
    }
}

bool IsHighSurrogate(std::uint32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(std::uint32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

std::size_t Utf8Length(std::uint32_t code_point) {
    if (code_point < 0x80) return 1;
    if (code_point < 0x800) return 2;
    if (code_point < 0x10000) return 3;
    return 4;
}

void PutUtf8(std::uint32_t cp, char* out) {
    auto* o = reinterpret_cast<unsigned char*>(out);
    switch (Utf8Length(cp)) {
        case 1: o[0] = static_cast<unsigned char>(cp); break;
        case 2:
            o[0] = static_cast<unsigned char>(0xC0 | (cp >> 6));
            o[1] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            break;
        case 3:
            o[0] = static_cast<unsigned char>(0xE0 | (cp >> 12));
            o[1] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
            o[2] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
            break;
        default:
            o[0] = static_cast<unsigned char>(0xF0 | (cp >> 18));
            o[1] = static_cast<unsigned char>(0x80 | ((cp >> 12) & 0x3F));
            o[2] = static_cast<unsigned char>(0x80 | ((cp >> 6) & 0x3F));
            o[3] = static_cast<unsigned char>(0x80 | (cp & 0x3F));
    }
}

// One code point from UTF-8: its byte count, or 0 for an invalid sequence
// (overlong forms and encoded surrogates included).
std::size_t TakeUtf8(const unsigned char* p, std::uint32_t* cp) {
    if (p[0] < 0x80) {
        *cp = p[0];
        return 1;
    }
    std::size_t length;
    std::uint32_t value;
    if ((p[0] & 0xE0) == 0xC0) {
        length = 2;
        value = p[0] & 0x1F;
    } else if ((p[0] & 0xF0) == 0xE0) {
        length = 3;
        value = p[0] & 0x0F;
    } else if ((p[0] & 0xF8) == 0xF0) {
        length = 4;
        value = p[0] & 0x07;
    } else {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((p[i] & 0xC0) != 0x80) return 0;
        value = (value << 6) | (p[i] & 0x3F);
    }
    if (Utf8Length(value) != length || value > 0x10FFFF || IsHighSurrogate(value) || IsLowSurrogate(value))
        return 0;
    *cp = value;
    return length;
}

}  // namespace

void FatClearLongName(FatLongName* name) { std::memset(name, 0, sizeof *name); }

std::size_t FatTakeChar(const char* text, std::uint32_t* code_point) {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    const std::size_t length = TakeUtf8(p, code_point);
    if (length) return length;
    *code_point = 0x110000u + p[0];
    return 1;
}

// Parts come last-first, each carrying one number less, with one checksum;
// anything else leaves the collection broken, so no name is taken from it.
void FatCollectLongName(const std::uint8_t* slot, FatLongName* name) {
    const std::uint32_t number = slot[0] & kPartNumberMask;
    const std::uint8_t checksum = slot[kPartChecksum];
    if (slot[0] & kLastPartFlag) {
        FatRestartLongName(name);
        if (number == 0 || number > kFatMaxLongNameParts) {
            name->broken = 1;
            return;
        }
        name->part_count = static_cast<std::uint8_t>(number);
        name->checksum = checksum;
    } else if (name->part_count == 0 || number == 0 || number != name->expected_part ||
               checksum != name->checksum) {
        name->broken = 1;
        return;
    }
    name->expected_part = static_cast<std::uint8_t>(number - 1);
    std::uint16_t* units = name->units + (number - 1) * kFatCharsPerPart;
    for (std::uint32_t i = 0; i < kFatCharsPerPart; ++i) units[i] = FatLoad16(slot + kUnitOffsets[i]);
}

bool FatLongNameBelongsTo(const FatLongName& name, const std::uint8_t* short_entry) {
    return FatLongNameIsWhole(name) && name.checksum == FatShortNameChecksum(short_entry);
}

std::uint32_t FatLongNameLength(const FatLongName& name) {
    const std::uint32_t limit = name.part_count * kFatCharsPerPart;
    std::uint32_t length = 0;
    while (length < limit && name.units[length] != kTerminator && name.units[length] != kFiller) ++length;
    return length;
}

void FatLongNameToUtf8(const FatLongName& name, char* out, std::size_t out_size) {
    FatUtf16ToUtf8(name.units, FatLongNameLength(name), out, out_size);
}

int FatUtf8ToUtf16(const char* text, std::uint16_t* units, std::uint32_t capacity) {
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    std::uint32_t count = 0;
    while (*p) {
        std::uint32_t cp;
        const std::size_t taken = TakeUtf8(p, &cp);
        if (taken == 0) return -1;
        p += taken;
        const std::uint32_t needed = cp >= 0x10000 ? 2 : 1;
        if (count + needed > capacity) return -1;
        if (needed == 2) {
            cp -= 0x10000;
            units[count++] = static_cast<std::uint16_t>(0xD800 + (cp >> 10));
            units[count++] = static_cast<std::uint16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            units[count++] = static_cast<std::uint16_t>(cp);
        }
    }
    return static_cast<int>(count);
}

void FatUtf16ToUtf8(const std::uint16_t* units, std::uint32_t count, char* out, std::size_t out_size) {
    if (out_size == 0) return;
    std::size_t length = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t cp = units[i];
        if (IsHighSurrogate(cp) && i + 1 < count && IsLowSurrogate(units[i + 1])) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (IsHighSurrogate(cp) || IsLowSurrogate(cp)) {
            cp = kReplacementChar;
        }
        if (cp == 0) break;
        const std::size_t bytes = Utf8Length(cp);
        if (length + bytes + 1 > out_size) break;
        PutUtf8(cp, out + length);
        length += bytes;
    }
    out[length] = '\0';
}

void FatTruncateUtf8(char* text, std::size_t max_bytes) {
    std::size_t length = std::strlen(text);
    if (length <= max_bytes) return;
    length = max_bytes;
    // Step back over continuation bytes to the start of the cut character.
    while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
    text[length] = '\0';
}

const char* FatNewNameProblem(const char* name) {
    if (!name || !*name) return "the name is empty";
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return "\".\" and \"..\" are not names";
    std::uint16_t units[kFatLongNameCapacity];
    const int count = FatUtf8ToUtf16(name, units, kFatMaxLongNameUnits);
    if (count < 0) return "the name is not valid UTF-8 or longer than 255 characters";
    for (const char* p = name; *p; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c < 0x20) return "the name holds a control character";
        if (IsReservedNameCharacter(c)) return "the name holds one of \\ / : * ? \" < > |";
    }
    const char last = name[std::strlen(name) - 1];
    if (last == '.' || last == ' ') return "the name ends with a dot or a space";
    return nullptr;
}

std::uint32_t FatLongNamePartCount(std::uint32_t unit_count) {
    return (unit_count + kFatCharsPerPart - 1) / kFatCharsPerPart;
}

void FatWriteLongNamePart(std::uint8_t* slot, const std::uint16_t* units, std::uint32_t unit_count,
                          std::uint32_t part, std::uint8_t checksum) {
    std::memset(slot, 0, kFatEntrySize);
    const bool last = part == FatLongNamePartCount(unit_count);
    slot[0] = static_cast<std::uint8_t>(part | (last ? kLastPartFlag : 0));
    slot[kPartAttribute] = fatentry::kLongNameMask;
    slot[kPartChecksum] = checksum;
    slot[kPartCluster] = 0;
    const std::uint32_t first = (part - 1) * kFatCharsPerPart;
    for (std::uint32_t i = 0; i < kFatCharsPerPart; ++i) {
        const std::uint32_t at = first + i;
        const std::uint16_t unit = at < unit_count ? units[at] : (at == unit_count ? kTerminator : kFiller);
        FatStore16(slot + kUnitOffsets[i], unit);
    }
}
