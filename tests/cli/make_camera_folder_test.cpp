// make-camera writes into a new or empty folder only; over a folder that
// holds anything (an earlier camera, the user's files) it needs --force, and
// without it leaves every file there as it was.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "support/test_support.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

constexpr int kFailed = 1;
const std::vector<std::uint8_t> kOwnBytes = {'m', 'i', 'n', 'e', '\n'};

struct FolderCase {
    const char* name;
    void (*prepare)(const std::string& dir);
    const char* options;
    int exit_code;
};

void MakeEarlierCamera(const std::string& dir) {
    const RunResult made = Cli("make-camera " + Quote(dir) + " --update-size 5000");
    ASSERT_EQ(made.exit_code, 0) << made.err;
}

const FolderCase kFolderCases[] = {
    {"new_folder", [](const std::string&) {}, "", 0},
    {"empty_folder", [](const std::string& dir) { fs::create_directories(dir); }, "", 0},
    {"earlier_camera", MakeEarlierCamera, "", kFailed},
    {"folder_with_a_file",
     [](const std::string& dir) {
         fs::create_directories(dir);
         WriteFileBytes(dir + "/notes.txt", kOwnBytes);
     },
     "", kFailed},
    {"folder_with_an_empty_folder", [](const std::string& dir) { fs::create_directories(dir + "/user"); }, "",
     kFailed},
    {"earlier_camera_forced", MakeEarlierCamera, "--force", 0},
    {"folder_with_a_file_forced",
     [](const std::string& dir) {
         fs::create_directories(dir);
         WriteFileBytes(dir + "/notes.txt", kOwnBytes);
     },
     "--force", 0},
};

// Every file below dir with its bytes.
std::map<std::string, std::vector<std::uint8_t>> FilesIn(const std::string& dir) {
    std::map<std::string, std::vector<std::uint8_t>> files;
    if (!fs::exists(dir)) return files;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        files[entry.path().string()] = entry.is_regular_file() && entry.path().filename() != "system.img"
                                           ? ReadFileBytes(entry.path().string())
                                           : std::vector<std::uint8_t>{};
    return files;
}

class MakeCameraFolder : public ::testing::TestWithParam<FolderCase> {};

TEST_P(MakeCameraFolder, OnlyANewOrEmptyFolderWithoutForce) {
    const FolderCase& c = GetParam();
    const std::string dir = ScratchDir() + "/cam";
    c.prepare(dir);
    const auto before = FilesIn(dir);
    const auto image_time =
        fs::exists(dir + "/system.img") ? fs::last_write_time(dir + "/system.img") : fs::file_time_type{};
    const RunResult r = Cli("make-camera " + Quote(dir) + " --update-size 7000 " + c.options);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
    if (c.exit_code != 0) {
        EXPECT_NE(r.err.find(dir + " is not empty"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("--force"), std::string::npos) << r.err;
        EXPECT_EQ(FilesIn(dir), before) << "a refusal changed the folder";
        if (fs::exists(dir + "/system.img")) {
            EXPECT_EQ(fs::last_write_time(dir + "/system.img"), image_time);
        }
        return;
    }
    EXPECT_EQ(fs::file_size(dir + "/GFX_DATA/APP_DATA.BIN"), 7000u);
    EXPECT_TRUE(nlohmann::json::accept(ReadFileBytes(dir + "/camera.json")));
    // What the camera does not write stays.
    if (fs::exists(dir + "/notes.txt")) {
        EXPECT_EQ(ReadFileBytes(dir + "/notes.txt"), kOwnBytes);
    }
    const RunResult listed = Cli("--camera " + Quote(dir + "/camera.json") + " ls /SYSTEM");
    EXPECT_EQ(listed.exit_code, 0) << listed.err;
}

INSTANTIATE_TEST_SUITE_P(Folders, MakeCameraFolder, ::testing::ValuesIn(kFolderCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
