// quillon-cli detect on simulated cameras.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "support/camera_fixture.h"
#include "support/test_support.h"

namespace {

using nlohmann::json;
using testsupport::Cli;
using testsupport::Quote;

std::string MakeCamera(const std::string& options) {
    const std::string dir = testsupport::ScratchDir() + "/camera";
    const auto made = Cli("make-camera " + Quote(dir) + " " + options);
    EXPECT_EQ(made.exit_code, 0) << made.err;
    return dir;
}

TEST(DetectTest, JsonRecordOfAMadeCamera) {
    const std::string dir = MakeCamera("--state 2");
    const auto result = Cli("--camera " + Quote(dir + "/camera.json") + " detect --json");
    ASSERT_EQ(result.exit_code, 0) << result.err;
    const json expected = {
        {"device_path", "PHYSICALDRIVE3\\"},
        {"disk_interface_path",
         "\\\\?\\usbstor#disk&ven_brenx&prod_system&rev_2.12#1634&1#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"},
        {"parent_device_id", "USB\\VID_E4D2&PID_3A17\\1634"},
        {"physical_drive_number", 3},
        {"user_drive_root", "E:\\"},
        {"device_state_word", 2},
        {"volume_labels", {{"E", "CAMERA"}, {"F", "QX SYSTEM"}}},
        {"mounted", true}};
    EXPECT_EQ(json::parse(result.out), expected) << result.out;
    // The keys in their documented order.
    EXPECT_EQ(result.out.find("{\"device_path\""), 0u) << result.out;
}

TEST(DetectTest, TextRecordOfAMadeCamera) {
    const std::string dir = MakeCamera("");
    const auto result = Cli("--camera " + Quote(dir + "/camera.json") + " detect");
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_NE(result.out.find("PHYSICALDRIVE3\\"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("E:\\"), std::string::npos) << result.out;
    EXPECT_NE(result.out.find("mounted"), std::string::npos) << result.out;
}

struct MissingPartCase {
    const char* name;
    const char* drive_to_remove;
    const char* message;
};

const MissingPartCase kMissingParts[] = {
    {"no_system_volume", "F", "QX SYSTEM"},
    {"no_user_volume", "E", "user volume"},
};

class DetectMissingTest : public ::testing::TestWithParam<MissingPartCase> {};

TEST_P(DetectMissingTest, FailsWithAClearMessageAndStillPrintsTheRecord) {
    const std::string dir = MakeCamera("");
    json manifest = json::parse(testsupport::ReadFileBytes(dir + "/camera.json"));
    json& drives = manifest["drives"];
    for (std::size_t i = 0; i < drives.size(); ++i)
        if (drives[i]["letter"] == GetParam().drive_to_remove) drives.erase(i--);
    testsupport::WriteManifest(dir, manifest);

    const auto result = Cli("--camera " + Quote(dir + "/camera.json") + " detect --json");
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.err.find("no camera found"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find(GetParam().message), std::string::npos) << result.err;
    EXPECT_TRUE(json::accept(result.out)) << result.out;
}

INSTANTIATE_TEST_SUITE_P(Cases, DetectMissingTest, ::testing::ValuesIn(kMissingParts),
                         [](const auto& info) { return std::string(info.param.name); });

// Without --camera detect looks at this computer's devices (the Linux
// backend's own tests cover that).
TEST(DetectTest, ExtraArgumentsAreAUsageError) {
    EXPECT_EQ(Cli("--camera x.json detect extra").exit_code, 2);
}

TEST(DetectTest, BrokenManifestNamesTheFile) {
    const std::string dir = testsupport::ScratchDir();
    testsupport::WriteFileBytes(dir + "/camera.json", {'{'});
    const auto result = Cli("--camera " + Quote(dir + "/camera.json") + " detect");
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.err.find(dir + "/camera.json"), std::string::npos) << result.err;
}

}  // namespace
