#include "update/update_run.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "device/discovery.h"
#include "device/eject.h"
#include "device/platform/platform.h"
#include "update/marker.h"

namespace {

// The system disk was found when the device path names a physical drive.
constexpr char kPhysicalDriveMark[] = "PHYSICAL";
constexpr std::uint32_t kHighestGoOnStateWord = 1;
constexpr std::uint32_t kAskStateWord = 2;

bool CameraFound(const DeviceRecord& record) {
    return record.DevicePath.find(kPhysicalDriveMark) != std::string::npos && !record.UserDriveRoot.empty();
}

std::uint64_t SaturatingProduct(std::uint64_t a, std::uint64_t b) {
    if (a != 0 && b > std::numeric_limits<std::uint64_t>::max() / a) return std::numeric_limits<std::uint64_t>::max();
    return a * b;
}

// Size of an existing file, or -1 when it does not open or its size is unknown.
std::int64_t FileSize(const std::string& path) {
    auto file = platform::CurrentPlatform().OpenFile(path, platform::FileMode::ReadExisting);
    return file ? file->Size() : -1;
}

int CopyProgress(std::uint64_t copied, std::uint64_t total) {
    const std::uint64_t position = copied * kProgressCopyEnd / total;
    return static_cast<int>(std::min<std::uint64_t>(position, kProgressCopyEnd));
}

}  // namespace

StateWordReaction JudgeStateWord(std::uint32_t state_word) {
    if (state_word <= kHighestGoOnStateWord) return StateWordReaction::GoOn;
    if (state_word == kAskStateWord) return StateWordReaction::Ask;
    return StateWordReaction::Refuse;
}

std::uint64_t FreeBytesOfVolume(const std::string& root) {
    platform::DiskFreeSpace space{};
    if (!platform::CurrentPlatform().FreeSpace(root, &space)) return 0;
    return SaturatingProduct(SaturatingProduct(space.sectors_per_cluster, space.bytes_per_sector),
                             space.free_clusters);
}

bool CopyUpdateFile(const std::string& source_path, const std::string& destination_path,
                    const std::function<void(int)>& progress) {
    auto& files = platform::CurrentPlatform();
    auto source = files.OpenFile(source_path, platform::FileMode::ReadExisting);
    const std::int64_t size = source ? source->Size() : -1;
    if (size <= 0) return false;
    const auto total = static_cast<std::uint64_t>(size);
    auto destination = files.OpenFile(destination_path, platform::FileMode::CreateTruncate);
    if (!destination) return false;

    std::vector<std::uint8_t> chunk(kCopyChunkBytes);
    std::uint64_t copied = 0;
    for (;;) {
        const std::size_t read = source->Read(chunk.data(), chunk.size());
        if (read == 0) break;
        if (destination->Write(chunk.data(), read) != read) return false;
        copied += read;
        progress(CopyProgress(copied, total));
    }
    // A read error ends the loop early; a file that changed meanwhile differs
    // in size. Either way the copy is not the update file.
    return copied == total && destination->Flush();
}

UpdateRun::UpdateRun(UpdateWindow& window, const TextTable& texts, DeviceRecord& record, std::string gfx_directory,
                     VolumeExplorer* explorer)
    : window_(window), texts_(texts), record_(record), gfx_directory_(std::move(gfx_directory)), explorer_(explorer) {}

UpdateRun::~UpdateRun() { WaitForWorker(); }

void UpdateRun::WaitForWorker() {
    if (worker_.joinable()) worker_.join();
}

StartOutcome UpdateRun::OnStart() {
    // A press that reaches us while a worker is under way (a double click
    // whose second half comes before the copying screen hides the button)
    // neither starts a second worker nor ends the dialog during the copy.
    if (worker_active_) return StartOutcome::AlreadyStarted;
    if (screen_number_ != kScreenStart) {
        window_.EndDialog();
        return StartOutcome::DialogEnded;
    }

    record_.UserDriveRoot.clear();
    record_.DevicePath.clear();
    DetectDevice(record_, explorer_);
    if (!CameraFound(record_)) {
        ShowText(text_key::kCameraNotFound);
        return StartOutcome::CameraNotFound;
    }
    switch (JudgeStateWord(record_.DeviceStateWord)) {
        case StateWordReaction::Refuse:
            ShowText(text_key::kCameraRefused);
            window_.EndDialog();
            return StartOutcome::Refused;
        case StateWordReaction::Ask:
            if (!window_.AskYesNo({text_key::kUpdateAgainQuestion,
                                   LookupText(texts_, text_key::kUpdateAgainQuestion)})) {
                window_.EndDialog();
                return StartOutcome::Declined;
            }
            break;
        case StateWordReaction::GoOn:
            break;
    }

    const std::uint64_t free_bytes = FreeBytesOfVolume(record_.UserDriveRoot);
    const std::int64_t update_size = FileSize(UpdateFilePath());
    if (update_size <= 0) {
        window_.ShowMessage({"", kFilesMissingText});
        return StartOutcome::FilesMissing;
    }
    if (free_bytes <= static_cast<std::uint64_t>(update_size)) {
        ShowText(text_key::kNotEnoughSpace);
        return StartOutcome::NotEnoughSpace;
    }

    // A worker that returned to the first screen has made its last call.
    WaitForWorker();
    worker_active_ = true;
    worker_ = std::thread(&UpdateRun::UpdateWorker, this, record_);
    return StartOutcome::WorkerStarted;
}

void UpdateRun::UpdateWorker(DeviceRecord record) {
    SetScreen(kScreenCopying);
    window_.SetProgress(kProgressCopyStart);
    const auto progress = [this](int position) { window_.SetProgress(position); };

    // A marker beside a missing or broken update file would make the camera
    // update from it: without a whole copy there is no marker and no eject,
    // and the user may try again from the first screen.
    if (!CopyUpdateFile(UpdateFilePath(), record.UserDriveRoot + kUpdateFileName, progress)) {
        marker_read_back_ = false;
        window_.ShowMessage({"", kCopyFailedText});
        SetScreen(kScreenStart);
        worker_active_ = false;
        return;
    }

    marker_read_back_ = SetUpdateMarker(record.PhysicalDriveNumber, kMarkerAppData);
    if (!marker_read_back_) ShowText(text_key::kCameraNotFound);
    window_.SetProgress(kProgressAfterMarker);
    EjectVolume(record.UserDriveRoot.front(), progress);
    SetScreen(kScreenFinished);
    worker_active_ = false;
}

void UpdateRun::SetScreen(int screen) {
    screen_number_ = screen;
    window_.ShowScreen(screen);
}

void UpdateRun::ShowText(const char* key) { window_.ShowMessage({key, LookupText(texts_, key)}); }

std::string UpdateRun::UpdateFilePath() const { return gfx_directory_ + "/" + kUpdateFileName; }
