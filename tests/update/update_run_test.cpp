#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "device/camera_layout.h"
#include "device/physical_drive_name.h"
#include "device/platform/sim/sim_platform.h"
#include "faulty_platform.h"
#include "recording_window.h"
#include "support/update_camera.h"
#include "support/test_support.h"
#include "update/marker.h"
#include "update/update_run.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

const std::string kCopyFailedMessage = std::string("message: ") + kCopyFailedText;

class UpdateRunTest : public ::testing::Test {
protected:
    void TearDown() override {
        run_.reset();
        platform::InstallPlatform(std::make_unique<platform::SimulatedPlatform>());
    }

    void MakeRun(const UpdateCameraOptions& options) {
        camera_ = MakeUpdateCamera(ScratchDir(), options);
        std::string error;
        auto simulated = platform::SimulatedPlatform::LoadManifest(camera_.manifest, &error);
        ASSERT_TRUE(simulated) << error;
        auto faulty = std::make_unique<FaultyPlatform>(std::move(simulated));
        faults_ = &faulty->faults;
        platform::InstallPlatform(std::move(faulty));
        ASSERT_EQ(LoadTextTable(TextTablePath(camera_.gfx_dir), texts_).status, TextTableStatus::Loaded);
        run_ = std::make_unique<UpdateRun>(window_, texts_, record_, camera_.gfx_dir);
        run_->SetLogPath(LogPath());
    }

    std::string LogPath() const { return camera_.user_dir + "/../run.log"; }
    std::string UserTempFile() const { return camera_.user_dir + "/" + kUpdateTempFileName; }

    StartOutcome StartAndWait() {
        const StartOutcome outcome = run_->OnStart();
        run_->WaitForWorker();
        return outcome;
    }

    std::string UserUpdateFile() const { return camera_.user_dir + "/" + kUpdateFileName; }
    std::vector<std::uint8_t> MarkerSector() const {
        return ReadSector(camera_.system_image, camera::kUpdateMarkerSector);
    }

    void ExpectUpdated() {
        EXPECT_EQ(run_->ScreenNumber(), kScreenFinished);
        EXPECT_TRUE(run_->Succeeded());
        EXPECT_EQ(ReadFileBytes(UserUpdateFile()), ReadFileBytes(camera_.update_file));
        const UpdateMarker expected = MakeUpdateMarker(kMarkerAppData);
        EXPECT_EQ(MarkerSector(), std::vector<std::uint8_t>(expected.begin(), expected.end()));
    }

    void ExpectNotUpdated() {
        EXPECT_EQ(run_->ScreenNumber(), kScreenStart);
        EXPECT_FALSE(run_->Succeeded());
        EXPECT_EQ(MarkerSector(), std::vector<std::uint8_t>(kSectorSize, 0));
        // No eject either: its positions come after the marker's 92.
        for (int position : window_.ProgressPositions()) EXPECT_LT(position, kProgressAfterMarker);
    }

    UpdateCamera camera_;
    Faults* faults_ = nullptr;
    TextTable texts_;
    DeviceRecord record_;
    RecordingWindow window_;
    std::unique_ptr<UpdateRun> run_;
};

struct StartCase {
    const char* name;
    UpdateCameraOptions options;
    bool answer_yes;
    StartOutcome outcome;
    std::vector<std::string> messages;  // "message" events in order
    bool ends_dialog;
    std::string detail = {};            // part of the message's detail
};

UpdateCameraOptions WithState(std::uint32_t state) {
    UpdateCameraOptions options;
    options.state_word = state;
    return options;
}

UpdateCameraOptions WithFreeSpace(std::optional<std::uint64_t> free_bytes, bool user_root = true) {
    UpdateCameraOptions options;
    options.user_free_bytes = free_bytes;
    options.user_root = user_root;
    return options;
}

UpdateCameraOptions WithUpdateFile(bool present, std::uint64_t size) {
    UpdateCameraOptions options;
    options.update_file = present;
    options.update_size = size;
    return options;
}

UpdateCameraOptions WithoutSystemVolume() {
    UpdateCameraOptions options;
    options.system_volume = false;
    return options;
}

const std::string kFilesMissing = std::string("message: ") + kFilesMissingText;

std::vector<StartCase> StartCases() {
    return {
        {"state_0", WithState(0), true, StartOutcome::WorkerStarted, {}, false},
        {"state_1", WithState(1), true, StartOutcome::WorkerStarted, {}, false},
        {"state_2_yes", WithState(2), true, StartOutcome::WorkerStarted, {}, false},
        {"state_2_no", WithState(2), false, StartOutcome::Declined, {}, true},
        {"state_3", WithState(3), true, StartOutcome::Refused, {"message OT2.3"}, true, "state word 3"},
        {"state_failed_read", WithState(camera::kStateWordFailedRead), true, StartOutcome::Refused,
         {"message OT2.3"}, true},
        {"free_space_equals_size", WithFreeSpace(100000), true, StartOutcome::NotEnoughSpace, {"message OT3.1"}, false,
         "free: 100000 bytes, needed: more than 100000 bytes"},
        {"free_space_one_byte_more", WithFreeSpace(100001), true, StartOutcome::WorkerStarted, {}, false},
        {"free_space_query_fails", WithFreeSpace(std::nullopt, false), true, StartOutcome::NotEnoughSpace,
         {"message OT3.1"}, false},
        {"empty_update_file", WithUpdateFile(true, 0), true, StartOutcome::FilesMissing, {kFilesMissing}, false},
        {"missing_update_file", WithUpdateFile(false, 0), true, StartOutcome::FilesMissing, {kFilesMissing}, false,
         "GFX_DATA/APP_DATA.BIN"},
        {"camera_not_found", WithoutSystemVolume(), true, StartOutcome::CameraNotFound, {"message OT2.1"}, false},
    };
}

void PrintTo(const StartCase& c, std::ostream* out) { *out << c.name; }

class UpdateRunStartTest : public UpdateRunTest, public ::testing::WithParamInterface<StartCase> {};

TEST_P(UpdateRunStartTest, DecidesAndShowsItsText) {
    const StartCase& c = GetParam();
    MakeRun(c.options);
    window_.answer_yes = c.answer_yes;
    EXPECT_EQ(StartAndWait(), c.outcome);
    EXPECT_EQ(window_.EventsOf("message"), c.messages);
    EXPECT_EQ(window_.EventsOf("end").size(), c.ends_dialog ? 1u : 0u);
    const bool asked = c.options.state_word == 2 && c.options.system_volume;
    EXPECT_EQ(window_.EventsOf("question"), asked ? std::vector<std::string>{"question OT2.2"} : std::vector<std::string>{});
    for (const auto& text : window_.MessageTexts()) EXPECT_FALSE(text.empty());
    if (!c.detail.empty()) {
        ASSERT_EQ(window_.MessageDetails().size(), 1u);
        EXPECT_NE(window_.MessageDetails()[0].find(c.detail), std::string::npos) << window_.MessageDetails()[0];
    }
    if (c.outcome == StartOutcome::WorkerStarted) {
        ExpectUpdated();
    } else {
        ExpectNotUpdated();
        EXPECT_FALSE(fs::exists(UserUpdateFile()));
        EXPECT_TRUE(window_.EventsOf("screen").empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, UpdateRunStartTest, ::testing::ValuesIn(StartCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdateRunTest, FullRunShowsEveryProgressPositionInOrder) {
    MakeRun(WithUpdateFile(true, 100000));
    ASSERT_EQ(StartAndWait(), StartOutcome::WorkerStarted);
    const std::vector<std::string> expected = {"screen 2",    "progress 0",  "progress 49",  "progress 75",
                                               "progress 84", "progress 90", "progress 92",  "progress 94",
                                               "progress 100", "progress 98", "screen 3"};
    EXPECT_EQ(window_.Events(), expected);
    ExpectUpdated();
    EXPECT_TRUE(run_->Ejected());
}

// The copy, then its check, each as a phase of its own that counts the
// file's bytes; the bar never moves back and repeats no position.
TEST_F(UpdateRunTest, ProgressNamesItsPhaseAndCountsBytes) {
    const std::uint64_t size = 3 * 1024 * 1024 + 7;
    MakeRun(WithUpdateFile(true, size));
    ASSERT_EQ(StartAndWait(), StartOutcome::WorkerStarted);
    const std::vector<UpdateProgress> progress = window_.Progress();
    ASSERT_FALSE(progress.empty());
    std::vector<ProgressPhase> phases;
    for (std::size_t i = 0; i < progress.size(); ++i) {
        const UpdateProgress& p = progress[i];
        if (phases.empty() || phases.back() != p.phase) phases.push_back(p.phase);
        if (i > 0 && p.phase != ProgressPhase::Eject) {
            EXPECT_GT(p.position, progress[i - 1].position);
        }
        if (p.phase == ProgressPhase::Copy && p.total > 0) {
            EXPECT_LE(p.position, kProgressVerifyStart);
        }
        if (p.phase == ProgressPhase::Verify) {
            EXPECT_GE(p.position, kProgressVerifyStart);
            EXPECT_LE(p.position, kProgressCopyEnd);
        }
        if (p.total > 0) {
            EXPECT_EQ(p.total, size);
            EXPECT_LE(p.bytes, size);
            // Once bytes have moved there is a pace to tell the time left from.
            EXPECT_NE(p.seconds_left, kUnknownSecondsLeft) << "position " << p.position;
            EXPECT_GE(p.seconds_left, 0) << "position " << p.position;
        }
    }
    EXPECT_EQ(phases, (std::vector<ProgressPhase>{ProgressPhase::Copy, ProgressPhase::Verify, ProgressPhase::Marker,
                                                   ProgressPhase::Eject}));
    const auto last_verify = std::find_if(progress.rbegin(), progress.rend(),
                                          [](const UpdateProgress& p) { return p.phase == ProgressPhase::Verify; });
    EXPECT_EQ(last_verify->bytes, size);
    EXPECT_EQ(last_verify->position, kProgressCopyEnd);
}

TEST_F(UpdateRunTest, ManyChunksKeepProgressRisingUpTo90) {
    MakeRun(WithUpdateFile(true, 3 * 1024 * 1024 + 7));
    ASSERT_EQ(StartAndWait(), StartOutcome::WorkerStarted);
    const std::vector<int> positions = window_.ProgressPositions();
    const auto copy_end = std::find(positions.begin(), positions.end(), kProgressAfterMarker);
    ASSERT_NE(copy_end, positions.end());
    EXPECT_TRUE(std::is_sorted(positions.begin(), copy_end));
    EXPECT_EQ(*(copy_end - 1), kProgressCopyEnd);
    ExpectUpdated();
}

TEST_F(UpdateRunTest, ExistingUpdateFileOnTheCameraIsReplaced) {
    MakeRun({});
    WriteFileBytes(UserUpdateFile(), std::vector<std::uint8_t>(300000, 0xEE));
    ASSERT_EQ(StartAndWait(), StartOutcome::WorkerStarted);
    ExpectUpdated();
}

TEST_F(UpdateRunTest, StartOnTheFinalScreenEndsTheDialog) {
    MakeRun({});
    ASSERT_EQ(StartAndWait(), StartOutcome::WorkerStarted);
    EXPECT_EQ(run_->OnStart(), StartOutcome::DialogEnded);
    EXPECT_EQ(window_.EventsOf("end").size(), 1u);
}

TEST_F(UpdateRunTest, SecondStartWhileTheWorkerRunsStartsNothing) {
    MakeRun({});
    window_.HoldCopyingScreen();
    ASSERT_EQ(run_->OnStart(), StartOutcome::WorkerStarted);
    EXPECT_EQ(run_->OnStart(), StartOutcome::AlreadyStarted);
    window_.Release();
    run_->WaitForWorker();
    EXPECT_EQ(window_.EventsOf("screen 2").size(), 1u);
    EXPECT_TRUE(window_.EventsOf("end").empty());
    ExpectUpdated();
}

// A marker that does not read back is no update: the run says so, does not
// eject and returns to the first screen, where Start may be pressed again.
TEST_F(UpdateRunTest, MarkerThatDoesNotReadBackEndsTheRunOnTheFirstScreen) {
    MakeRun({});
    faults_->device_writes_fail = true;
    ASSERT_EQ(StartAndWait(), StartOutcome::WorkerStarted);
    const std::vector<std::string> expected = {"screen 2",    "progress 0",  "progress 49",
                                               "progress 75", "progress 84", "progress 90",
                                               std::string("message: ") + kMarkerFailedText, "screen 1"};
    EXPECT_EQ(window_.Events(), expected);
    EXPECT_FALSE(run_->MarkerReadBack());
    EXPECT_FALSE(run_->Succeeded());
    EXPECT_TRUE(window_.Diagnostics().empty()) << "no eject";

    faults_->device_writes_fail = false;
    ASSERT_EQ(StartAndWait(), StartOutcome::WorkerStarted);
    ExpectUpdated();
}

// The update is on the camera, but the camera was not let go of: the final
// screen comes with a warning instead of a plain "you can unplug".
TEST_F(UpdateRunTest, EjectThatFailsEndsWithAWarning) {
    UpdateCameraOptions options;
    options.eject_always_fails = true;
    MakeRun(options);
    ASSERT_EQ(StartAndWait(), StartOutcome::WorkerStarted);
    const std::vector<std::string> events = window_.Events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[events.size() - 2], std::string("warning: ") + kEjectFailedText);
    EXPECT_EQ(events.back(), "screen 3");
    ExpectUpdated();
    EXPECT_FALSE(run_->Ejected());
}

TEST_F(UpdateRunTest, SecondRunOnTheSameCameraIsRefusedWhileOneRuns) {
    MakeRun({});
    platform::DeviceHoldResult other = platform::CurrentPlatform().HoldDevice(PhysicalDriveName(camera_.drive_number));
    ASSERT_TRUE(other.hold);
    EXPECT_EQ(StartAndWait(), StartOutcome::CameraBusy);
    EXPECT_EQ(window_.EventsOf("message"), std::vector<std::string>{std::string("message: ") + kCameraBusyText});
    ExpectNotUpdated();

    other.hold.reset();
    ASSERT_EQ(StartAndWait(), StartOutcome::WorkerStarted);
    ExpectUpdated();
    // The run lets go of the camera when it ends.
    EXPECT_TRUE(platform::CurrentPlatform().HoldDevice(PhysicalDriveName(camera_.drive_number)).hold);
}

TEST_F(UpdateRunTest, LogTellsWhatTheRunFoundAndDid) {
    MakeRun({});
    ASSERT_EQ(StartAndWait(), StartOutcome::WorkerStarted);
    const std::vector<std::uint8_t> bytes = ReadFileBytes(LogPath());
    const std::string log(bytes.begin(), bytes.end());
    for (const char* part : {"camera found", "state word 1", "update file", "100000 bytes", "copy: written and checked",
                             "marker: written and read back", "| eject[", "ejected", "the update is on the camera"})
        EXPECT_NE(log.find(part), std::string::npos) << part << " in:\n" << log;
}

// A run that went wrong is the one a user reports: its log says which step
// failed and why, and never that the update is on the camera.
enum class LogFault { None, MarkerWritesFail, CopyCorrupts };

struct LogCase {
    const char* name;
    UpdateCameraOptions options;
    LogFault fault;
    std::vector<std::string> present;
    std::vector<std::string> absent;
};
void PrintTo(const LogCase& c, std::ostream* out) { *out << c.name; }

UpdateCameraOptions WithEjectFailing() {
    UpdateCameraOptions options;
    options.eject_always_fails = true;
    return options;
}

std::vector<LogCase> LogCases() {
    const std::string not_completed = "run ended: the update was not completed";
    const std::string on_camera = "run ended: the update is on the camera";
    return {
        {"marker_not_read_back", {}, LogFault::MarkerWritesFail,
         {"copy: written and checked", "marker: did not read back", not_completed},
         {"eject:", on_camera}},
        {"copy_differs", {}, LogFault::CopyCorrupts,
         {"copy failed: the copy on the camera differs from the update file", not_completed},
         {"marker:", "eject:", on_camera}},
        {"eject_fails", WithEjectFailing(), LogFault::None,
         {"marker: written and read back", "| FSCTL_LOCK_VOLUME failed", "not ejected",
          "run ended: the update is on the camera, which was not ejected"},
         {not_completed}},
        {"not_enough_space", WithFreeSpace(100000), LogFault::None,
         {"stopped: ", "free: 100000 bytes, needed: more than 100000 bytes"},
         {"copy: ", "copy failed", "marker:", "run ended"}},
        {"state_refused", WithState(3), LogFault::None,
         {"state word 3", "stopped: "},
         {"update file", "copy: ", "copy failed", "marker:", "run ended"}},
    };
}

class UpdateRunLogTest : public UpdateRunTest, public ::testing::WithParamInterface<LogCase> {};

TEST_P(UpdateRunLogTest, NamesTheStepThatFailed) {
    const LogCase& c = GetParam();
    MakeRun(c.options);
    faults_->device_writes_fail = c.fault == LogFault::MarkerWritesFail;
    faults_->file_corrupts = c.fault == LogFault::CopyCorrupts;
    StartAndWait();
    const std::vector<std::uint8_t> bytes = ReadFileBytes(LogPath());
    const std::string log(bytes.begin(), bytes.end());
    EXPECT_NE(log.find("camera found"), std::string::npos) << log;
    for (const std::string& part : c.present) EXPECT_NE(log.find(part), std::string::npos) << part << " in:\n" << log;
    for (const std::string& part : c.absent) EXPECT_EQ(log.find(part), std::string::npos) << part << " in:\n" << log;
}

INSTANTIATE_TEST_SUITE_P(Cases, UpdateRunLogTest, ::testing::ValuesIn(LogCases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(UpdateRunTest, CopyToAVolumeWithoutFilesSetsNoMarkerAndReturnsToStart) {
    MakeRun(WithFreeSpace(150000000, false));
    ASSERT_EQ(StartAndWait(), StartOutcome::WorkerStarted);
    const std::vector<std::string> expected = {"screen 2", "progress 0", kCopyFailedMessage, "screen 1"};
    EXPECT_EQ(window_.Events(), expected);
    ExpectNotUpdated();
}

enum class CopyFault { WriteFails, ShortWrite, FlushFails, Corrupts, RenameFails };

const char* CopyFaultName(CopyFault fault) {
    switch (fault) {
        case CopyFault::WriteFails: return "write_fails";
        case CopyFault::ShortWrite: return "short_write";
        case CopyFault::FlushFails: return "flush_fails";
        case CopyFault::Corrupts: return "corrupts";
        case CopyFault::RenameFails: return "rename_fails";
    }
    return "";
}

void PrintTo(CopyFault fault, std::ostream* out) { *out << CopyFaultName(fault); }

class UpdateRunCopyFaultTest : public UpdateRunTest, public ::testing::WithParamInterface<CopyFault> {
protected:
    void Inject(CopyFault fault) {
        switch (fault) {
            case CopyFault::WriteFails: faults_->file_writes_fail = true; break;
            case CopyFault::ShortWrite: faults_->file_write_limit = kCopyChunkBytes + 100; break;
            case CopyFault::FlushFails: faults_->file_flush_fails = true; break;
            case CopyFault::Corrupts: faults_->file_corrupts = true; break;
            case CopyFault::RenameFails: faults_->replace_fails = true; break;
        }
    }
    void Clear() {
        faults_->file_writes_fail = false;
        faults_->file_write_limit = std::numeric_limits<std::uint64_t>::max();
        faults_->file_flush_fails = false;
        faults_->file_corrupts = false;
        faults_->replace_fails = false;
    }
    // An update file of an earlier run, which a failed copy must leave as
    // it was, or remove when it had to make room.
    std::vector<std::uint8_t> PutEarlierUpdateFile() {
        const std::vector<std::uint8_t> earlier(150000, 0xE1);
        WriteFileBytes(UserUpdateFile(), earlier);
        return earlier;
    }
};

TEST_P(UpdateRunCopyFaultTest, FailedCopyIsNoUpdateAndStartMayBePressedAgain) {
    MakeRun(WithUpdateFile(true, 200000));
    Inject(GetParam());
    ASSERT_EQ(StartAndWait(), StartOutcome::WorkerStarted);
    EXPECT_EQ(window_.EventsOf("message"), std::vector<std::string>{kCopyFailedMessage});
    EXPECT_FALSE(window_.MessageDetails().at(0).empty());
    EXPECT_EQ(window_.Events().back(), "screen 1");
    ExpectNotUpdated();
    EXPECT_FALSE(fs::exists(UserUpdateFile()));
    EXPECT_FALSE(fs::exists(UserTempFile()));
}

TEST_P(UpdateRunCopyFaultTest, FailedCopyLeavesTheEarlierUpdateFileAsItWas) {
    MakeRun(WithUpdateFile(true, 200000));
    const std::vector<std::uint8_t> earlier = PutEarlierUpdateFile();
    Inject(GetParam());
    ASSERT_EQ(StartAndWait(), StartOutcome::WorkerStarted);
    EXPECT_EQ(window_.EventsOf("message"), std::vector<std::string>{kCopyFailedMessage});
    EXPECT_EQ(ReadFileBytes(UserUpdateFile()), earlier);
    EXPECT_FALSE(fs::exists(UserTempFile()));
}

// Room for the new file only without the earlier one: the earlier file goes
// first, so a failure leaves no update file rather than half of one.
TEST_P(UpdateRunCopyFaultTest, FailedCopyWithoutRoomForBothLeavesNoUpdateFile) {
    MakeRun(WithFreeSpace(100000));
    PutEarlierUpdateFile();
    Inject(GetParam());
    ASSERT_EQ(StartAndWait(), StartOutcome::WorkerStarted);
    EXPECT_EQ(window_.EventsOf("message"), std::vector<std::string>{kCopyFailedMessage});
    EXPECT_FALSE(fs::exists(UserUpdateFile()));
    EXPECT_FALSE(fs::exists(UserTempFile()));
}

INSTANTIATE_TEST_SUITE_P(Faults, UpdateRunCopyFaultTest,
                         ::testing::Values(CopyFault::WriteFails, CopyFault::ShortWrite, CopyFault::FlushFails,
                                           CopyFault::Corrupts, CopyFault::RenameFails),
                         [](const auto& info) { return std::string(CopyFaultName(info.param)); });

}  // namespace
