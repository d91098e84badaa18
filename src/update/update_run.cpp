#include "update/update_run.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <vector>

#include "device/discovery.h"
#include "device/eject.h"
#include "device/physical_drive_name.h"
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

std::string Bytes(std::uint64_t count) { return std::to_string(count) + " bytes"; }

std::string SpaceDetail(std::uint64_t free_bytes, std::uint64_t update_size, std::uint64_t earlier_size) {
    std::string detail = "free: " + Bytes(free_bytes) + ", needed: more than " + Bytes(update_size);
    if (earlier_size > 0) detail += " (the earlier update file frees " + Bytes(earlier_size) + ")";
    return detail;
}

const char* CopyWayText(CopyWay way) {
    switch (way) {
        case CopyWay::BesideEarlierFile: return "copy beside the earlier file, then rename";
        case CopyWay::RemoveEarlierFirst: return "remove the earlier update file first, then copy and rename";
        case CopyWay::NoRoom: return "no room";
    }
    return "";
}

// The bar moves through the copy, then through the check of the copy.
int PositionOf(ProgressPhase phase, std::uint64_t bytes, std::uint64_t total) {
    const bool copying = phase == ProgressPhase::Copy;
    const int from = copying ? kProgressCopyStart : kProgressVerifyStart;
    const int to = copying ? kProgressVerifyStart : kProgressCopyEnd;
    if (total == 0) return from;
    return from + static_cast<int>(std::min<std::uint64_t>(bytes, total) * static_cast<std::uint64_t>(to - from) / total);
}

// Time left from the pace so far, both phases counted as one piece of work
// of twice the file's size.
int SecondsLeft(std::chrono::steady_clock::duration elapsed, ProgressPhase phase, std::uint64_t bytes,
                std::uint64_t total) {
    const std::uint64_t done = (phase == ProgressPhase::Copy ? 0 : total) + bytes;
    const std::uint64_t work = 2 * total;
    const double seconds = std::chrono::duration<double>(elapsed).count();
    if (done == 0 || done > work) return kUnknownSecondsLeft;
    return static_cast<int>(seconds * static_cast<double>(work - done) / static_cast<double>(done) + 0.5);
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

UpdateRun::UpdateRun(UpdateWindow& window, const TextTable& texts, DeviceRecord& record, std::string gfx_directory,
                     VolumeExplorer* explorer)
    : window_(window),
      texts_(texts),
      record_(record),
      gfx_directory_(std::move(gfx_directory)),
      explorer_(explorer),
      log_(std::make_unique<RunLog>(RunLog::DefaultPath())) {}

UpdateRun::~UpdateRun() { WaitForWorker(); }

void UpdateRun::SetLogPath(std::string path) {
    WaitForWorker();
    log_ = std::make_unique<RunLog>(std::move(path));
}

void UpdateRun::WaitForWorker() {
    if (worker_.joinable()) worker_.join();
}

StartOutcome UpdateRun::Stop(StartOutcome outcome, const WindowText& text, bool ends_dialog) {
    log_->Line("stopped: " + text.text + (text.detail.empty() ? "" : " (" + text.detail + ")"));
    if (!text.text.empty()) window_.ShowMessage(text);
    if (ends_dialog) window_.EndDialog();
    return outcome;
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

    log_->Line("Start pressed; looking for the camera");
    record_.UserDriveRoot.clear();
    record_.DevicePath.clear();
    DetectDevice(record_, explorer_);
    if (!CameraFound(record_)) return Stop(StartOutcome::CameraNotFound, TableText(text_key::kCameraNotFound), false);
    log_->Line("camera found: system disk " + record_.DevicePath + ", user volume " + record_.UserDriveRoot +
               ", state word " + std::to_string(record_.DeviceStateWord));
    switch (JudgeStateWord(record_.DeviceStateWord)) {
        case StateWordReaction::Refuse:
            return Stop(StartOutcome::Refused,
                        TableText(text_key::kCameraRefused, "state word " + std::to_string(record_.DeviceStateWord)),
                        true);
        case StateWordReaction::Ask:
            if (!window_.AskYesNo(TableText(text_key::kUpdateAgainQuestion))) {
                log_->Line("the camera's question was answered No");
                window_.EndDialog();
                return StartOutcome::Declined;
            }
            log_->Line("the camera's question was answered Yes");
            break;
        case StateWordReaction::GoOn:
            break;
    }

    const std::int64_t update_size = FileSize(UpdateFilePath());
    if (update_size <= 0)
        return Stop(StartOutcome::FilesMissing, {"", kFilesMissingText, UpdateFilePath()}, false);
    const std::uint64_t free_bytes = FreeBytesOfVolume(record_.UserDriveRoot);
    const std::uint64_t earlier_size =
        static_cast<std::uint64_t>(std::max<std::int64_t>(FileSize(record_.UserDriveRoot + kUpdateFileName), 0));
    const auto size = static_cast<std::uint64_t>(update_size);
    const CopyWay way = ChooseCopyWay(free_bytes, size, earlier_size);
    log_->Line("update file " + UpdateFilePath() + ": " + Bytes(size) + "; " +
               SpaceDetail(free_bytes, size, earlier_size) + "; " + CopyWayText(way));
    if (way == CopyWay::NoRoom)
        return Stop(StartOutcome::NotEnoughSpace,
                    TableText(text_key::kNotEnoughSpace, SpaceDetail(free_bytes, size, earlier_size)), false);

    platform::DeviceHoldResult hold =
        platform::CurrentPlatform().HoldDevice(PhysicalDriveName(record_.PhysicalDriveNumber));
    if (hold.busy) return Stop(StartOutcome::CameraBusy, {"", kCameraBusyText, record_.DevicePath}, false);

    // A worker that returned to the first screen has made its last call.
    WaitForWorker();
    camera_hold_ = std::move(hold.hold);
    worker_active_ = true;
    worker_ = std::thread(&UpdateRun::UpdateWorker, this, record_, way);
    return StartOutcome::WorkerStarted;
}

void UpdateRun::UpdateWorker(DeviceRecord record, CopyWay way) {
    SetScreen(kScreenCopying);
    shown_position_ = -1;
    copy_started_ = std::chrono::steady_clock::now();
    Report({kProgressCopyStart, ProgressPhase::Copy});

    // A marker beside a missing or broken update file would make the camera
    // update from it: without a whole, checked copy there is no marker and
    // no eject, and the user may try again from the first screen.
    marker_read_back_ = false;
    ejected_ = false;
    if (!CopyUpdate(record, way) || !SetMarker(record)) return ReturnToStart();
    Eject(record);
    log_->Line(ejected_ ? "run ended: the update is on the camera"
                        : "run ended: the update is on the camera, which was not ejected");
    camera_hold_.reset();
    SetScreen(kScreenFinished);
    worker_active_ = false;
}

bool UpdateRun::CopyUpdate(const DeviceRecord& record, CopyWay way) {
    const CopyOutcome copied = CopyVerifiedUpdateFile(
        UpdateFilePath(), record.UserDriveRoot, way,
        [this](ProgressPhase phase, std::uint64_t bytes, std::uint64_t total) { ReportCopy(phase, bytes, total); });
    if (copied.ok) {
        log_->Line("copy: written and checked");
        return true;
    }
    log_->Line("copy failed: " + copied.failure);
    window_.ShowMessage({"", kCopyFailedText, copied.failure});
    return false;
}

bool UpdateRun::SetMarker(const DeviceRecord& record) {
    marker_read_back_ = SetUpdateMarker(record.PhysicalDriveNumber, kMarkerAppData);
    log_->Line(marker_read_back_ ? "marker: written and read back" : "marker: did not read back");
    if (!marker_read_back_) {
        window_.ShowMessage({"", kMarkerFailedText, "the marker sector of " + record.DevicePath + " did not read back"});
        return false;
    }
    Report({kProgressAfterMarker, ProgressPhase::Marker});
    return true;
}

void UpdateRun::Eject(const DeviceRecord& record) {
    const EjectOutcome outcome = EjectVolume(
        record.UserDriveRoot.front(),
        [this](int position) { Report({position, ProgressPhase::Eject}); },
        [this](const std::string& line) { Diagnostic(line); });
    ejected_ = outcome.SafeToUnplug();
    log_->Line(std::string("eject: ") + (outcome.opened ? "volume opened" : "volume did not open") +
               (outcome.locked ? ", locked" : ", not locked") + (outcome.dismounted ? ", dismounted" : ", not dismounted") +
               (outcome.ejected ? ", ejected" : ", not ejected"));
    if (!ejected_) window_.ShowWarning({"", kEjectFailedText, "drive " + record.UserDriveRoot});
}

void UpdateRun::ReturnToStart() {
    camera_hold_.reset();
    log_->Line("run ended: the update was not completed");
    SetScreen(kScreenStart);
    worker_active_ = false;
}

void UpdateRun::ReportCopy(ProgressPhase phase, std::uint64_t bytes, std::uint64_t total) {
    const int left = SecondsLeft(std::chrono::steady_clock::now() - copy_started_, phase, bytes, total);
    Report({PositionOf(phase, bytes, total), phase, bytes, total, left});
}

// Only a moved bar is shown: a big update file has tens of thousands of
// chunks, and every call may be a line of output or a round trip to the
// window's thread.
void UpdateRun::Report(const UpdateProgress& progress) {
    if (progress.position == shown_position_) return;
    shown_position_ = progress.position;
    window_.SetProgress(progress);
}

void UpdateRun::Diagnostic(const std::string& line) {
    log_->Diagnostic(line);
    window_.ShowDiagnostic(line);
}

void UpdateRun::SetScreen(int screen) {
    screen_number_ = screen;
    window_.ShowScreen(screen);
}

WindowText UpdateRun::TableText(const char* key, std::string detail) const {
    return {key, LookupText(texts_, key), std::move(detail)};
}

std::string UpdateRun::UpdateFilePath() const { return gfx_directory_ + "/" + kUpdateFileName; }
