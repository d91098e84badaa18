// quillon-cli make-camera: the simulated camera it writes, and attaching the
// camera's system disk for the volume commands.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "cli/camera_attach.h"
#include "device/camera_layout.h"
#include "device/platform/sim/sim_platform.h"
#include "device/sector_io.h"
#include "fat/file.h"
#include "fat/volume.h"
#include "support/camera_fixture.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using testsupport::Cli;
using testsupport::Quote;

constexpr std::uint64_t kHiddenVolumeOffset = std::uint64_t{camera::kHiddenVolumeStartSector} * 512;

std::uint32_t StateWordOf(const std::string& image) {
    const auto sector = testsupport::ReadSector(image, camera::kStateWordSector);
    return sector[0] | sector[1] << 8 | sector[2] << 16 | static_cast<std::uint32_t>(sector[3]) << 24;
}

std::string MakeCamera(const std::string& options = "") {
    const std::string dir = testsupport::ScratchDir() + "/camera";
    const auto made = Cli("make-camera " + Quote(dir) + " " + options);
    EXPECT_EQ(made.exit_code, 0) << made.out << made.err;
    return dir;
}

TEST(MakeCameraTest, DefaultCameraHasEveryPart) {
    const std::string dir = MakeCamera();
    const std::string image = dir + "/system.img";

    EXPECT_TRUE(fs::is_directory(dir + "/user"));
    EXPECT_EQ(fs::file_size(dir + "/GFX_DATA/APP_DATA.BIN"), 1024u * 1024u);
    EXPECT_EQ(StateWordOf(image), 0u);
    EXPECT_EQ(testsupport::Fsck(image, kHiddenVolumeOffset).exit_code, 0);

#ifndef _WIN32
    // Sparse: only the few sectors written take room.
    struct stat status {};
    ASSERT_EQ(::stat(image.c_str(), &status), 0);
    EXPECT_GT(static_cast<std::uint64_t>(status.st_size), kHiddenVolumeOffset);
    EXPECT_LT(static_cast<std::uint64_t>(status.st_blocks) * 512, static_cast<std::uint64_t>(status.st_size) / 50);
#endif

    std::string error;
    auto camera = platform::SimulatedPlatform::LoadManifest(dir + "/camera.json", &error);
    ASSERT_TRUE(camera) << error;
    EXPECT_EQ(camera->PhysicalDriveNumbers(), std::vector<int>{3});
}

TEST(MakeCameraTest, CopiesEveryShippedFileBesideTheProgram) {
    const fs::path shipped = fs::path(QUILLON_CLI_PATH).parent_path() / "GFX_DATA";
    if (!fs::is_directory(shipped)) GTEST_SKIP() << "no GFX_DATA beside " << QUILLON_CLI_PATH;
    const std::string dir = MakeCamera();
    for (const auto& entry : fs::directory_iterator(shipped)) {
        if (!entry.is_regular_file() || entry.path().filename() == "APP_DATA.BIN") continue;
        const fs::path copy = fs::path(dir) / "GFX_DATA" / entry.path().filename();
        EXPECT_EQ(testsupport::ReadFileBytes(copy.string()), testsupport::ReadFileBytes(entry.path().string()))
            << copy;
    }
}

TEST(MakeCameraTest, WithoutShippedFilesWarnsAndStillMakesTheCamera) {
    const std::string scratch = testsupport::ScratchDir();
    const std::string program = scratch + "/quillon-cli" + fs::path(QUILLON_CLI_PATH).extension().string();
    fs::copy_file(QUILLON_CLI_PATH, program);
    const auto result = testsupport::Run(Quote(program) + " make-camera " + Quote(scratch + "/camera"));
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_NE(result.err.find("warning"), std::string::npos) << result.err;
    EXPECT_EQ(fs::file_size(scratch + "/camera/GFX_DATA/APP_DATA.BIN"), 1024u * 1024u);
    EXPECT_TRUE(fs::exists(scratch + "/camera/camera.json"));
}

TEST(MakeCameraTest, OptionsShapeTheCamera) {
    const std::string dir = MakeCamera("--state 0x102 --fs fat32 --user-free 5000 --update-size 3000");
    const std::string image = dir + "/system.img";
    EXPECT_EQ(StateWordOf(image), 0x102u);
    const auto boot = testsupport::ReadSector(image, camera::kHiddenVolumeStartSector);
    EXPECT_EQ(std::string(boot.begin() + 82, boot.begin() + 90), "FAT32   ");
    EXPECT_EQ(testsupport::Fsck(image, kHiddenVolumeOffset).exit_code, 0);
    EXPECT_EQ(fs::file_size(dir + "/GFX_DATA/APP_DATA.BIN"), 3000u);
    const auto manifest = nlohmann::json::parse(testsupport::ReadFileBytes(dir + "/camera.json"));
    EXPECT_EQ(manifest["drives"][0]["free_bytes"], 5000);
}

TEST(MakeCameraTest, UpdateFileIsTheSameEveryTime) {
    const std::string first = MakeCamera("--update-size 70000");
    const auto bytes = testsupport::ReadFileBytes(first + "/GFX_DATA/APP_DATA.BIN");
    const std::string second = testsupport::ScratchDir() + "/again";
    ASSERT_EQ(Cli("make-camera " + Quote(second) + " --update-size 70000").exit_code, 0);
    EXPECT_EQ(testsupport::ReadFileBytes(second + "/GFX_DATA/APP_DATA.BIN"), bytes);
    EXPECT_NE(bytes[0], bytes[65536]);  // not one repeated chunk
}

TEST(MakeCameraTest, HiddenVolumeHoldsFoldersAndFilesThatToolsRead) {
    const std::string dir = MakeCamera();
    const std::string volume = Quote(dir + "/system.img@@" + std::to_string(kHiddenVolumeOffset));
    const auto listing = testsupport::Run("mdir -/ -b -i " + volume + " ::/");
    ASSERT_EQ(listing.exit_code, 0) << listing.err;
    EXPECT_NE(listing.out.find("DCIM"), std::string::npos) << listing.out;
    const auto text = testsupport::Run("mtype -i " + volume + " ::/SYSTEM/VERSION.TXT");
    EXPECT_EQ(text.out, "firmware 2.12\r\n");
}

struct UsageCase {
    const char* name;
    const char* arguments;
};

const UsageCase kUsageCases[] = {
    {"no_folder", "make-camera"},
    {"two_folders", "make-camera a b"},
    {"unknown_file_system", "make-camera DIR --fs fat12"},
    {"negative_state", "make-camera DIR --state -1"},
    {"state_not_a_number", "make-camera DIR --state one"},
    {"state_beyond_32_bits", "make-camera DIR --state 4294967296"},
    {"update_size_without_value", "make-camera DIR --update-size"},
    {"unknown_option", "make-camera DIR --colour red"},
};

class MakeCameraUsageTest : public ::testing::TestWithParam<UsageCase> {};

TEST_P(MakeCameraUsageTest, IsAUsageErrorAndMakesNothing) {
    const std::string scratch = testsupport::ScratchDir();
    std::string arguments = GetParam().arguments;
    if (auto at = arguments.find("DIR"); at != std::string::npos) arguments.replace(at, 3, Quote(scratch + "/cam"));
    const auto result = Cli(arguments);
    EXPECT_EQ(result.exit_code, 2) << result.err;
    EXPECT_FALSE(result.err.empty());
    EXPECT_FALSE(fs::exists(scratch + "/cam"));
}

INSTANTIATE_TEST_SUITE_P(Cases, MakeCameraUsageTest, ::testing::ValuesIn(kUsageCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(MakeCameraTest, UnwritableFolderFails) {
    const std::string scratch = testsupport::ScratchDir();
    testsupport::WriteFileBytes(scratch + "/file", {1});
    const auto result = Cli("make-camera " + Quote(scratch + "/file/cam"));
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_NE(result.err.find(scratch + "/file/cam"), std::string::npos) << result.err;
}

// Attaching restores nothing; each test installs what it needs.
class CameraAttachTest : public ::testing::Test {
protected:
    void TearDown() override { platform::InstallPlatform(std::make_unique<platform::SimulatedPlatform>()); }
};

TEST_F(CameraAttachTest, PointsTheMediaCallbacksAtTheSystemDisk) {
    const std::string dir = MakeCamera();
    std::string error;
    ASSERT_TRUE(AttachCameraVolume(dir + "/camera.json", "0x40000", &error)) << error;
    EXPECT_EQ(MediaDevicePath, "PHYSICALDRIVE3\\");
    EXPECT_EQ(MediaStartSector, "0x40000");
    FatResetFiles();
    EXPECT_EQ(FatMountMedia(), kFatMountOk);
}

TEST_F(CameraAttachTest, WithoutSystemVolumeTakesTheLowestPhysicalDrive) {
    const std::string dir = testsupport::ScratchDir();
    testsupport::MakeEmptyImage(dir + "/a.img", 512);
    testsupport::MakeEmptyImage(dir + "/b.img", 512);
    testsupport::WriteManifest(dir, nlohmann::json::parse(R"({"drives": [{"letter": "F", "label": "qx system",
        "device_number": 9}], "physical_drives": [{"number": 9, "image": "b.img"}, {"number": 4, "image": "a.img"}]})"));
    std::string error;
    ASSERT_TRUE(AttachCameraVolume(dir + "/camera.json", "0", &error)) << error;
    EXPECT_EQ(MediaDevicePath, "PHYSICALDRIVE4\\");
    EXPECT_EQ(MediaStartSector, "0");
}

TEST_F(CameraAttachTest, RefusesCamerasWithoutSystemDisk) {
    const std::string dir = testsupport::ScratchDir();
    testsupport::WriteManifest(dir, nlohmann::json::parse(R"({"drives": [{"letter": "E"}]})"));
    std::string error;
    EXPECT_FALSE(AttachCameraVolume(dir + "/camera.json", "0x40000", &error));
    EXPECT_NE(error.find(dir + "/camera.json"), std::string::npos) << error;
    EXPECT_FALSE(AttachCameraVolume(dir + "/missing.json", "0x40000", &error));
    EXPECT_NE(error.find("missing.json"), std::string::npos) << error;
}

}  // namespace
