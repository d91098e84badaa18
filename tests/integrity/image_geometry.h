// The few facts about a FAT image the model needs to judge whether an
// operation may run out of room: cluster size, whether the root is the
// fixed FAT16 one and how many entries it holds, and the free clusters the
// first FAT records. Read straight from the image, independently of the
// engine under test.
#pragma once

#include <cstdint>
#include <string>

namespace integrity {

struct ImageGeometry {
    bool fat32 = false;
    std::uint32_t sectors_per_cluster = 0;
    std::uint32_t cluster_bytes = 0;
    std::uint32_t root_entries = 0;  // FAT16 only: the fixed root's slots
    std::uint32_t cluster_count = 0;
    std::uint32_t free_clusters = 0;
};

// False when the image holds no readable FAT16/FAT32 boot sector.
bool ReadImageGeometry(const std::string& image, ImageGeometry* out, std::string* error);

}  // namespace integrity
