// Disk images keep their size, as the disks they stand for do: a write past
// the end fails and changes nothing, while files made on a drive's folder
// grow as they are written. And which paths name one file.
#include <gtest/gtest.h>

#include <filesystem>
#include <vector>
#include <system_error>

#include "device/platform/platform.h"
#include "device/platform/sim/sim_platform.h"
#include "device/sector_io.h"
#include "support/camera_fixture.h"
#include "support/test_support.h"
#include "support/update_camera.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

constexpr int kDrive = 3;
constexpr std::uint32_t kImageSectors = 4;

class ImageSize : public ::testing::Test {
protected:
    void SetUp() override {
        dir = ScratchDir();
        image = dir + "/disk.img";
        MakeEmptyImage(image, kImageSectors * kSectorSize);
        auto simulated = std::make_unique<platform::SimulatedPlatform>();
        simulated->MapPhysicalDrive(kDrive, image);
        platform::SimulatedDrive user;
        user.letter = 'E';
        user.root = dir + "/user";
        simulated->AddDrive(user);
        fs::create_directories(user.root);
        installed = std::make_unique<ScopedPlatform>(std::move(simulated));
        MediaDevicePath = "PHYSICALDRIVE3\\";
        MediaStartSector = "0";
    }

    std::string dir, image;
    std::unique_ptr<ScopedPlatform> installed;
};

TEST_F(ImageSize, WritesPastTheEndFailAndChangeNothing) {
    const std::vector<std::uint8_t> sector(kSectorSize, 0x5A);
    EXPECT_EQ(WritePhysicalSector(kImageSectors - 1, kDrive, sector.data()), 1);
    EXPECT_EQ(ReadSector(image, kImageSectors - 1), sector);

    const std::vector<std::uint8_t> run(2 * kSectorSize, 0xA5);
    const struct {
        const char* name;
        int result;
    } writes[] = {
        {"one sector past the end", WritePhysicalSector(kImageSectors, kDrive, sector.data())},
        {"the marker sector of a camera", WritePhysicalSector(0x24000, kDrive, sector.data())},
        {"a run across the end", MediaWrite(kImageSectors - 1, run.data(), 2)},
    };
    for (const auto& w : writes) EXPECT_EQ(w.result, 0) << w.name;
    EXPECT_EQ(fs::file_size(image), kImageSectors * kSectorSize);
    EXPECT_EQ(ReadSector(image, kImageSectors - 1), sector);  // the run wrote nothing of itself
}

TEST_F(ImageSize, AnEmptyImageTakesNoWrite) {
    MakeEmptyImage(image, 0);
    const std::vector<std::uint8_t> sector(kSectorSize, 1);
    EXPECT_EQ(WritePhysicalSector(0, kDrive, sector.data()), 0);
    EXPECT_EQ(MediaWrite(0, sector.data(), 1), 0);
    EXPECT_EQ(fs::file_size(image), 0u);
}

TEST_F(ImageSize, FilesMadeOnADriveFolderGrow) {
    auto file = platform::CurrentPlatform().OpenFile("E:\\APP_DATA.BIN", platform::FileMode::CreateTruncate);
    ASSERT_TRUE(file);
    const std::vector<std::uint8_t> bytes = PatternBytes(3 * kSectorSize + 17);
    EXPECT_EQ(file->Write(bytes.data(), bytes.size()), bytes.size());
    file.reset();
    EXPECT_EQ(ReadFileBytes(dir + "/user/APP_DATA.BIN"), bytes);
}

TEST(SameFile, HardAndSymbolicLinksAreTheFileItself) {
    const std::string dir = ScratchDir();
    WriteFileBytes(dir + "/a", {1});
    WriteFileBytes(dir + "/b", {1});
    fs::create_hard_link(dir + "/a", dir + "/hard");
    // Windows lets only privileged users (and Wine no one) make symbolic
    // links; the cases through them are left out there.
    std::error_code no_links;
    fs::create_symlink("a", dir + "/soft", no_links);
    if (!no_links) fs::create_symlink("soft", dir + "/soft-to-soft", no_links);
#ifndef _WIN32
    ASSERT_FALSE(no_links) << no_links.message();
#endif
    struct Case {
        const char* other;
        bool same;
    };
    std::vector<Case> cases = {
        {"a", true}, {"hard", true}, {"./a", true}, {"b", false}, {"missing", false}, {".", false},
    };
    if (!no_links) cases.insert(cases.end(), {{"soft", true}, {"soft-to-soft", true}});
    for (const auto& c : cases) EXPECT_EQ(platform::IsSameFile(dir + "/a", dir + "/" + c.other), c.same) << c.other;
    EXPECT_FALSE(platform::IsSameFile(dir + "/missing", dir + "/missing"));
}

}  // namespace
