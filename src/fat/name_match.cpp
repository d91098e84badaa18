#include "fat/name_match.h"

#include <algorithm>
#include <cstring>

#include "fat/case_fold.h"
#include "fat/dir_entry.h"
#include "fat/directory.h"

namespace {

constexpr std::uint16_t kDot = '.';
constexpr std::uint16_t kSpace = ' ';
constexpr std::uint16_t kReplacementUnit = 0xFFFD;

bool IsHighSurrogate(std::uint16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(std::uint16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }
bool IsSurrogate(std::uint16_t u) { return u >= 0xD800 && u <= 0xDFFF; }

// Letters fold as in FatNamesMatch.
std::uint16_t FoldUnit(std::uint16_t u) { return FatFoldUnit(u); }

// Short names hold bytes, not characters: only ASCII letters fold there.
std::uint8_t FoldShortByte(std::uint8_t c) {
    return (c >= 'a' && c <= 'z') ? static_cast<std::uint8_t>(c - 'a' + 'A') : c;
}

std::size_t TrimmedLength(const char* text, std::size_t length) {
    while (length && text[length - 1] == ' ') --length;
    return length;
}

std::uint32_t TrimmedLength(const std::uint16_t* units, std::uint32_t length) {
    while (length && units[length - 1] == kSpace) --length;
    return length;
}

// Unit `i` of a long name as its UTF-8 form reads back: a surrogate that is
// not half of a pair became U+FFFD there. A dot or a space never sits inside
// a pair, so looking at the neighbours within one part gives the same answer
// as looking at the whole name.
std::uint16_t ReadBackUnit(const std::uint16_t* units, std::uint32_t length, std::uint32_t i) {
    const std::uint16_t u = units[i];
    if (!IsSurrogate(u)) return FoldUnit(u);
    const bool paired = IsHighSurrogate(u) ? i + 1 < length && IsLowSurrogate(units[i + 1])
                                           : i > 0 && IsHighSurrogate(units[i - 1]);
    return paired ? u : kReplacementUnit;
}

// Names in one folder often share their start (DSC_0001, DSC_0002): the
// units are compared from the end.
bool SameUnits(const std::uint16_t* units, std::uint32_t length, const std::uint16_t* folded) {
    for (std::uint32_t i = length; i-- > 0;)
        if (ReadBackUnit(units, length, i) != folded[i]) return false;
    return true;
}

}  // namespace

FatNameMatcher::FatNameMatcher(const char* sought) : sought_(sought) {
    if (!sought) return;
    const std::size_t total = std::strlen(sought);
    const char* dot = std::strrchr(sought, '.');
    const std::size_t base_length = TrimmedLength(sought, dot ? static_cast<std::size_t>(dot - sought) : total);
    short_base_length_ = static_cast<std::uint32_t>(std::min(base_length, kFatShortBaseSize));
    for (std::uint32_t i = 0; i < short_base_length_; ++i)
        short_base_[i] = FoldShortByte(static_cast<std::uint8_t>(sought[i]));
    if (total >= kFatNameBufferSize || !ConvertPart(sought, base_length, &base_)) return;
    has_extension_ = dot != nullptr;
    if (dot && !ConvertPart(dot + 1, TrimmedLength(dot + 1, std::strlen(dot + 1)), &extension_)) return;
    converted_ = true;
}

bool FatNameMatcher::ConvertPart(const char* text, std::size_t length, Part* part) {
    char copy[kFatNameBufferSize];
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    const int count = length ? FatUtf8ToUtf16(copy, part->units, kFatNameBufferSize) : 0;
    if (count < 0) return false;
    part->length = static_cast<std::uint32_t>(count);
    for (std::uint32_t i = 0; i < part->length; ++i) part->units[i] = FoldUnit(part->units[i]);
    return true;
}

bool FatNameMatcher::SlowMatch(const FatLongName& name) const {
    char text[kFatNameBufferSize];
    FatLongNameToUtf8(name, text, sizeof text);
    return FatNamesMatch(text, sought_) == 1;
}

// The entry's base must hold the sought base's last unit at the same place;
// one look there rules most names out before their length is known. Units
// that an unpaired surrogate could read back as are left to the full test.
bool FatNameMatcher::LastBaseUnitMayMatch(const FatLongName& name) const {
    if (base_.length == 0) return true;
    const std::uint32_t last = base_.length - 1;
    if (last >= name.part_count * kFatCharsPerPart) return false;
    const std::uint16_t wanted = base_.units[last];
    if (IsSurrogate(wanted) || wanted == kReplacementUnit) return true;
    return FoldUnit(name.units[last]) == wanted;
}

bool FatNameMatcher::MatchesLongName(const FatLongName& name) const {
    if (!sought_) return false;
    if (!converted_) return SlowMatch(name);
    if (!LastBaseUnitMayMatch(name)) return false;
    const std::uint16_t* units = name.units;
    const std::uint32_t length = FatLongNameLength(name);
    std::uint32_t dot = length;
    while (dot > 0 && units[dot - 1] != kDot) --dot;
    if ((dot > 0) != has_extension_) return false;
    const std::uint32_t base_length = TrimmedLength(units, dot > 0 ? dot - 1 : length);
    if (base_length != base_.length) return false;
    if (has_extension_) {
        const std::uint16_t* extension = units + dot;
        const std::uint32_t extension_length = TrimmedLength(extension, length - dot);
        if (extension_length != extension_.length || !SameUnits(extension, extension_length, extension_.units))
            return false;
    }
    return SameUnits(units, base_length, base_.units);
}

bool FatNameMatcher::MayMatchShortName(const std::uint8_t* short_name) const {
    if (!sought_) return false;
    for (std::uint32_t i = short_base_length_; i-- > 0;) {
        const auto shown = static_cast<std::uint8_t>(FatShortNameShownChar(short_name[i]));
        if (FoldShortByte(shown) != short_base_[i]) return false;
    }
    return true;
}

bool FatNameMatcher::MatchesShortName(const std::uint8_t* short_name) const {
    char dot_form[kFatDotFormSize];
    FatShortNameDotForm(short_name, dot_form);
    return FatNamesMatch(dot_form, sought_) == 1;
}
