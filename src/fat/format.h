// Writes a new, empty FAT16 or FAT32 volume of 512-byte sectors through a
// block device (or a media write callback). The volume begins at the callback's sector 0.
#pragma once

#include <cstdint>
#include <string>

#include "fat/block_device.h"

struct FatFormatOptions {
    std::uint64_t size_bytes = 0;      // rounded down to whole sectors
    bool fat32 = false;
    std::string label;                 // empty: the volume gets no label
    unsigned sectors_per_cluster = 0;  // 0: chosen from the size
    std::uint32_t hidden_sectors = 0;  // sectors that precede the volume on its medium
    std::uint32_t serial = 0;          // 0: taken from the clock
};

// Where everything of a planned volume lies, in sectors from its start.
struct FatFormatLayout {
    bool fat32;
    std::uint32_t total_sectors;
    std::uint32_t sectors_per_cluster;
    std::uint32_t reserved_sectors;
    std::uint32_t fat_count;
    std::uint32_t fat_size;
    std::uint32_t root_entry_count;   // 0 on FAT32
    std::uint32_t root_dir_sectors;   // 0 on FAT32
    std::uint32_t first_data_sector;  // first sector of cluster 2
    std::uint32_t cluster_count;
};

// Whether a forced cluster size is one FAT allows (a power of two, 1 to 128).
bool FatIsValidClusterSize(unsigned sectors_per_cluster);
// The 11-byte directory form of a volume label (upper case, space padded).
// False with *error set when the text cannot be a label.
bool FatLabelToEntryName(const std::string& label, std::string* entry_name, std::string* error);

// 1 and the layout the options give; 0 with *error naming why the size
// cannot hold the type (or the label or cluster size is unusable).
int FatPlanVolume(const FatFormatOptions& options, FatFormatLayout* layout, std::string* error);

// 1 on success; 0 with *error set. Nothing is written when the plan fails;
// the boot sector is written last, so an interrupted run leaves no volume
// that looks whole.
int FatFormatVolume(const FatFormatOptions& options, fat::BlockDevice& device, std::string* error);
int FatFormatVolume(const FatFormatOptions& options, MediaWriteFn write, std::string* error);
