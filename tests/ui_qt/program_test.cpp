// The desktop program's command line, and the program run as a process.
#include <gtest/gtest.h>

#include "app/qt/app_options.h"
#include "support/test_support.h"

namespace {

struct OptionsCase {
    const char* name;
    std::vector<std::string> arguments;
    std::string camera;
    std::string gfx;
    bool developer;
    bool help;
    bool version;
    bool error;
};
void PrintTo(const OptionsCase& c, std::ostream* os) { *os << c.name; }

class AppOptionsTest : public ::testing::TestWithParam<OptionsCase> {};

TEST_P(AppOptionsTest, Parses) {
    const OptionsCase& c = GetParam();
    const AppOptions options = ParseAppOptions(c.arguments);
    EXPECT_EQ(options.camera_manifest, c.camera);
    EXPECT_EQ(options.gfx_directory, c.gfx);
    EXPECT_EQ(options.developer, c.developer);
    EXPECT_EQ(options.help, c.help);
    EXPECT_EQ(options.version, c.version);
    EXPECT_EQ(!options.error.empty(), c.error) << options.error;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AppOptionsTest,
    ::testing::Values(
        OptionsCase{"none", {}, "", "", false, false, false, false},
        OptionsCase{"camera", {"--camera", "cam/camera.json"}, "cam/camera.json", "", false, false, false, false},
        OptionsCase{"camera_equals", {"--camera=c.json", "--developer"}, "c.json", "", true, false, false, false},
        OptionsCase{"gfx", {"--gfx", "cam/GFX_DATA", "--camera", "c.json"}, "c.json", "cam/GFX_DATA", false, false,
                    false, false},
        OptionsCase{"help", {"--help"}, "", "", false, true, false, false},
        OptionsCase{"version", {"--developer", "--version"}, "", "", true, false, true, false},
        OptionsCase{"camera_without_file", {"--camera"}, "", "", false, false, false, true},
        OptionsCase{"camera_equals_nothing", {"--camera="}, "", "", false, false, false, true},
        OptionsCase{"gfx_without_folder", {"--developer", "--gfx"}, "", "", true, false, false, true},
        OptionsCase{"version_with_value", {"--version=2"}, "", "", false, false, false, true},
        OptionsCase{"unknown", {"--bogus"}, "", "", false, false, false, true}),
    [](const auto& info) { return std::string(info.param.name); });

// A disk image instead of a camera, and the Start Sector field's text.
struct ImageOptionsCase {
    const char* name;
    std::vector<std::string> arguments;
    std::string image;
    std::string start;
    bool error;
};
void PrintTo(const ImageOptionsCase& c, std::ostream* os) { *os << c.name; }

class ImageOptionsTest : public ::testing::TestWithParam<ImageOptionsCase> {};

TEST_P(ImageOptionsTest, Parses) {
    const ImageOptionsCase& c = GetParam();
    const AppOptions options = ParseAppOptions(c.arguments);
    EXPECT_EQ(!options.error.empty(), c.error) << options.error;
    if (c.error) return;
    EXPECT_EQ(options.image, c.image);
    EXPECT_EQ(options.start_sector, c.start);
    EXPECT_TRUE(options.camera_manifest.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ImageOptionsTest,
    ::testing::Values(
        ImageOptionsCase{"image", {"--image", "disk.img"}, "disk.img", "", false},
        ImageOptionsCase{"image_and_start", {"--image=disk.img", "--start", "0", "--developer"}, "disk.img", "0", false},
        ImageOptionsCase{"start_hexadecimal", {"--start=0x40000", "--image", "d.img"}, "d.img", "0x40000", false},
        ImageOptionsCase{"image_without_file", {"--image"}, "", "", true},
        ImageOptionsCase{"start_without_sector", {"--image", "d.img", "--start"}, "", "", true},
        ImageOptionsCase{"image_and_camera", {"--image", "d.img", "--camera", "c.json"}, "", "", true}),
    [](const auto& info) { return std::string(info.param.name); });

struct ProgramCase {
    const char* name;
    const char* arguments;
    int exit_code;
    const char* output;  // expected in standard output or error
};
void PrintTo(const ProgramCase& c, std::ostream* os) { *os << c.name; }

class ProgramTest : public ::testing::TestWithParam<ProgramCase> {};

TEST_P(ProgramTest, EndsWithoutAWindow) {
    const ProgramCase& c = GetParam();
    const testsupport::RunResult result =
        testsupport::Run("QT_QPA_PLATFORM=offscreen " + testsupport::Quote(QUILLON_DESKTOP_PATH) + " " + c.arguments);
    EXPECT_EQ(result.exit_code, c.exit_code) << result.out << result.err;
    EXPECT_NE((result.out + result.err).find(c.output), std::string::npos) << result.out << result.err;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ProgramTest,
    ::testing::Values(ProgramCase{"help", "--help", 0, "--camera FILE"},
                      ProgramCase{"version", "--version", 0, "quillon "},
                      ProgramCase{"unknown_option", "--bogus", 2, "unknown option: --bogus"},
                      ProgramCase{"manifest_missing", "--camera /nonexistent/camera.json", 1,
                                  "/nonexistent/camera.json"}),
    [](const auto& info) { return std::string(info.param.name); });

// --help and --version are for terminals too, where no display is: they are
// answered before Qt would look for one (and fail without it).
std::string WithoutDisplay(const std::string& command_line) {
    return "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " + command_line;
}

TEST(ProgramWithoutDisplay, AnswersHelp) {
    const testsupport::RunResult result =
        testsupport::Run(WithoutDisplay(testsupport::Quote(QUILLON_DESKTOP_PATH) + " --help"));
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out, AppUsage());
    EXPECT_EQ(result.err, "");
}

// Both programs print the one version the build names.
TEST(ProgramWithoutDisplay, AnswersTheVersionQuillonCliAnswers) {
    const testsupport::RunResult desktop =
        testsupport::Run(WithoutDisplay(testsupport::Quote(QUILLON_DESKTOP_PATH) + " --version"));
    const testsupport::RunResult cli = testsupport::Cli("--version");
    ASSERT_EQ(cli.exit_code, 0) << cli.err;
    EXPECT_EQ(desktop.exit_code, 0) << desktop.err;
    EXPECT_EQ(desktop.out, "quillon " + cli.out.substr(cli.out.find(' ') + 1));
    EXPECT_EQ(desktop.out, AppVersionLine());
    EXPECT_EQ(desktop.err, "");
}

}  // namespace
