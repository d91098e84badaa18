// The boot sector and the first partition entry of sector 0, decoded once.
#pragma once

#include <cstdint>

namespace fatlayout {
constexpr int kBytesPerSector = 11;
constexpr int kSectorsPerCluster = 13;
constexpr int kReservedSectors = 14;
constexpr int kFatCount = 16;
constexpr int kRootEntryCount = 17;
constexpr int kTotalSectors16 = 19;
constexpr int kMediaDescriptor = 21;
constexpr int kFatSize16 = 22;
constexpr int kSectorsPerTrack = 24;
constexpr int kHeadCount = 26;
constexpr int kHiddenSectors = 28;
constexpr int kTotalSectors32 = 32;
constexpr int kFatSize32 = 36;
constexpr int kExtFlags = 40;
constexpr int kRootCluster = 44;
constexpr int kFsInfoSector = 48;
constexpr int kBackupBootSector = 50;
constexpr int kFirstPartitionType = 450;
constexpr int kFirstPartitionStart = 454;
constexpr int kSignature = 510;

constexpr std::uint32_t kFsInfoLeadSignature = 0x41615252;  // "RRaA"
constexpr int kFsInfoLead = 0;
constexpr int kFsInfoStructSignature = 484;
constexpr std::uint32_t kFsInfoStructSignatureValue = 0x61417272;  // "rrAa"
constexpr int kFsInfoFreeCount = 488;
constexpr int kFsInfoNextFree = 492;
constexpr int kFsInfoTrailSignature = 508;
constexpr std::uint32_t kFsInfoTrailSignatureValue = 0xAA550000;
constexpr std::uint32_t kFsInfoUnknown = 0xFFFFFFFF;

constexpr std::uint32_t kFat16MinClusters = 4085;   // fewer: FAT12
constexpr std::uint32_t kFat32MinClusters = 65525;  // this many or more: FAT32
}  // namespace fatlayout

inline std::uint16_t FatLoad16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t FatLoad32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}
inline void FatStore16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void FatStore32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

bool FatHasBootSignature(const std::uint8_t* sector);
// The volume start that sector 0's first partition entry gives, or 0 when
// sector 0 is itself the boot sector.
std::uint32_t FatPartitionStart(const std::uint8_t* sector0);

struct FatBootSector {
    std::uint16_t bytes_per_sector;
    std::uint8_t sectors_per_cluster;
    std::uint16_t reserved_sectors;
    std::uint8_t fat_count;
    std::uint16_t root_entry_count;
    std::uint32_t total_sectors;
    std::uint32_t fat_size;
    std::uint16_t ext_flags;
    std::uint32_t root_cluster;
    std::uint16_t fsinfo_sector;
};

FatBootSector FatDecodeBootSector(const std::uint8_t* sector);
