// quillon-cli --json: standard output carries one JSON value and nothing
// else, whether the command succeeds or fails; the engine's own lines
// ("FAT_FS: ...") and every message go to standard error.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "device/camera_layout.h"
#include "support/test_support.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kVolumeBytes = 16u << 20;
constexpr std::uint64_t kEmptyImageBytes = 1u << 20;
constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

enum class Shape { Nothing, Object, Array };

struct JsonCase {
    const char* name;
    // Placeholders: IMG a volume at sector 0 holding /A.TXT and /D/B.TXT,
    // EMPTY an image where nothing mounts, CAM a made camera's manifest and
    // CAMDIR its folder, BROKEN a camera whose hidden volume was wiped, DIR
    // the scratch folder.
    const char* arguments;
    int exit_code;
    Shape shape;  // what standard output holds; a failure may print nothing
};

const JsonCase kJsonCases[] = {
    {"info", "--image IMG --start 0 info", kOk, Shape::Object},
    {"info_where_nothing_mounts", "--image EMPTY info", kFailed, Shape::Nothing},
    {"info_of_a_missing_image", "--image DIR/missing.img info", kFailed, Shape::Nothing},
    {"ls_folder", "--image IMG --start 0 ls /D", kOk, Shape::Array},
    {"ls_file", "--image IMG --start 0 ls /A.TXT", kOk, Shape::Array},
    {"ls_where_nothing_mounts", "--image EMPTY ls", kFailed, Shape::Nothing},
    {"ls_missing_path", "--image IMG --start 0 ls /NONE", kFailed, Shape::Nothing},
    {"get", "--image IMG --start 0 get /A.TXT DIR/a.txt", kOk, Shape::Object},
    {"get_folder", "--image IMG --start 0 get /D DIR/d", kOk, Shape::Object},
    {"get_missing_file", "--image IMG --start 0 get /NONE DIR/a.txt", kFailed, Shape::Nothing},
    {"get_to_standard_output", "--image IMG --start 0 get /A.TXT -", kUsage, Shape::Nothing},
    {"put", "--image IMG --start 0 put DIR/local.txt /D", kOk, Shape::Object},
    {"put_missing_local_file", "--image IMG --start 0 put DIR/none.txt", kFailed, Shape::Nothing},
    {"put_where_nothing_mounts", "--image EMPTY put DIR/local.txt", kFailed, Shape::Nothing},
    {"mkdir", "--image IMG --start 0 mkdir /NEW", kOk, Shape::Object},
    {"mkdir_existing", "--image IMG --start 0 mkdir /D", kFailed, Shape::Nothing},
    {"rm", "--image IMG --start 0 rm /A.TXT", kOk, Shape::Object},
    {"rm_some_missing", "--image IMG --start 0 rm /A.TXT /NONE", kFailed, Shape::Object},
    {"rm_where_nothing_mounts", "--image EMPTY rm /A.TXT", kFailed, Shape::Nothing},
    {"rename", "--image IMG --start 0 rename /A.TXT C.TXT", kOk, Shape::Object},
    {"rename_missing", "--image IMG --start 0 rename /NONE C.TXT", kFailed, Shape::Nothing},
    {"format", "--image DIR/new.img --start 0 format --size 8M --fs fat16", kOk, Shape::Object},
    {"format_too_small", "--image DIR/new.img --start 0 format --size 1K --fs fat16", kFailed, Shape::Nothing},
    {"make_camera", "make-camera DIR/cam2 --update-size 1K", kOk, Shape::Object},
    {"make_camera_over_a_camera", "make-camera CAMDIR", kFailed, Shape::Nothing},
    {"detect", "--camera CAM detect", kOk, Shape::Object},
    {"detect_hidden_volume_gone", "--camera BROKEN detect", kOk, Shape::Object},
    {"detect_missing_manifest", "--camera DIR/none.json detect", kFailed, Shape::Nothing},
    {"marker", "--camera CAM marker appdata", kOk, Shape::Object},
    {"marker_hidden_volume_gone", "--camera BROKEN marker apponly", kOk, Shape::Object},
    {"marker_missing_manifest", "--camera DIR/none.json marker appdata", kFailed, Shape::Nothing},
};

void Replace(std::string& text, const std::string& placeholder, const std::string& value) {
    for (auto at = text.find(placeholder); at != std::string::npos; at = text.find(placeholder, at + value.size()))
        text.replace(at, placeholder.size(), value);
}

class JsonOutput : public ::testing::TestWithParam<JsonCase> {
protected:
    void SetUp() override {
        dir = ScratchDir();
        const std::string image = dir + "/v.img";
        MakeFatImage(image, kVolumeBytes, "-F 16");
        WriteFileBytes(dir + "/local.txt", {'l', '\n'});
        const std::string volume = "--image " + Quote(image) + " --start 0 ";
        ASSERT_EQ(Cli(volume + "put " + Quote(dir + "/local.txt")).exit_code, 0);
        ASSERT_EQ(Cli(volume + "rename /local.txt A.TXT").exit_code, 0);
        ASSERT_EQ(Cli(volume + "mkdir /D").exit_code, 0);
        ASSERT_EQ(Cli(volume + "put " + Quote(dir + "/local.txt") + " /D").exit_code, 0);
        ASSERT_EQ(Cli(volume + "rename /D/local.txt B.TXT").exit_code, 0);
        MakeEmptyImage(dir + "/empty.img", kEmptyImageBytes);
    }

    // Cameras take a moment to make: only the cases that name one get it.
    std::string Camera(const std::string& name, bool wipe_hidden_volume) {
        const std::string camera = dir + "/" + name;
        const RunResult made = Cli("make-camera " + Quote(camera));
        EXPECT_EQ(made.exit_code, 0) << made.err;
        if (wipe_hidden_volume)
            WriteSector(camera + "/system.img", camera::kHiddenVolumeStartSector, std::vector<std::uint8_t>(512));
        return camera + "/camera.json";
    }

    std::string Arguments(std::string arguments) {
        if (arguments.find("CAMDIR") != std::string::npos) {
            Camera("cam", false);
            Replace(arguments, "CAMDIR", Quote(dir + "/cam"));
        }
        if (arguments.find("CAM") != std::string::npos) Replace(arguments, "CAM", Quote(Camera("cam", false)));
        if (arguments.find("BROKEN") != std::string::npos) Replace(arguments, "BROKEN", Quote(Camera("broken", true)));
        Replace(arguments, "IMG", Quote(dir + "/v.img"));
        Replace(arguments, "EMPTY", Quote(dir + "/empty.img"));
        Replace(arguments, "DIR", dir);
        return arguments;
    }

    std::string dir;
};

TEST_P(JsonOutput, StandardOutputIsOneJsonValueOrNothing) {
    const JsonCase& c = GetParam();
    const std::string arguments = Arguments(c.arguments);
    const RunResult r = Cli("--json " + arguments);
    EXPECT_EQ(r.exit_code, c.exit_code) << arguments << "\n" << r.out << r.err;
    EXPECT_EQ(r.out.find("FAT_FS"), std::string::npos) << "an engine line on standard output:\n" << r.out;
    if (c.exit_code != kOk) {
        EXPECT_FALSE(r.err.empty()) << "a failure without a message";
    }
    if (c.shape == Shape::Nothing && r.out.empty()) return;
    // One value, on one line, and nothing after it.
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << r.out;
    const nlohmann::json value = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_FALSE(value.is_discarded()) << "not JSON:\n" << r.out;
    if (c.shape == Shape::Object) {
        EXPECT_TRUE(value.is_object()) << r.out;
    } else if (c.shape == Shape::Array) {
        EXPECT_TRUE(value.is_array()) << r.out;
    }
}

INSTANTIATE_TEST_SUITE_P(Commands, JsonOutput, ::testing::ValuesIn(kJsonCases),
                         [](const auto& info) { return std::string(info.param.name); });

// What the results say, for the commands that had nothing to print before.
TEST(JsonResults, NameWhatWasDone) {
    const std::string dir = ScratchDir();
    const std::string image = dir + "/v.img";
    MakeFatImage(image, kVolumeBytes, "-F 16");
    WriteFileBytes(dir + "/a.txt", {'a'});
    auto run = [&](const std::string& arguments) {
        const RunResult r = Cli("--image " + Quote(image) + " --start 0 --json " + arguments);
        EXPECT_EQ(r.exit_code, 0) << arguments << "\n" << r.err;
        return nlohmann::json::parse(r.out, nullptr, false);
    };
    EXPECT_EQ(run("put " + Quote(dir + "/a.txt")), (nlohmann::json{{"imported", dir + "/a.txt"}, {"into", "/"}}));
    EXPECT_EQ(run("mkdir /D"), (nlohmann::json{{"created", "/D"}}));
    EXPECT_EQ(run("rename /a.txt b.txt"), (nlohmann::json{{"renamed", "/a.txt"}, {"to", "/b.txt"}}));
    EXPECT_EQ(run("get /b.txt " + Quote(dir)), (nlohmann::json{{"copied", "/b.txt"}, {"to", dir + "/b.txt"}}));
    EXPECT_EQ(run("rm -r /b.txt /D"), (nlohmann::json{{"removed", {"/b.txt", "/D"}}, {"failed", nlohmann::json::array()}}));
    const nlohmann::json formatted =
        run("format --size 16M --fs fat16 --sectors-per-cluster 4");  // over the same image, at sector 0
    EXPECT_EQ(formatted["type"], "FAT16");
    EXPECT_EQ(formatted["start"], 0);
    EXPECT_EQ(formatted["bytes"], 16u << 20);
    EXPECT_EQ(formatted["sectors_per_cluster"], 4);
}

}  // namespace
