#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "device/camera_layout.h"
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

// The JSON event lines of the output; the system's diagnostic lines (the
// eject's) stand between them.
std::vector<Json> Events(const std::string& out) {
    std::vector<Json> events;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line[0] == '{') events.push_back(Json::parse(line));
    return events;
}

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
        {{"event", "progress"}, {"position", 0}},
        {{"event", "progress"}, {"position", 58}},
        {{"event", "progress"}, {"position", 90}},
        {{"event", "progress"}, {"position", 92}},
        {{"event", "progress"}, {"position", 94}},
        {{"event", "progress"}, {"position", 100}},
        {{"event", "progress"}, {"position", 98}},
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
    return {
        {"camera_not_found", no_system, "OT2.1", ShippedText("OT2.1")},
        {"state_refused", refused, "OT2.3", ShippedText("OT2.3")},
        {"not_enough_space", full, "OT3.1", ShippedText("OT3.1")},
        {"update_file_missing", no_update, nullptr, kFilesMissingText},
        {"copy_fails", no_user_files, nullptr, kCopyFailedText},
        {"not_administrator", no_rights, "OT0", ShippedText("OT0")},
    };
}

TEST(UpdateCommand, FailureShowsTheDesktopTextAndExitsOne) {
    for (const auto& c : FailureCases()) {
        const UpdateCamera camera = MakeUpdateCamera(ScratchDir() + "/" + c.name, c.options);
        const RunResult r = Update(camera, "--answer yes --json");
        EXPECT_EQ(r.exit_code, 1) << c.name;
        EXPECT_NE(r.err.find(c.text), std::string::npos) << c.name << ": " << r.err;
        const std::vector<Json> events = Events(r.out);
        const Json message = {{"event", "message"}, {"key", c.key}, {"text", c.text}};
        EXPECT_NE(std::find(events.begin(), events.end(), message), events.end()) << c.name << ": " << r.out;
        ASSERT_FALSE(events.empty()) << c.name;
        EXPECT_EQ(events.back(), Json({{"event", "result"}, {"ok", false}})) << c.name;
        EXPECT_EQ(ReadSector(camera.system_image, camera::kUpdateMarkerSector), std::vector<std::uint8_t>(512, 0))
            << c.name;
    }
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
    EXPECT_EQ(Cli("update --gfx " + Quote(camera.gfx_dir)).exit_code, 2);
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
