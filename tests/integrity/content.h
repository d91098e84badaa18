// File contents of the random-operations suite: every file's bytes follow
// from a 64-bit content id and its size, so the model keeps two numbers per
// file, and a reproduction script can make the same file again with
// `integrity_random_ops --make-file`.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace integrity {

inline std::uint64_t Mix64(std::uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Eight bytes per word, each word drawn from the id and its offset, so two
// files never share a cluster's worth of bytes and a cluster moved within a
// file is caught as well as one taken from another file.
inline std::vector<std::uint8_t> ContentBytes(std::uint64_t id, std::uint64_t size) {
    std::vector<std::uint8_t> bytes(size);
    const std::uint64_t key = Mix64(id);
    for (std::uint64_t at = 0; at < size; at += 8) {
        const std::uint64_t word = Mix64(key ^ (at * 0x2545F4914F6CDD1Dull));
        for (std::uint64_t i = 0; i < 8 && at + i < size; ++i)
            bytes[at + i] = static_cast<std::uint8_t>(word >> (8 * i));
    }
    return bytes;
}

inline bool SameContent(const std::string& got, std::uint64_t id, std::uint64_t size) {
    if (got.size() != size) return false;
    const std::vector<std::uint8_t> want = ContentBytes(id, size);
    return std::equal(want.begin(), want.end(), reinterpret_cast<const std::uint8_t*>(got.data()));
}

// Where two byte strings first differ, for messages.
inline std::uint64_t FirstDifference(const std::string& got, std::uint64_t id, std::uint64_t size) {
    const std::vector<std::uint8_t> want = ContentBytes(id, size);
    std::uint64_t at = 0;
    while (at < size && at < got.size() && static_cast<std::uint8_t>(got[at]) == want[at]) ++at;
    return at;
}

}  // namespace integrity
