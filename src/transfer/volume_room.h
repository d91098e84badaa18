// Whether a volume can take a file that replaces another.
#pragma once

#include <cstdint>

namespace fat {
class Volume;
}

// A replace writes the new content beside the old and swaps them at the end,
// so that a failure keeps the old file: the volume needs room for both.
struct ReplaceRoom {
    bool fits;                  // true too when the free count cannot be had
    bool fits_without_old;      // whether it would fit once the old file is gone
    std::uint64_t needed_bytes;  // whole clusters of the new content
    std::uint64_t free_bytes;
};
ReplaceRoom CheckReplaceRoom(fat::Volume& volume, std::uint64_t old_size, std::uint64_t new_size);
