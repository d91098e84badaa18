#include "cli/cli_numbers.h"

#include <cstdio>

namespace {

constexpr std::string_view kHexPrefix = "0x";
constexpr std::string_view kSizeSuffixes = "KMG";  // 1024^1, 1024^2, 1024^3
constexpr unsigned kBitsPerSuffixStep = 10;

// The value of one digit in the base, or nothing when it is no such digit.
std::optional<unsigned> DigitValue(char c, unsigned base) {
    unsigned value = base;
    if (c >= '0' && c <= '9') value = static_cast<unsigned>(c - '0');
    else if (c >= 'a' && c <= 'f') value = static_cast<unsigned>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F') value = static_cast<unsigned>(c - 'A' + 10);
    if (value >= base) return std::nullopt;
    return value;
}

}  // namespace

std::optional<std::uint64_t> ParseCliNumber(std::string_view text, std::uint64_t limit) {
    unsigned base = 10;
    if (text.substr(0, kHexPrefix.size()) == kHexPrefix) {
        base = 16;
        text.remove_prefix(kHexPrefix.size());
    }
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        const std::optional<unsigned> digit = DigitValue(c, base);
        if (!digit) return std::nullopt;
        if (*digit > limit || value > (limit - *digit) / base) return std::nullopt;
        value = value * base + *digit;
    }
    return value;
}

std::optional<std::uint64_t> ParseCliSize(std::string_view text, std::uint64_t limit) {
    const std::size_t suffix = text.empty() ? std::string_view::npos : kSizeSuffixes.find(text.back());
    if (suffix == std::string_view::npos) return ParseCliNumber(text, limit);
    const unsigned shift = kBitsPerSuffixStep * static_cast<unsigned>(suffix + 1);
    const std::optional<std::uint64_t> count = ParseCliNumber(text.substr(0, text.size() - 1), limit >> shift);
    if (!count) return std::nullopt;
    return *count << shift;
}

std::string HexNumberText(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}
