// One sought name compared with many directory entries by the rule of
// FatNamesMatch, without turning every long name into UTF-8 first: the
// sought name is split and converted to UTF-16 once, and a long name is
// compared unit by unit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "fat/dir_entry.h"
#include "fat/long_name.h"

class FatNameMatcher {
public:
    explicit FatNameMatcher(const char* sought);
    // The same answer as FatNamesMatch(long name as UTF-8, sought).
    bool MatchesLongName(const FatLongName& name) const;
    // The same answer as FatNamesMatch(8.3 dot form, sought).
    bool MatchesShortName(const std::uint8_t* short_name) const;
    // A quick test that MatchesShortName needs to pass: false rules a match out.
    bool MayMatchShortName(const std::uint8_t* short_name) const;

private:
    // A run of folded UTF-16 units: the part before the last dot, or after it.
    struct Part {
        std::uint16_t units[kFatNameBufferSize];
        std::uint32_t length;
    };
    bool ConvertPart(const char* text, std::size_t length, Part* part);
    bool SlowMatch(const FatLongName& name) const;
    bool LastBaseUnitMayMatch(const FatLongName& name) const;

    const char* sought_;
    bool converted_ = false;  // false: a name UTF-16 cannot carry; compared as UTF-8
    bool has_extension_ = false;
    Part base_;
    Part extension_;
    // The first bytes of the sought base, folded: the dot form's base starts
    // with the eight bytes of the short base.
    std::uint8_t short_base_[kFatShortBaseSize];
    std::uint32_t short_base_length_ = 0;
};
