// The update run: the Start command, which finds the camera and decides
// whether an update may start, and the worker, which copies the update file
// onto the camera's user volume, sets the update marker and ejects the volume.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "device/device_record.h"
#include "device/platform/platform.h"
#include "texts/text_table.h"
#include "update/run_log.h"
#include "update/update_copy.h"
#include "update/update_window.h"

class VolumeExplorer;

// The folder beside the program that holds the texts, pictures and update file.
constexpr char kGfxFolderName[] = "GFX_DATA";
// Fixed texts of the run (the others come from the text table).
constexpr char kFilesMissingText[] = "Some files are missing";
constexpr char kCopyFailedText[] =
    "The update file could not be copied to the camera. Check the camera and try again.";
constexpr char kMarkerFailedText[] =
    "The update was not completed: the camera could not be told to install it. "
    "Unplug the camera, plug it in again and press Start again.";
constexpr char kEjectFailedText[] =
    "The update is on the camera, but the camera could not be ejected. "
    "Eject it safely in the system before you unplug it.";
constexpr char kCameraBusyText[] =
    "Another update of this camera is running. Wait until it has ended, then press Start again.";

// Progress positions of the copying screen: the copy, then the check of the
// copy, end at kProgressCopyEnd; the eject adds its own.
constexpr int kProgressCopyStart = 0;
constexpr int kProgressVerifyStart = 75;
constexpr int kProgressCopyEnd = 90;
constexpr int kProgressAfterMarker = 92;

enum class StateWordReaction { GoOn, Ask, Refuse };
// 0 and 1 go on, 2 asks the user, anything above (0xAA after a failed read
// of the state sector) refuses.
StateWordReaction JudgeStateWord(std::uint32_t state_word);

// What a press of Start led to.
enum class StartOutcome {
    DialogEnded,     // Start on the final screen
    AlreadyStarted,  // a worker is still under way
    CameraNotFound,
    Refused,         // state word above 2
    Declined,        // the state-word question was answered No
    FilesMissing,    // the update file is missing or empty
    NotEnoughSpace,
    CameraBusy,      // another run holds the camera
    WorkerStarted,
};

// Free bytes of a volume root; 0 when the query fails.
std::uint64_t FreeBytesOfVolume(const std::string& root);

class UpdateRun {
public:
    // The run fills `record` (owned by the window, which also shows it to
    // the developer tools) and reads "APP_DATA.BIN" from gfx_directory.
    // `explorer` (may be null) sees the hidden volume that discovery mounts.
    UpdateRun(UpdateWindow& window, const TextTable& texts, DeviceRecord& record, std::string gfx_directory,
              VolumeExplorer* explorer = nullptr);
    // Waits for a worker still under way.
    ~UpdateRun();
    // Where the run keeps its log; empty keeps none. By default the log in
    // the user's state folder.
    void SetLogPath(std::string path);
    const std::string& LogPath() const { return log_->Path(); }
    UpdateRun(const UpdateRun&) = delete;
    UpdateRun& operator=(const UpdateRun&) = delete;

    // The Start button. On the first screen: finds the camera, judges its
    // state word, checks the update file and the free space, and starts the
    // worker without waiting for it. On the final screen: ends the dialog.
    // While a worker is under way: nothing.
    StartOutcome OnStart();

    int ScreenNumber() const { return screen_number_; }
    // Whether the last worker's marker read back.
    bool MarkerReadBack() const { return marker_read_back_; }
    // Whether the last worker could eject the user volume.
    bool Ejected() const { return ejected_; }
    // The run reached the final screen with the marker read back.
    bool Succeeded() const { return screen_number_ == kScreenFinished && marker_read_back_; }

    // Waits until a started worker has ended. Not to be called on the
    // window's thread while the worker may still call the window.
    void WaitForWorker();

private:
    void UpdateWorker(DeviceRecord record, CopyWay way);
    bool CopyUpdate(const DeviceRecord& record, CopyWay way);
    bool SetMarker(const DeviceRecord& record);
    void Eject(const DeviceRecord& record);
    void ReturnToStart();
    void Report(const UpdateProgress& progress);
    void ReportCopy(ProgressPhase phase, std::uint64_t bytes, std::uint64_t total);
    void Diagnostic(const std::string& line);
    StartOutcome Stop(StartOutcome outcome, const WindowText& text, bool ends_dialog);
    void SetScreen(int screen);
    WindowText TableText(const char* key, std::string detail = {}) const;
    std::string UpdateFilePath() const;

    UpdateWindow& window_;
    const TextTable& texts_;
    DeviceRecord& record_;
    std::string gfx_directory_;
    VolumeExplorer* explorer_;

    std::atomic<int> screen_number_{kScreenStart};
    // Set from the start of a worker until its last call of the window.
    std::atomic<bool> worker_active_{false};
    std::atomic<bool> marker_read_back_{false};
    std::atomic<bool> ejected_{false};
    std::unique_ptr<RunLog> log_;
    // Held from the start of a worker until it ends.
    std::unique_ptr<platform::DeviceHold> camera_hold_;
    // The worker's own: the last position shown, and when its copy began.
    int shown_position_ = -1;
    std::chrono::steady_clock::time_point copy_started_;
    std::thread worker_;
};
