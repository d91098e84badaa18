#include "fat/engine.h"

#include <cstdlib>
#include <mutex>
#include <new>
#include <type_traits>

#include "fat/fat_table.h"
#include "fat/volume_state.h"
#include "fat/write_batch.h"

namespace fat {
namespace {

struct MountCode {
    MountError error;
    int code;
    const char* text;
};

constexpr MountCode kMountCodes[] = {
    {MountError::None, kFatMountOk, "mounted"},
    {MountError::ReadFailed, kFatMountReadFailed, "the device could not be read"},
    {MountError::BadSectorSize, kFatMountBadSectorSize, "the boot sector does not describe 512-byte sectors"},
    {MountError::NoSignature, kFatMountNoSignature, "no FAT boot sector"},
    {MountError::BadGeometry, kFatMountBadGeometry, "the boot sector describes no usable FAT16 or FAT32 volume"},
    {MountError::NoClusterSize, kFatMountNoClusterSize, "the boot sector gives no cluster size"},
};

const MountCode& FindMountCode(MountError error) {
    for (const MountCode& entry : kMountCodes)
        if (entry.error == error) return entry;
    return kMountCodes[1];
}

}  // namespace

MountError MountErrorOf(int mount_code) {
    for (const MountCode& entry : kMountCodes)
        if (entry.code == mount_code) return entry.error;
    return MountError::ReadFailed;
}

int MountCodeOf(MountError error) { return FindMountCode(error).code; }

const char* MountErrorText(MountError error) { return FindMountCode(error).text; }

const char* ResultText(Result result) {
    switch (result) {
        case Result::Ok: return "done";
        case Result::NotMounted: return "no volume is mounted";
        case Result::NotFound: return "no such file or folder";
        case Result::Exists: return "the name is taken";
        case Result::NoSpace: return "the volume or the folder is full";
        case Result::BadName: return "the name cannot be stored on the volume";
        case Result::Busy: return "the file is open";
        case Result::NotADirectory: return "not a folder";
        case Result::IsADirectory: return "is a folder";
        case Result::NotEmpty: return "the folder is not empty";
        case Result::ReadOnly: return "the volume is read-only";
        case Result::TooLarge: return "a file on the volume cannot pass 4 GiB";
        case Result::Damaged: return "the volume is damaged there";
        case Result::Io: return "the device failed a read or write";
        case Result::Invalid: return "the call cannot be made";
    }
    return "failed";
}

// The record carries its FAT cache (1 MiB): calloc hands out zeroed pages
// without touching them, so a short run pays only for what it uses.
Volume::Volume() : state_(std::make_unique<FatVolumeState>()), record_(NewRecord()) {
    record_->state = state_.get();
    record_->sector_buffer_tag = kFatNoSector;
}

FatVolume* Volume::NewRecord() {
    static_assert(std::is_trivially_default_constructible_v<FatVolume> && std::is_trivially_destructible_v<FatVolume>);
    auto* record = static_cast<FatVolume*>(std::calloc(1, sizeof(FatVolume)));
    if (!record) throw std::bad_alloc();
    return record;
}

void Volume::RecordFree::operator()(FatVolume* record) const { std::free(record); }

Volume::~Volume() { EndBatchOnRelease(); }

void Volume::EndBatchOnRelease() {
    std::lock_guard<std::recursive_mutex> lock(state_->mutex);
    if (!state_->batch_open) return;
    FatOperationScope scope(*record_);
    FatEndBatchOnDevice(*record_);
}

MountError Volume::Mount(BlockDevice& device, Diagnostics& diagnostics) {
    std::lock_guard<std::recursive_mutex> lock(state_->mutex);
    state_->diagnostics = &diagnostics;
    return Mount(device);
}

MountError Volume::Mount(BlockDevice& device) {
    std::lock_guard<std::recursive_mutex> lock(state_->mutex);
    const MountError error = MountErrorOf(FatMountOn(*record_, device));
    // A device given by reference replaces one the volume kept.
    if (owned_device_.get() != &device) owned_device_.reset();
    return error;
}

MountError Volume::Mount(std::unique_ptr<BlockDevice> device) {
    std::lock_guard<std::recursive_mutex> lock(state_->mutex);
    BlockDevice& kept = *device;
    const MountError error = Mount(kept);
    owned_device_ = std::move(device);
    return error;
}

void Volume::Unmount() {
    std::lock_guard<std::recursive_mutex> lock(state_->mutex);
    EndBatchOnRelease();
    FatResetFiles(*record_);
    state_->mounted = false;
    record_->device = nullptr;
    owned_device_.reset();
}

bool Volume::IsMounted() {
    std::lock_guard<std::recursive_mutex> lock(state_->mutex);
    return FatVolumeUsable(*record_);
}

void Volume::SetDiagnostics(Diagnostics& diagnostics) {
    std::lock_guard<std::recursive_mutex> lock(state_->mutex);
    state_->diagnostics = &diagnostics;
}

Result Volume::Outcome(bool succeeded) { return succeeded ? Result::Ok : state_->outcome.Failure(); }

Result Volume::Info(VolumeInfo* info) {
    std::lock_guard<std::recursive_mutex> lock(state_->mutex);
    if (!FatVolumeUsable(*record_)) return Result::NotMounted;
    const FatVolume& v = *record_;
    *info = VolumeInfo{v.is_fat32 != 0, v.volume_start,    v.sectors_per_cluster, v.reserved_sectors, v.fat_count,
                       v.fat_size,      v.root_entry_count, v.root_cluster,       v.cluster_count,    v.total_sectors};
    return Result::Ok;
}

Result Volume::CountFreeClusters(std::uint32_t* free_clusters) {
    FatOperationScope scope(*record_);
    if (!FatRequireMounted(*record_)) return Outcome(false);
    return Outcome(FatCountFreeClusters(*record_, free_clusters) == 1);
}

Result Volume::List(const std::string& path, FatEntryInfoList* entries) {
    std::lock_guard<std::recursive_mutex> lock(state_->mutex);
    return Outcome(FatListDirectory(*record_, *entries, path.c_str()));
}

Result Volume::ForEach(const std::string& path, const FatEntryVisitor& visit) {
    std::lock_guard<std::recursive_mutex> lock(state_->mutex);
    return Outcome(FatForEachEntry(*record_, path.c_str(), visit));
}

Result Volume::Lookup(const std::string& path, FatEntryInfo* info) {
    std::lock_guard<std::recursive_mutex> lock(state_->mutex);
    return Outcome(FatLookupEntry(*record_, path.c_str(), info) == 1);
}

Result Volume::Open(const std::string& path, const char* mode, FatFile** file) {
    std::lock_guard<std::recursive_mutex> lock(state_->mutex);
    *file = FatOpenFile(*record_, mode, path.c_str());
    return Outcome(*file != nullptr);
}

Result Volume::OpenListed(const FatEntryLocation& entry, FatFile** file) {
    std::lock_guard<std::recursive_mutex> lock(state_->mutex);
    *file = FatOpenListed(*record_, entry);
    return Outcome(*file != nullptr);
}

Result Volume::OpenForWriting(const std::string& path, const char* stamp, FatFile** file) {
    std::lock_guard<std::recursive_mutex> lock(state_->mutex);
    *file = FatOpenWriteStamped(*record_, path.c_str(), stamp);
    return Outcome(*file != nullptr);
}

Result Volume::Read(FatFile* file, void* buffer, std::uint32_t length, std::uint32_t* done) {
    std::lock_guard<std::recursive_mutex> lock(state_->mutex);
    *done = 0;
    const int read = FatReadFile(*record_, file, length, static_cast<std::uint8_t*>(buffer));
    // The classic call answers -1 both for a bad call and at the end.
    if (read < 0) return state_->outcome.reason == Result::Invalid ? Result::Invalid : Result::Ok;
    *done = static_cast<std::uint32_t>(read);
    const bool stopped_before_end = *done < length && file->position < file->size;
    return Outcome(!stopped_before_end);
}

Result Volume::Write(FatFile* file, const void* buffer, std::uint32_t length, std::uint32_t* done) {
    std::lock_guard<std::recursive_mutex> lock(state_->mutex);
    *done = 0;
    const int written = FatWriteFile(*record_, file, static_cast<const std::uint8_t*>(buffer), length);
    if (written < 0) return Outcome(false);
    *done = static_cast<std::uint32_t>(written);
    if (*done == length) return Result::Ok;
    // Nothing failed and nothing ran out: the file reached its largest size.
    const FatOutcome& outcome = state_->outcome;
    if (outcome.reason == Result::Ok && !outcome.io_failed && !outcome.damaged) return Result::TooLarge;
    return Outcome(false);
}

Result Volume::Flush(FatFile* file) {
    std::lock_guard<std::recursive_mutex> lock(state_->mutex);
    return Outcome(FatFlushFile(*record_, file) == 0);
}

Result Volume::Close(FatFile* file) {
    std::lock_guard<std::recursive_mutex> lock(state_->mutex);
    return Outcome(FatCloseFile(*record_, file) == 0);
}

void Volume::Abandon(FatFile* file) {
    std::lock_guard<std::recursive_mutex> lock(state_->mutex);
    FatAbandonFile(*record_, file);
}

Result Volume::Delete(const std::string& path) {
    std::lock_guard<std::recursive_mutex> lock(state_->mutex);
    return Outcome(FatDeleteFile(*record_, path.c_str()) == 0);
}

Result Volume::MakeDirectory(const std::string& path, const char* stamp) {
    std::lock_guard<std::recursive_mutex> lock(state_->mutex);
    return Outcome(FatMakeDirectoryStamped(*record_, path.c_str(), stamp) == 1);
}

Result Volume::RemoveDirectory(const std::string& path) {
    std::lock_guard<std::recursive_mutex> lock(state_->mutex);
    return Outcome(FatRemoveDirectory(*record_, path.c_str()) == 1);
}

Result Volume::RemoveTree(const std::string& path) {
    std::lock_guard<std::recursive_mutex> lock(state_->mutex);
    return Outcome(FatRemoveTree(*record_, path.c_str()) == 1);
}

Result Volume::Rename(const std::string& path, const std::string& new_name) {
    std::lock_guard<std::recursive_mutex> lock(state_->mutex);
    return Outcome(FatRenamePath(*record_, path.c_str(), new_name.c_str()) == 1);
}

void Volume::BeginBatch() {
    std::lock_guard<std::recursive_mutex> lock(state_->mutex);
    if (FatVolumeUsable(*record_)) FatBatchBegin(*record_);
}

Result Volume::EndBatch() {
    FatOperationScope scope(*record_);
    if (!state_->batch_open) return Result::Ok;
    return Outcome(FatBatchEnd(*record_));
}

Volume& DefaultVolume() {
    static Volume volume;
    return volume;
}

Mounted Mount(BlockDevice& device, Diagnostics& diagnostics) {
    auto volume = std::make_unique<Volume>();
    const MountError error = volume->Mount(device, diagnostics);
    if (error != MountError::None) volume.reset();
    return Mounted{std::move(volume), error};
}

}  // namespace fat

FatVolume& FatTheVolume() { return fat::DefaultVolume().Record(); }

int FatMountWith(MediaReadFn read, MediaWriteFn write) {
    return fat::MountCodeOf(fat::DefaultVolume().Mount(std::make_unique<fat::CallbackBlockDevice>(read, write)));
}
