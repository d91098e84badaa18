#include "transfer/volume_room.h"

#include "fat/engine.h"

namespace {

std::uint64_t ClustersFor(std::uint64_t bytes, std::uint64_t cluster_bytes) {
    return (bytes + cluster_bytes - 1) / cluster_bytes;
}

}  // namespace

ReplaceRoom CheckReplaceRoom(fat::Volume& volume, std::uint64_t old_size, std::uint64_t new_size) {
    fat::VolumeInfo info{};
    std::uint32_t free_clusters = 0;
    // The write itself will tell when the numbers cannot be had.
    if (volume.Info(&info) != fat::Result::Ok || info.sectors_per_cluster == 0 ||
        volume.CountFreeClusters(&free_clusters) != fat::Result::Ok)
        return ReplaceRoom{true, true, 0, 0};
    const std::uint64_t cluster_bytes = std::uint64_t{info.sectors_per_cluster} * kSectorSize;
    const std::uint64_t needed = ClustersFor(new_size, cluster_bytes);
    const std::uint64_t old_clusters = ClustersFor(old_size, cluster_bytes);
    return ReplaceRoom{needed <= free_clusters, needed <= std::uint64_t{free_clusters} + old_clusters,
                       needed * cluster_bytes, std::uint64_t{free_clusters} * cluster_bytes};
}
