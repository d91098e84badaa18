// make-camera with sizes the camera cannot have: refused before anything is
// written, so a mistyped size never starts writing gigabytes. Sizes with
// which no update can succeed are made only when asked for.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_support.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

constexpr int kFailed = 1;

struct SizeCase {
    const char* name;
    const char* options;
    int exit_code;
    const char* message;      // part of the refusal; "" when it is made
    std::uintmax_t update_bytes;  // APP_DATA.BIN when made
};

const SizeCase kSizeCases[] = {
    {"update_file_beyond_any_disk", "--update-size 99999999999999", kFailed, "would never fit on the user volume", 0},
    {"update_file_beyond_the_user_volume", "--update-size 190M --user-free 150000000 --allow-impossible", kFailed,
     "would never fit on the user volume", 0},
    {"more_free_than_the_volume_holds", "--user-free 300000000", kFailed, "is more than the user volume", 0},
    {"empty_update_file", "--update-size 0", kFailed, "--allow-impossible", 0},
    {"update_file_as_large_as_the_free_space", "--user-free 1000 --update-size 1000", kFailed, "never fits", 0},
    {"empty_update_file_when_asked_for", "--update-size 0 --allow-impossible", 0, "", 0},
    {"too_large_update_file_when_asked_for", "--user-free 1000 --update-size 1000 --allow-impossible", 0, "", 1000},
    {"update_file_just_below_the_free_space", "--user-free 1000 --update-size 999", 0, "", 999},
};

class MakeCameraSizes : public ::testing::TestWithParam<SizeCase> {};

TEST_P(MakeCameraSizes, ImpossibleSizesAreRefusedBeforeAnythingIsWritten) {
    const SizeCase& c = GetParam();
    const std::string dir = ScratchDir() + "/cam";
    const RunResult r = Cli("make-camera " + Quote(dir) + " " + c.options);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.err;
    if (c.exit_code == 0) {
        EXPECT_EQ(fs::file_size(dir + "/GFX_DATA/APP_DATA.BIN"), c.update_bytes);
        return;
    }
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir));
}

INSTANTIATE_TEST_SUITE_P(Sizes, MakeCameraSizes, ::testing::ValuesIn(kSizeCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A refusal over an existing camera leaves every file of it as it was.
TEST(MakeCameraSizes, ARefusalLeavesAnExistingCameraAlone) {
    const std::string dir = ScratchDir() + "/cam";
    ASSERT_EQ(Cli("make-camera " + Quote(dir) + " --update-size 5000").exit_code, 0);
    const auto manifest = ReadFileBytes(dir + "/camera.json");
    const auto update = ReadFileBytes(dir + "/GFX_DATA/APP_DATA.BIN");
    const auto image_size = fs::file_size(dir + "/system.img");
    const RunResult r = Cli("make-camera " + Quote(dir) + " --update-size 99999999999999");
    EXPECT_EQ(r.exit_code, kFailed);
    EXPECT_EQ(ReadFileBytes(dir + "/camera.json"), manifest);
    EXPECT_EQ(ReadFileBytes(dir + "/GFX_DATA/APP_DATA.BIN"), update);
    EXPECT_EQ(fs::file_size(dir + "/system.img"), image_size);
}

}  // namespace
