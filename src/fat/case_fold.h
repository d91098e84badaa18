// Letter case as FAT names ignore it: the simple upper-case mapping of the
// Basic Multilingual Plane, so "ä.txt" and "Ä.txt" are one name, as other
// systems that read the volume take them.
#pragma once

#include <cstdint>

// The upper-case form of one UTF-16 unit; anything without one (digits,
// CJK, surrogates, letters whose upper case is more than one character)
// stays as it is. A letter outside ASCII never folds onto an ASCII one.
std::uint16_t FatFoldUnit(std::uint16_t unit);
// The same for a code point; those beyond the BMP stay as they are.
std::uint32_t FatFoldCodePoint(std::uint32_t code_point);
