#include "fat/boot_sector.h"

using namespace fatlayout;

bool FatHasBootSignature(const std::uint8_t* sector) {
    return sector[kSignature] == 0x55 && sector[kSignature + 1] == 0xAA;
}

std::uint32_t FatPartitionStart(const std::uint8_t* sector0) {
    switch (sector0[kFirstPartitionType]) {
        case 0x01: case 0x02: case 0x03: case 0x04: case 0x05:
        case 0x06: case 0x0B: case 0x0C: case 0x0E: case 0x0F:
            return FatLoad32(sector0 + kFirstPartitionStart);
        default:
            return 0;
    }
}

FatBootSector FatDecodeBootSector(const std::uint8_t* s) {
    FatBootSector boot{};
    boot.bytes_per_sector = FatLoad16(s + kBytesPerSector);
    boot.sectors_per_cluster = s[kSectorsPerCluster];
    boot.reserved_sectors = FatLoad16(s + kReservedSectors);
    boot.fat_count = s[kFatCount];
    boot.root_entry_count = FatLoad16(s + kRootEntryCount);
    boot.total_sectors = FatLoad16(s + kTotalSectors16);
    if (boot.total_sectors == 0) boot.total_sectors = FatLoad32(s + kTotalSectors32);
    boot.fat_size = FatLoad16(s + kFatSize16);
    if (boot.fat_size == 0) boot.fat_size = FatLoad32(s + kFatSize32);
    boot.ext_flags = FatLoad16(s + kExtFlags);
    boot.root_cluster = FatLoad32(s + kRootCluster);
    boot.fsinfo_sector = FatLoad16(s + kFsInfoSector);
    return boot;
}
