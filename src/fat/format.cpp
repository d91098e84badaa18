#include "fat/format.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <ctime>
#include <vector>

#include "fat/boot_sector.h"
#include "fat/dir_entry.h"

using namespace fatlayout;

namespace {

// Boot sector fields beyond the ones the mount reads.
constexpr int kJump = 0;
constexpr int kOemName = 3;
constexpr int kFsVersion = 42;
constexpr int kFat16ExtendedBpb = 36;
constexpr int kFat32ExtendedBpb = 64;
// Offsets inside the extended BPB.
constexpr int kDriveNumber = 0;
constexpr int kExtendedSignature = 2;
constexpr int kVolumeSerial = 3;
constexpr int kVolumeLabel = 7;
constexpr int kFsTypeName = 18;
constexpr int kExtendedBpbSize = 26;

constexpr std::uint8_t kExtendedSignatureValue = 0x29;
constexpr std::uint8_t kFixedDiskDrive = 0x80;
constexpr std::uint8_t kFixedDiskMedia = 0xF8;
constexpr std::uint16_t kNominalSectorsPerTrack = 63;
constexpr std::uint16_t kNominalHeads = 255;
constexpr char kOemNameText[] = "QUILLON ";
constexpr char kNoLabel[] = "NO NAME    ";
constexpr std::size_t kLabelLength = 11;

// The boot code only stops the machine: cli; hlt; jmp back to hlt.
constexpr std::uint8_t kHaltLoop[] = {0xFA, 0xF4, 0xEB, 0xFD};

constexpr std::uint32_t kFatCopies = 2;
constexpr std::uint32_t kFat16ReservedSectors = 1;
constexpr std::uint32_t kFat32ReservedSectors = 32;
constexpr std::uint32_t kFat16RootEntries = 512;
constexpr std::uint32_t kFat32FsInfoSector = 1;
constexpr std::uint32_t kFat32BackupBootSector = 6;
constexpr std::uint32_t kFat32RootCluster = 2;
constexpr unsigned kMaxSectorsPerCluster = 128;

constexpr std::uint32_t kFat16MaxClusters = kFat32MinClusters - 1;
// Cluster numbers from 0x0FFFFFF7 on are the bad and end-of-chain markers.
constexpr std::uint32_t kFat32MaxClusters = 0x0FFFFFF5;
constexpr std::uint64_t kMaxTotalSectors = 0xFFFFFFFFull;

constexpr std::uint32_t kFat16MediaEntry = 0xFFF8;
constexpr std::uint32_t kFat16EndOfChain = 0xFFFF;
constexpr std::uint32_t kFat32MediaEntry = 0x0FFFFFF8;
constexpr std::uint32_t kFat32EndOfChain = 0x0FFFFFFF;


// Large runs keep zeroing a big FAT to a handful of transfers.
constexpr std::uint32_t kZeroRunSectors = 2048;

using Sector = std::array<std::uint8_t, kSectorSize>;

// Cluster sizes as common formatters pick them for 512-byte sectors: the
// volume size (in sectors) up to which each size is used.
struct ClusterSizeStep {
    std::uint64_t up_to_sectors;
    unsigned sectors_per_cluster;
};
constexpr ClusterSizeStep kFat16ClusterSizes[] = {
    {32680, 2}, {262144, 4}, {524288, 8}, {1048576, 16}, {2097152, 32}, {4194304, 64},
    {kMaxTotalSectors, 128}};
constexpr ClusterSizeStep kFat32ClusterSizes[] = {
    {532480, 1}, {16777216, 8}, {33554432, 16}, {67108864, 32}, {kMaxTotalSectors, 64}};

const char* TypeName(bool fat32) { return fat32 ? "FAT32" : "FAT16"; }
std::uint32_t MinClusters(bool fat32) { return fat32 ? kFat32MinClusters : kFat16MinClusters; }
std::uint32_t MaxClusters(bool fat32) { return fat32 ? kFat32MaxClusters : kFat16MaxClusters; }
std::uint32_t FatEntryBytes(bool fat32) { return fat32 ? 4 : 2; }

std::uint32_t DivideRoundingUp(std::uint64_t value, std::uint64_t divisor) {
    return static_cast<std::uint32_t>((value + divisor - 1) / divisor);
}

// The layout of a volume of total sectors with a given cluster size. The FAT
// is sized for the clusters the space would hold with one-sector FATs, so it
// always covers the clusters that remain; the reserved area then grows so that
// clusters start on a cluster boundary. A cluster count of 0 means the
// structures alone do not fit.
FatFormatLayout LayoutFor(std::uint32_t total_sectors, unsigned sectors_per_cluster, bool fat32) {
    FatFormatLayout layout{};
    layout.fat32 = fat32;
    layout.total_sectors = total_sectors;
    layout.sectors_per_cluster = sectors_per_cluster;
    layout.fat_count = kFatCopies;
    layout.reserved_sectors = fat32 ? kFat32ReservedSectors : kFat16ReservedSectors;
    layout.root_entry_count = fat32 ? 0 : kFat16RootEntries;
    layout.root_dir_sectors = layout.root_entry_count * kFatEntrySize / kSectorSize;
    const std::uint64_t fixed = std::uint64_t{layout.reserved_sectors} + layout.root_dir_sectors;
    if (total_sectors <= fixed + kFatCopies) return layout;

    const std::uint64_t rough_clusters = (total_sectors - fixed - kFatCopies) / sectors_per_cluster;
    layout.fat_size = DivideRoundingUp((rough_clusters + 2) * FatEntryBytes(fat32), kSectorSize);
    std::uint64_t used = fixed + std::uint64_t{kFatCopies} * layout.fat_size;
    const std::uint32_t padding = static_cast<std::uint32_t>(
        (sectors_per_cluster - used % sectors_per_cluster) % sectors_per_cluster);
    layout.reserved_sectors += padding;
    used += padding;
    layout.first_data_sector = static_cast<std::uint32_t>(std::min<std::uint64_t>(used, total_sectors));
    if (used < total_sectors)
        layout.cluster_count = static_cast<std::uint32_t>((total_sectors - used) / sectors_per_cluster);
    return layout;
}

bool ClusterCountFits(const FatFormatLayout& layout) {
    return layout.cluster_count >= MinClusters(layout.fat32) &&
           layout.cluster_count <= MaxClusters(layout.fat32);
}

// The first volume size (in sectors) whose cluster count reaches clusters.
// The count grows with the size except for a dip of one cluster where the
// FAT grows and the alignment padding wraps, so the search lands within a
// cluster or two of the boundary and the callers settle the rest.
std::uint64_t SectorsReaching(std::uint64_t clusters, unsigned sectors_per_cluster, bool fat32) {
    std::uint64_t low = 0;
    std::uint64_t high = kMaxTotalSectors + 1;
    while (low < high) {
        const std::uint64_t middle = low + (high - low) / 2;
        if (middle <= kMaxTotalSectors &&
            LayoutFor(static_cast<std::uint32_t>(middle), sectors_per_cluster, fat32).cluster_count < clusters)
            low = middle + 1;
        else
            high = middle;
    }
    return low;
}

std::uint32_t ClusterCountAt(std::uint64_t sectors, unsigned sectors_per_cluster, bool fat32) {
    return LayoutFor(static_cast<std::uint32_t>(sectors), sectors_per_cluster, fat32).cluster_count;
}

// The smallest volume that reaches the type's minimum cluster count.
std::uint64_t SmallestFittingSectors(unsigned sectors_per_cluster, bool fat32) {
    std::uint64_t sectors = SectorsReaching(MinClusters(fat32), sectors_per_cluster, fat32);
    while (sectors < kMaxTotalSectors && ClusterCountAt(sectors, sectors_per_cluster, fat32) < MinClusters(fat32))
        ++sectors;
    return sectors;
}

// The largest volume that stays within the type's maximum cluster count.
std::uint64_t LargestFittingSectors(unsigned sectors_per_cluster, bool fat32) {
    std::uint64_t sectors = SectorsReaching(MaxClusters(fat32) + 1ull, sectors_per_cluster, fat32) - 1;
    while (sectors > 0 && ClusterCountAt(sectors, sectors_per_cluster, fat32) > MaxClusters(fat32)) --sectors;
    return sectors;
}

std::string ClusterSizeText(unsigned sectors_per_cluster) {
    return std::to_string(sectors_per_cluster) +
           (sectors_per_cluster == 1 ? " sector per cluster" : " sectors per cluster");
}

std::string SizeError(const FatFormatLayout& layout) {
    const bool fat32 = layout.fat32;
    const unsigned spc = layout.sectors_per_cluster;
    const std::string with = std::string(TypeName(fat32)) + " with " + ClusterSizeText(spc);
    if (layout.cluster_count < MinClusters(fat32)) {
        return "too small for " + with + " (at least " + std::to_string(MinClusters(fat32)) +
               " clusters); needs at least " +
               std::to_string(SmallestFittingSectors(spc, fat32) * kSectorSize) + " bytes";
    }
    return "too large for " + with + " (at most " + std::to_string(MaxClusters(fat32)) +
           " clusters); holds at most " +
           std::to_string(LargestFittingSectors(spc, fat32) * kSectorSize) + " bytes";
}

template <std::size_t N>
unsigned ClusterSizeFromTable(const ClusterSizeStep (&steps)[N], std::uint64_t total_sectors) {
    for (const ClusterSizeStep& step : steps)
        if (total_sectors <= step.up_to_sectors) return step.sectors_per_cluster;
    return kMaxSectorsPerCluster;
}

unsigned DefaultClusterSize(std::uint64_t total_sectors, bool fat32) {
    return fat32 ? ClusterSizeFromTable(kFat32ClusterSizes, total_sectors)
                 : ClusterSizeFromTable(kFat16ClusterSizes, total_sectors);
}

// Starts from the usual cluster size and moves it in one direction until the
// cluster count suits the type, or the cluster size runs out of room.
FatFormatLayout ChooseLayout(std::uint32_t total_sectors, unsigned forced_cluster_size, bool fat32) {
    if (forced_cluster_size != 0) return LayoutFor(total_sectors, forced_cluster_size, fat32);
    FatFormatLayout layout = LayoutFor(total_sectors, DefaultClusterSize(total_sectors, fat32), fat32);
    const bool too_few = layout.cluster_count < MinClusters(fat32);
    while (!ClusterCountFits(layout)) {
        const unsigned spc = layout.sectors_per_cluster;
        if (too_few ? spc == 1 : spc == kMaxSectorsPerCluster) break;
        layout = LayoutFor(total_sectors, too_few ? spc / 2 : spc * 2, fat32);
    }
    return layout;
}

std::uint32_t SerialFromClock() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto ticks = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(now).count());
    return static_cast<std::uint32_t>(ticks ^ (ticks >> 32));
}

bool IsLabelCharacter(char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u >= 0x7F) return false;
    return std::strchr("\"*+,./:;<=>?[\\]|", c) == nullptr;
}

void StoreText(std::uint8_t* at, const std::string& text) { std::memcpy(at, text.data(), text.size()); }

void FillExtendedBpb(std::uint8_t* bpb, const FatFormatLayout& layout, std::uint32_t serial,
                     const std::string& label_name) {
    bpb[kDriveNumber] = kFixedDiskDrive;
    bpb[kExtendedSignature] = kExtendedSignatureValue;
    FatStore32(bpb + kVolumeSerial, serial);
    StoreText(bpb + kVolumeLabel, label_name);
    StoreText(bpb + kFsTypeName, layout.fat32 ? "FAT32   " : "FAT16   ");
}

Sector BootSector(const FatFormatLayout& layout, const FatFormatOptions& options, std::uint32_t serial,
                  const std::string& label_name) {
    Sector s{};
    const int extended = layout.fat32 ? kFat32ExtendedBpb : kFat16ExtendedBpb;
    const int boot_code = extended + kExtendedBpbSize;
    s[kJump] = 0xEB;
    s[kJump + 1] = static_cast<std::uint8_t>(boot_code - 2);
    s[kJump + 2] = 0x90;
    StoreText(&s[kOemName], kOemNameText);
    FatStore16(&s[kBytesPerSector], kSectorSize);
    s[kSectorsPerCluster] = static_cast<std::uint8_t>(layout.sectors_per_cluster);
    FatStore16(&s[kReservedSectors], static_cast<std::uint16_t>(layout.reserved_sectors));
    s[kFatCount] = static_cast<std::uint8_t>(layout.fat_count);
    FatStore16(&s[kRootEntryCount], static_cast<std::uint16_t>(layout.root_entry_count));
    if (!layout.fat32 && layout.total_sectors <= 0xFFFF)
        FatStore16(&s[kTotalSectors16], static_cast<std::uint16_t>(layout.total_sectors));
    else
        FatStore32(&s[kTotalSectors32], layout.total_sectors);
    s[kMediaDescriptor] = kFixedDiskMedia;
    FatStore16(&s[kSectorsPerTrack], kNominalSectorsPerTrack);
    FatStore16(&s[kHeadCount], kNominalHeads);
    FatStore32(&s[kHiddenSectors], options.hidden_sectors);
    if (layout.fat32) {
        FatStore32(&s[kFatSize32], layout.fat_size);
        FatStore16(&s[kExtFlags], 0);
        FatStore16(&s[kFsVersion], 0);
        FatStore32(&s[kRootCluster], kFat32RootCluster);
        FatStore16(&s[kFsInfoSector], kFat32FsInfoSector);
        FatStore16(&s[kBackupBootSector], kFat32BackupBootSector);
    } else {
        FatStore16(&s[kFatSize16], static_cast<std::uint16_t>(layout.fat_size));
    }
    FillExtendedBpb(&s[extended], layout, serial, label_name);
    std::memcpy(&s[boot_code], kHaltLoop, sizeof kHaltLoop);
    s[kSignature] = 0x55;
    s[kSignature + 1] = 0xAA;
    return s;
}

// Only the root directory's cluster is taken on a new FAT32 volume.
Sector FsInfoSector(const FatFormatLayout& layout) {
    Sector s{};
    FatStore32(&s[kFsInfoLead], kFsInfoLeadSignature);
    FatStore32(&s[kFsInfoStructSignature], kFsInfoStructSignatureValue);
    FatStore32(&s[kFsInfoFreeCount], layout.cluster_count - 1);
    FatStore32(&s[kFsInfoNextFree], kFat32RootCluster + 1);
    FatStore32(&s[kFsInfoTrailSignature], kFsInfoTrailSignatureValue);
    return s;
}

Sector FirstFatSector(const FatFormatLayout& layout) {
    Sector s{};
    if (layout.fat32) {
        FatStore32(&s[0], kFat32MediaEntry);
        FatStore32(&s[4], kFat32EndOfChain);
        FatStore32(&s[kFat32RootCluster * 4], kFat32EndOfChain);
    } else {
        FatStore16(&s[0], static_cast<std::uint16_t>(kFat16MediaEntry));
        FatStore16(&s[2], static_cast<std::uint16_t>(kFat16EndOfChain));
    }
    return s;
}

Sector LabelEntrySector(const std::string& label_name) {
    Sector s{};
    StoreText(&s[fatentry::kName], label_name);
    s[fatentry::kAttribute] = fatentry::kVolumeLabel;
    // The same clock reading as new entries get (thread-safe, clamped).
    const FatStamp stamp = FatStampNow();
    FatStore16(&s[fatentry::kWriteTime], stamp.time);
    FatStore16(&s[fatentry::kWriteDate], stamp.date);
    return s;
}

bool ZeroSectors(fat::BlockDevice& device, std::uint32_t first, std::uint32_t count) {
    const std::vector<std::uint8_t> zeros(std::size_t{std::min(count, kZeroRunSectors)} * kSectorSize, 0);
    while (count > 0) {
        const std::uint32_t run = std::min(count, kZeroRunSectors);
        if (!device.Write(first, zeros.data(), run)) return false;
        first += run;
        count -= run;
    }
    return true;
}

bool WriteSector(fat::BlockDevice& device, std::uint32_t sector, const Sector& data) {
    return device.Write(sector, data.data(), 1);
}

// Everything the mount and a directory walk look at: the reserved area, the
// FATs and the root directory (FAT16 fixed area, FAT32 first cluster).
std::uint32_t MetadataSectors(const FatFormatLayout& layout) {
    return layout.first_data_sector + (layout.fat32 ? layout.sectors_per_cluster : layout.root_dir_sectors);
}

std::uint32_t RootDirectorySector(const FatFormatLayout& layout) {
    return layout.reserved_sectors + layout.fat_count * layout.fat_size;
}

bool WriteVolume(const FatFormatLayout& layout, const FatFormatOptions& options, fat::BlockDevice& device,
                 const std::string& label_name, std::string* error) {
    auto fail = [error](const std::string& what) {
        *error = "write failed: " + what;
        return false;
    };
    if (!ZeroSectors(device, 0, MetadataSectors(layout))) return fail("clearing the FATs and root directory");
    const Sector fat_head = FirstFatSector(layout);
    for (std::uint32_t copy = 0; copy < layout.fat_count; ++copy)
        if (!WriteSector(device, layout.reserved_sectors + copy * layout.fat_size, fat_head))
            return fail("the FAT");
    if (!options.label.empty() && !WriteSector(device, RootDirectorySector(layout), LabelEntrySector(label_name)))
        return fail("the volume label entry");

    const std::uint32_t serial = options.serial != 0 ? options.serial : SerialFromClock();
    const Sector boot = BootSector(layout, options, serial, options.label.empty() ? kNoLabel : label_name);
    if (layout.fat32) {
        const Sector fsinfo = FsInfoSector(layout);
        if (!WriteSector(device, kFat32BackupBootSector, boot) ||
            !WriteSector(device, kFat32BackupBootSector + kFat32FsInfoSector, fsinfo))
            return fail("the backup boot sector");
        if (!WriteSector(device, kFat32FsInfoSector, fsinfo)) return fail("the FSInfo sector");
    }
    if (!WriteSector(device, 0, boot)) return fail("the boot sector");
    return true;
}

}  // namespace

bool FatIsValidClusterSize(unsigned sectors_per_cluster) {
    return sectors_per_cluster >= 1 && sectors_per_cluster <= kMaxSectorsPerCluster &&
           (sectors_per_cluster & (sectors_per_cluster - 1)) == 0;
}

bool FatLabelToEntryName(const std::string& label, std::string* entry_name, std::string* error) {
    if (label.size() > kLabelLength) {
        *error = "label \"" + label + "\" is longer than 11 characters";
        return false;
    }
    if (!label.empty() && label[0] == ' ') {
        *error = "label \"" + label + "\" begins with a space";
        return false;
    }
    std::string name;
    for (char c : label) {
        if (!IsLabelCharacter(c)) {
            *error = "label \"" + label + "\" holds a character a FAT label cannot hold";
            return false;
        }
        name += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    name.resize(kLabelLength, ' ');
    *entry_name = name;
    return true;
}

namespace {

int PlanVolume(const FatFormatOptions& options, FatFormatLayout* layout, std::string* label_name,
               std::string* error) {
    const unsigned forced = options.sectors_per_cluster;
    if (forced != 0 && !FatIsValidClusterSize(forced)) {
        *error = "sectors per cluster must be a power of two from 1 to 128, not " + std::to_string(forced);
        return 0;
    }
    if (!FatLabelToEntryName(options.label, label_name, error)) return 0;
    const std::uint64_t total_sectors = options.size_bytes / kSectorSize;
    if (total_sectors > kMaxTotalSectors) {
        *error = "too large: a FAT volume holds at most " + std::to_string(kMaxTotalSectors) +
                 " sectors of 512 bytes";
        return 0;
    }
    *layout = ChooseLayout(static_cast<std::uint32_t>(total_sectors), forced, options.fat32);
    if (!ClusterCountFits(*layout)) {
        *error = "a volume of " + std::to_string(options.size_bytes) + " bytes is " + SizeError(*layout);
        return 0;
    }
    return 1;
}

}  // namespace

int FatPlanVolume(const FatFormatOptions& options, FatFormatLayout* layout, std::string* error) {
    std::string label_name;
    return PlanVolume(options, layout, &label_name, error);
}

int FatFormatVolume(const FatFormatOptions& options, fat::BlockDevice& device, std::string* error) {
    FatFormatLayout layout{};
    std::string label_name;
    if (!PlanVolume(options, &layout, &label_name, error)) return 0;
    if (!device.Writable()) {
        *error = "no media to write to";
        return 0;
    }
    return WriteVolume(layout, options, device, label_name, error) ? 1 : 0;
}

int FatFormatVolume(const FatFormatOptions& options, MediaWriteFn write, std::string* error) {
    fat::CallbackBlockDevice device(nullptr, write);
    return FatFormatVolume(options, device, error);
}
