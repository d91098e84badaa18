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
    EXPECT_EQ(!options.error.empty(), c.error) << options.error;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AppOptionsTest,
    ::testing::Values(
        OptionsCase{"none", {}, "", "", false, false, false},
        OptionsCase{"camera", {"--camera", "cam/camera.json"}, "cam/camera.json", "", false, false, false},
        OptionsCase{"camera_equals", {"--camera=c.json", "--developer"}, "c.json", "", true, false, false},
        OptionsCase{"gfx", {"--gfx", "cam/GFX_DATA", "--camera", "c.json"}, "c.json", "cam/GFX_DATA", false, false,
                    false},
        OptionsCase{"help", {"--help"}, "", "", false, true, false},
        OptionsCase{"camera_without_file", {"--camera"}, "", "", false, false, true},
        OptionsCase{"camera_equals_nothing", {"--camera="}, "", "", false, false, true},
        OptionsCase{"gfx_without_folder", {"--developer", "--gfx"}, "", "", true, false, true},
        OptionsCase{"unknown", {"--bogus"}, "", "", false, false, true}),
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
                      ProgramCase{"unknown_option", "--bogus", 2, "unknown option: --bogus"},
                      ProgramCase{"manifest_missing", "--camera /nonexistent/camera.json", 1,
                                  "/nonexistent/camera.json"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
