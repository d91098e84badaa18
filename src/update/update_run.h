// The update run: the Start command, which finds the camera and decides
// whether an update may start, and the worker, which copies the update file
// onto the camera's user volume, sets the update marker and ejects the volume.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "device/device_record.h"
#include "texts/text_table.h"
#include "update/update_window.h"

class VolumeExplorer;

// The folder beside the program that holds the texts, pictures and update file.
constexpr char kGfxFolderName[] = "GFX_DATA";
constexpr char kUpdateFileName[] = "APP_DATA.BIN";
// Fixed texts of the run (the others come from the text table).
constexpr char kFilesMissingText[] = "Some files are missing";
constexpr char kCopyFailedText[] =
    "The update file could not be copied to the camera. Check the camera and try again.";

// Progress positions of the copying screen; the eject adds its own.
constexpr int kProgressCopyStart = 0;
constexpr int kProgressCopyEnd = 90;
constexpr int kProgressAfterMarker = 92;

constexpr std::size_t kCopyChunkBytes = 0x10000;

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
    WorkerStarted,
};

// Free bytes of a volume root; 0 when the query fails.
std::uint64_t FreeBytesOfVolume(const std::string& root);

// Copies a file chunk by chunk, checking every transfer, flushing the
// destination and comparing the bytes written with the source's size.
// `progress` gets the position after each chunk (0 to 90). False when any of
// that fails or the source is empty.
bool CopyUpdateFile(const std::string& source, const std::string& destination,
                    const std::function<void(int)>& progress);

class UpdateRun {
public:
    // The run fills `record` (owned by the window, which also shows it to
    // the developer tools) and reads "APP_DATA.BIN" from gfx_directory.
    // `explorer` (may be null) sees the hidden volume that discovery mounts.
    UpdateRun(UpdateWindow& window, const TextTable& texts, DeviceRecord& record, std::string gfx_directory,
              VolumeExplorer* explorer = nullptr);
    // Waits for a worker still under way.
    ~UpdateRun();
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
    // The run reached the final screen with the marker read back.
    bool Succeeded() const { return screen_number_ == kScreenFinished && marker_read_back_; }

    // Waits until a started worker has ended. Not to be called on the
    // window's thread while the worker may still call the window.
    void WaitForWorker();

private:
    void UpdateWorker(DeviceRecord record);
    void SetScreen(int screen);
    void ShowText(const char* key);
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
    std::thread worker_;
};
