// Reproducible bytes for test files: the same size and seed give the same
// bytes, different seeds different ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testsupport {

inline std::vector<std::uint8_t> Pattern(std::size_t size, unsigned seed = 7) {
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    return bytes;
}

}  // namespace testsupport
