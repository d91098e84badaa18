// Numbers as the command line takes them. The whole text is one number:
// decimal digits, or "0x" (lower-case x) and hexadecimal digits; no sign, no
// spaces, nothing after it. Sizes may end in K, M or G (powers of 1024).
// A text that is not wholly such a number, or exceeds the limit, is no number
// at all: a mistyped "0X40000" or "0x4OOOO" must never become some other
// sector or size.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The number, or nothing when the text is not wholly one or exceeds limit.
std::optional<std::uint64_t> ParseCliNumber(std::string_view text, std::uint64_t limit);

// A byte count: a number as above, optionally followed by K, M or G; nothing
// when the text is not one or the bytes exceed limit.
std::optional<std::uint64_t> ParseCliSize(std::string_view text, std::uint64_t limit);

// The number as the tool prints sector numbers in messages: "0x" and
// upper-case hexadecimal digits, a text these parsers take back.
std::string HexNumberText(std::uint64_t value);
