#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "device/camera_layout.h"
#include "device/platform/file_device.h"
#include "support/test_support.h"
#include "support/update_camera.h"
#include "texts/text_table.h"
#include "update/marker.h"
#include "update/update_run.h"

using namespace testsupport;
using Json = nlohmann::json;

namespace {

RunResult Update(const UpdateCamera& camera, const std::string& options) {
    return Cli("--camera " + Quote(camera.manifest) + " update --gfx " + Quote(camera.gfx_dir) + " " + options);
}

// Under --json every line of standard output is one JSON event; a line
// that is not fails the test. The time left depends on the machine's pace
// and is checked apart.
std::vector<Json> Events(const std::string& out) {
    std::vector<Json> events;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        const Json event = Json::parse(line, nullptr, false);
        EXPECT_FALSE(event.is_discarded()) << "not JSON: " << line;
        if (event.is_discarded()) continue;
        events.push_back(event);
        if (events.back().contains("seconds_left")) {
            EXPECT_GE(events.back()["seconds_left"].get<int>(), 0);
            events.back().erase("seconds_left");
        }
    }
    return events;
}

std::vector<Json> EventsOf(const std::vector<Json>& events, const std::string& kind) {
    std::vector<Json> found;
    for (const Json& event : events)
        if (event["event"] == kind) found.push_back(event);
    return found;
}

Json Progress(int position, const char* phase) { return {{"event", "progress"}, {"position", position}, {"phase", phase}}; }

Json Progress(int position, const char* phase, std::uint64_t bytes, std::uint64_t total) {
    Json event = Progress(position, phase);
    event["bytes"] = bytes;
    event["total"] = total;
    return event;
}

Json Diagnostic(const char* text) { return {{"event", "diagnostic"}, {"text", text}}; }

std::string ShippedText(const char* key) {
    TextTable table;
    LoadTextTable(ShippedTextTable(), table);
    return LookupText(table, key);
}

UpdateCameraOptions StateTwo() {
    UpdateCameraOptions options;
    options.state_word = 2;
    return options;
}

TEST(UpdateCommand, AnsweredYesPutsTheUpdateAndTheMarkerOnTheCamera) {
    const UpdateCamera camera = MakeUpdateCamera(ScratchDir(), StateTwo());
    const RunResult r = Update(camera, "--answer yes");
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(ReadFileBytes(camera.user_dir + "/APP_DATA.BIN"), ReadFileBytes(camera.update_file));
    const UpdateMarker marker = MakeUpdateMarker(kMarkerAppData);
    EXPECT_EQ(ReadSector(camera.system_image, camera::kUpdateMarkerSector),
              std::vector<std::uint8_t>(marker.begin(), marker.end()));
}

TEST(UpdateCommand, JsonEventsFollowTheRun) {
    const UpdateCamera camera = MakeUpdateCamera(ScratchDir(), StateTwo());
    const RunResult r = Update(camera, "--answer yes --json");
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    const std::vector<Json> expected = {
        {{"event", "screen"}, {"screen", 1}},
        {{"event", "question"}, {"key", "OT2.2"}, {"text", ShippedText("OT2.2")}, {"answer", "yes"}},
        {{"event", "screen"}, {"screen", 2}},
        Progress(0, "copy"),
        Progress(49, "copy", 65536, 100000),
        Progress(75, "copy", 100000, 100000),
        Progress(84, "verify", 65536, 100000),
        Progress(90, "verify", 100000, 100000),
        Progress(92, "marker"),
        Diagnostic("eject[\\\\.\\E:]"),
        Diagnostic("Try FSCTL_LOCK_VOLUME"),
        Progress(94, "eject"),
        Diagnostic("Try FSCTL_DISMOUNT_VOLUME"),
        Progress(100, "eject"),
        Diagnostic("Try IOCTL_STORAGE_EJECT_MEDIA"),
        Diagnostic("IOCTL_STORAGE_EJECT_MEDIA"),
        Progress(98, "eject"),
        {{"event", "screen"}, {"screen", 3}},
        {{"event", "result"}, {"ok", true}},
    };
    EXPECT_EQ(Events(r.out), expected);
}

TEST(UpdateCommand, AnsweredNoEndsWithoutUpdate) {
    const UpdateCamera camera = MakeUpdateCamera(ScratchDir(), StateTwo());
    const RunResult r = Update(camera, "--answer no --json");
    EXPECT_EQ(r.exit_code, 1);
    const std::vector<Json> events = Events(r.out);
    ASSERT_EQ(events.size(), 3u) << r.out;
    EXPECT_EQ(events[1]["answer"], "no");
    EXPECT_EQ(events[2], Json({{"event", "result"}, {"ok", false}}));
    EXPECT_NE(r.err.find("No"), std::string::npos);
}

// Without --answer and without a terminal to ask on, the question is
// answered with its default, No, and the output says how to answer it.
TEST(UpdateCommand, QuestionWithoutTerminalOrAnswerIsNo) {
    const UpdateCamera camera = MakeUpdateCamera(ScratchDir(), StateTwo());
    const RunResult r = Update(camera, "");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("--answer"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(camera.user_dir + "/APP_DATA.BIN"));
}

struct FailureCase {
    const char* name;
    UpdateCameraOptions options;
    Json key;  // null for a fixed text
    std::string text;
    std::string detail = {};  // part of the message's detail, when it has one
};

std::vector<FailureCase> FailureCases() {
    UpdateCameraOptions no_system;
    no_system.system_volume = false;
    UpdateCameraOptions refused;
    refused.state_word = 3;
    UpdateCameraOptions full;
    full.user_free_bytes = 100000;
    UpdateCameraOptions no_update;
    no_update.update_file = false;
    UpdateCameraOptions no_user_files;
    no_user_files.user_root = false;
    UpdateCameraOptions no_rights;
    no_rights.admin = false;
    UpdateCameraOptions marker_not_kept;
    marker_not_kept.system_disk = "/dev/full";
    return {
        {"camera_not_found", no_system, "OT2.1", ShippedText("OT2.1")},
        {"state_refused", refused, "OT2.3", ShippedText("OT2.3"), "state word 3"},
        {"not_enough_space", full, "OT3.1", ShippedText("OT3.1"), "free: 100000 bytes, needed: more than 100000 bytes"},
        {"update_file_missing", no_update, nullptr, kFilesMissingText, "GFX_DATA/APP_DATA.BIN"},
        {"copy_fails", no_user_files, nullptr, kCopyFailedText, "cannot create"},
        {"not_administrator", no_rights, "OT0", ShippedText("OT0")},
        {"marker_not_kept", marker_not_kept, nullptr, kMarkerFailedText, "did not read back"},
    };
}

TEST(UpdateCommand, FailureShowsTheDesktopTextAndExitsOne) {
    for (const auto& c : FailureCases()) {
        const UpdateCamera camera = MakeUpdateCamera(ScratchDir() + "/" + c.name, c.options);
        const RunResult r = Update(camera, "--answer yes --json");
        EXPECT_EQ(r.exit_code, 1) << c.name;
        EXPECT_NE(r.err.find(c.text), std::string::npos) << c.name << ": " << r.err;
        EXPECT_NE(r.err.find(c.detail), std::string::npos) << c.name << ": " << r.err;
        const std::vector<Json> events = Events(r.out);
        Json message = {{"event", "message"}, {"key", c.key}, {"text", c.text}};
        const std::vector<Json> messages = EventsOf(events, "message");
        ASSERT_EQ(messages.size(), 1u) << c.name << ": " << r.out;
        if (!c.detail.empty()) {
            EXPECT_NE(messages[0].value("detail", "").find(c.detail), std::string::npos) << c.name;
            message["detail"] = messages[0]["detail"];
        }
        EXPECT_EQ(messages[0], message) << c.name;
        ASSERT_FALSE(events.empty()) << c.name;
        EXPECT_EQ(events.back(), Json({{"event", "result"}, {"ok", false}})) << c.name;
        for (const Json& line : EventsOf(events, "diagnostic"))
            EXPECT_EQ(line["text"].get<std::string>().find("eject"), std::string::npos) << c.name << ": no eject";
        const std::vector<Json> screens = EventsOf(events, "screen");
        if (!screens.empty()) {
            EXPECT_EQ(screens.back(), Json({{"event", "screen"}, {"screen", 1}})) << c.name;
        }
        if (c.options.system_disk.empty()) {
            EXPECT_EQ(ReadSector(camera.system_image, camera::kUpdateMarkerSector), std::vector<std::uint8_t>(512, 0))
                << c.name;
        }

        // The same run on a terminal-less output: no success line, and the
        // log's place for whoever has to find out more.
        const RunResult plain = Update(camera, "--answer yes");
        EXPECT_EQ(plain.exit_code, 1) << c.name;
        EXPECT_EQ(plain.out.find("The update is on the camera"), std::string::npos) << c.name << ": " << plain.out;
        if (c.key != "OT0") {
            EXPECT_NE(plain.err.find("the log of this run is in"), std::string::npos) << c.name;
        }
    }
}

// The update is on the camera but the camera would not let go of it: still
// a success, with a warning that says to eject it by hand.
TEST(UpdateCommand, EjectThatFailsIsAWarningAndStillASuccess) {
    UpdateCameraOptions options;
    options.eject_always_fails = true;
    const UpdateCamera camera = MakeUpdateCamera(ScratchDir(), options);
    const RunResult r = Update(camera, "--answer yes --json");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find(std::string("warning: ") + kEjectFailedText), std::string::npos) << r.err;
    const std::vector<Json> events = Events(r.out);
    const std::vector<Json> warnings = EventsOf(events, "warning");
    ASSERT_EQ(warnings.size(), 1u) << r.out;
    EXPECT_EQ(warnings[0]["text"], kEjectFailedText);
    EXPECT_EQ(events.back(), Json({{"event", "result"}, {"ok", true}}));
    EXPECT_EQ(ReadFileBytes(camera.user_dir + "/APP_DATA.BIN"), ReadFileBytes(camera.update_file));
}

// Without a terminal the progress is one line per percent at most, with the
// bytes done; a big update file no longer prints a line per chunk.
TEST(UpdateCommand, ProgressLinesOnlyWhenThePercentMoves) {
    UpdateCameraOptions options;
    options.update_size = 8 * 1024 * 1024;
    const UpdateCamera camera = MakeUpdateCamera(ScratchDir(), options);
    const RunResult r = Update(camera, "--answer yes");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    std::istringstream lines(r.out);
    std::vector<int> percents;
    bool bytes_shown = false;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("Progress: ", 0) != 0) continue;
        percents.push_back(std::stoi(line.substr(10)));
        bytes_shown = bytes_shown || line.find(" of 8.0 MiB") != std::string::npos;
    }
    ASSERT_FALSE(percents.empty());
    EXPECT_LE(percents.size(), 101u);
    for (std::size_t i = 1; i < percents.size(); ++i) EXPECT_NE(percents[i], percents[i - 1]);
    EXPECT_TRUE(bytes_shown) << r.out;
}

TEST(UpdateCommand, SecondRunOnTheSameCameraIsRefused) {
    const UpdateCamera camera = MakeUpdateCamera(ScratchDir());
    const std::string update = " --camera " + Quote(camera.manifest) + " update --gfx " + Quote(camera.gfx_dir) +
                               " --answer yes";
    // Another run holds the camera's system disk the way a run does.
#ifdef _WIN32
    const platform::DeviceHoldResult other_run = platform::HoldFile(camera.system_image);
    ASSERT_TRUE(other_run.hold);
    const RunResult r = testsupport::Cli(update);
#else
    const RunResult r =
        testsupport::Run("flock --nonblock " + Quote(camera.system_image) + " " + Quote(QUILLON_CLI_PATH) + update);
#endif
    EXPECT_EQ(r.exit_code, 1) << r.out << r.err;
    EXPECT_NE(r.err.find(kCameraBusyText), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(camera.user_dir + "/APP_DATA.BIN"));
}

// A text table that is there but cannot be read ends the run as a missing
// one does, with the path it looked for.
TEST(UpdateCommand, UnreadableTextTableEndsAsMissing) {
    const UpdateCamera camera = MakeUpdateCamera(ScratchDir());
    std::filesystem::remove(camera.gfx_dir + "/OT.txt");
    std::filesystem::create_directories(camera.gfx_dir + "/OT.txt");
    const RunResult r = Update(camera, "--answer yes --json");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find(kTextTableMissingText), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(camera.gfx_dir + "/OT.txt"), std::string::npos) << r.err;
    EXPECT_EQ(Events(r.out).back(), Json({{"event", "result"}, {"ok", false}}));
}

TEST(UpdateCommand, MissingTextTableEndsAtOnce) {
    const UpdateCamera camera = MakeUpdateCamera(ScratchDir());
    std::filesystem::remove(camera.gfx_dir + "/OT.txt");
    const RunResult r = Update(camera, "--answer yes");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find(kTextTableMissingText), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(camera.user_dir + "/APP_DATA.BIN"));
}

TEST(UpdateCommand, UsageErrors) {
    const UpdateCamera camera = MakeUpdateCamera(ScratchDir());
    EXPECT_EQ(Update(camera, "--answer maybe").exit_code, 2);
    EXPECT_EQ(Update(camera, "extra").exit_code, 2);
    EXPECT_EQ(Update(camera, "--answer").exit_code, 2);
}

// A camera made by make-camera brings its update file: no --gfx is needed.
TEST(UpdateCommand, MadeCameraUpdatesWithoutGfxOption) {
    const std::string dir = ScratchDir();
    ASSERT_EQ(Cli("make-camera " + Quote(dir + "/cam") + " --update-size 100000").exit_code, 0);
    RunResult r = Cli("--camera " + Quote(dir + "/cam/camera.json") + " update --answer yes");
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    EXPECT_EQ(ReadFileBytes(dir + "/cam/user/APP_DATA.BIN"), ReadFileBytes(dir + "/cam/GFX_DATA/APP_DATA.BIN"));
    std::vector<std::uint8_t> marker = ReadSector(dir + "/cam/system.img", 0x24000);
    const std::string text = "UPDATEAPPDATA";
    EXPECT_EQ(std::string(marker.begin(), marker.begin() + text.size()), text);
    EXPECT_TRUE(std::all_of(marker.begin() + text.size(), marker.end(), [](auto b) { return b == 0; }));
}

}  // namespace
