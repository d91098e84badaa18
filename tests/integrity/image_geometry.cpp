#include "image_geometry.h"

#include <fstream>
#include <vector>

namespace integrity {
namespace {

std::uint32_t Le16(const std::uint8_t* p) { return p[0] | (p[1] << 8); }
std::uint32_t Le32(const std::uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t{p[3]} << 24);
}

}  // namespace

bool ReadImageGeometry(const std::string& image, ImageGeometry* out, std::string* error) {
    std::ifstream in(image, std::ios::binary);
    std::uint8_t boot[512];
    if (!in.read(reinterpret_cast<char*>(boot), sizeof boot)) {
        *error = "cannot read the boot sector of " + image;
        return false;
    }
    const std::uint32_t bytes_per_sector = Le16(boot + 11);
    const std::uint32_t per_cluster = boot[13];
    const std::uint32_t reserved = Le16(boot + 14);
    const std::uint32_t fats = boot[16];
    const std::uint32_t root_entries = Le16(boot + 17);
    const std::uint32_t total = Le16(boot + 19) ? Le16(boot + 19) : Le32(boot + 32);
    const std::uint32_t fat_sectors = Le16(boot + 22) ? Le16(boot + 22) : Le32(boot + 36);
    if (bytes_per_sector != 512 || per_cluster == 0 || fats == 0 || fat_sectors == 0) {
        *error = "not a FAT boot sector with 512-byte sectors: " + image;
        return false;
    }
    const std::uint32_t root_sectors = (root_entries * 32 + 511) / 512;
    const std::uint32_t data_start = reserved + fats * fat_sectors + root_sectors;
    ImageGeometry g;
    g.sectors_per_cluster = per_cluster;
    g.cluster_bytes = per_cluster * 512;
    g.cluster_count = (total - data_start) / per_cluster;
    // The cluster count alone decides the FAT type.
    g.fat32 = g.cluster_count >= 65525;
    g.root_entries = g.fat32 ? 0 : root_entries;
    std::vector<std::uint8_t> fat(std::size_t{fat_sectors} * 512);
    in.seekg(std::streamoff{reserved} * 512);
    if (!in.read(reinterpret_cast<char*>(fat.data()), static_cast<std::streamsize>(fat.size()))) {
        *error = "cannot read the FAT of " + image;
        return false;
    }
    for (std::uint32_t cluster = 2; cluster < g.cluster_count + 2; ++cluster) {
        const std::uint32_t entry = g.fat32 ? (Le32(&fat[cluster * 4]) & 0x0FFFFFFF) : Le16(&fat[cluster * 2]);
        if (entry == 0) ++g.free_clusters;
    }
    *out = g;
    return true;
}

}  // namespace integrity
