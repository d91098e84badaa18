#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "device/camera_layout.h"
#include "support/test_support.h"
#include "support/update_camera.h"
#include "update/marker.h"

using namespace testsupport;

namespace {

RunResult Marker(const UpdateCamera& camera, const std::string& arguments) {
    return Cli("--camera " + Quote(camera.manifest) + " marker " + arguments);
}

std::vector<std::uint8_t> SectorOf(const char* marker) {
    const UpdateMarker sector = MakeUpdateMarker(marker);
    return {sector.begin(), sector.end()};
}

TEST(MarkerCommand, SetsEitherMarkerOnTheSystemDisk) {
    const UpdateCamera camera = MakeUpdateCamera(ScratchDir());
    const struct {
        const char* argument;
        const char* marker;
    } cases[] = {{"apponly", kMarkerAppOnly}, {"appdata", kMarkerAppData}};
    for (const auto& c : cases) {
        const RunResult r = Marker(camera, c.argument);
        EXPECT_EQ(r.exit_code, 0) << c.argument << r.err;
        EXPECT_EQ(r.out, "Success\n") << c.argument;
        EXPECT_EQ(ReadSector(camera.system_image, camera::kUpdateMarkerSector), SectorOf(c.marker)) << c.argument;
    }
}

TEST(MarkerCommand, JsonNamesMarkerDriveAndResult) {
    const UpdateCamera camera = MakeUpdateCamera(ScratchDir());
    const RunResult r = Cli("--camera " + Quote(camera.manifest) + " --json marker appdata");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const nlohmann::json expected = {{"marker", kMarkerAppData}, {"physical_drive_number", 3}, {"result", "Success"}};
    EXPECT_EQ(nlohmann::json::parse(r.out), expected);
}

// Without the system volume discovery finds no drive (255), which never opens.
TEST(MarkerCommand, CameraWithoutSystemDiskFails) {
    UpdateCameraOptions options;
    options.system_volume = false;
    const UpdateCamera camera = MakeUpdateCamera(ScratchDir(), options);
    const RunResult r = Marker(camera, "appdata");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_EQ(r.out, "Fail\n");
    EXPECT_NE(r.err.find("255"), std::string::npos) << r.err;
}

TEST(MarkerCommand, UsageErrors) {
    const UpdateCamera camera = MakeUpdateCamera(ScratchDir());
    EXPECT_EQ(Marker(camera, "").exit_code, 2);
    EXPECT_EQ(Marker(camera, "appall").exit_code, 2);
    EXPECT_EQ(Marker(camera, "appdata apponly").exit_code, 2);
}

}  // namespace
