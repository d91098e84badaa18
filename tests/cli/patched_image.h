// A FAT image that a test damages on purpose: where its folders and
// clusters are, asked of quillon-cli itself, and the raw patch of one
// directory entry in place.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace patched_image {

constexpr std::uint32_t kSectorBytes = 512;
constexpr std::uint32_t kEntryBytes = 32;
constexpr std::size_t kAttributeOffset = 11;
constexpr std::uint8_t kLongNameAttribute = 0x0F;
constexpr std::size_t kClusterHighOffset = 20;
constexpr std::size_t kClusterLowOffset = 26;

class PatchedImage {
public:
    explicit PatchedImage(std::string image) : image_(std::move(image)) {}

    nlohmann::json Json(const std::string& args) const {
        const testsupport::RunResult r =
            testsupport::Cli("--image " + testsupport::Quote(image_) + " --start 0 --json " + args);
        EXPECT_EQ(r.exit_code, 0) << args << "\n" << r.err;
        return nlohmann::json::parse(r.out);
    }

    std::uint32_t ClusterOf(const std::string& folder, const std::string& name) const {
        for (const auto& row : Json("ls " + testsupport::Quote(folder)))
            if (row["name"] == name) return row["cluster"];
        ADD_FAILURE() << name << " not in " << folder;
        return 0;
    }

    std::uint32_t RootCluster() const { return Json("info")["root_cluster"]; }

    // The first sector of a data cluster, from the volume's own geometry.
    std::uint64_t ClusterSector(std::uint32_t cluster) const {
        const nlohmann::json info = Json("info");
        const std::uint64_t root_sectors =
            (info["root_entries"].get<std::uint64_t>() * kEntryBytes + kSectorBytes - 1) / kSectorBytes;
        const std::uint64_t first_data = info["reserved_sectors"].get<std::uint64_t>() +
                                         info["fats"].get<std::uint64_t>() * info["fat_size"].get<std::uint64_t>() +
                                         root_sectors;
        return first_data + (cluster - 2) * info["sectors_per_cluster"].get<std::uint64_t>();
    }

    // Calls patch on each 32-byte entry of the first two sectors of the
    // folder at cluster until it says it changed one; that sector is written back.
    template <typename Patch>
    void PatchEntry(std::uint32_t folder_cluster, const std::string& what, Patch patch) const {
        const std::uint64_t first = ClusterSector(folder_cluster);
        for (std::uint64_t sector = first; sector < first + 2; ++sector) {
            std::vector<std::uint8_t> bytes = testsupport::ReadSector(image_, sector);
            for (std::size_t at = 0; at < kSectorBytes; at += kEntryBytes) {
                if (!patch(&bytes[at])) continue;
                testsupport::WriteSector(image_, sector, bytes);
                return;
            }
        }
        ADD_FAILURE() << what << " not found in the folder at cluster " << folder_cluster;
    }

    // Points the short entry whose stored name starts with `short_start` at cluster.
    void PointEntryAt(std::uint32_t folder_cluster, const std::string& short_start, std::uint32_t cluster) const {
        PatchEntry(folder_cluster, short_start, [&](std::uint8_t* entry) {
            if (entry[kAttributeOffset] == kLongNameAttribute ||
                std::string(entry, entry + short_start.size()) != short_start)
                return false;
            entry[kClusterLowOffset] = static_cast<std::uint8_t>(cluster);
            entry[kClusterLowOffset + 1] = static_cast<std::uint8_t>(cluster >> 8);
            entry[kClusterHighOffset] = static_cast<std::uint8_t>(cluster >> 16);
            entry[kClusterHighOffset + 1] = static_cast<std::uint8_t>(cluster >> 24);
            return true;
        });
    }

private:
    std::string image_;
};

}  // namespace patched_image
