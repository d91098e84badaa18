#include "device/sector_io.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "device/platform/platform.h"
#include "device/platform/sim/sim_platform.h"
#include "support/test_support.h"

using namespace testsupport;

namespace {

// Counts the names the code tries to open, and offers some of them.
class CountingPlatform : public platform::SimulatedPlatform {
public:
    std::unique_ptr<platform::Device> OpenDevice(const std::string& name,
                                                 platform::DeviceAccess access) override {
        tried.insert(name);
        ++opens;
        return SimulatedPlatform::OpenDevice(name, access);
    }
    std::set<std::string> tried;
    int opens = 0;
};

class SectorIoTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir = ScratchDir();
        image = dir + "/disk.img";
        MakeEmptyImage(image, 8 * 512);
        auto simulated = std::make_unique<CountingPlatform>();
        simulated->MapPhysicalDrive(3, image);
        sim = simulated.get();
        previous = platform::InstallPlatform(std::move(simulated));
        MediaDevicePath = "PHYSICALDRIVE3\\";
        MediaStartSector = "0";
    }
    void TearDown() override { platform::InstallPlatform(std::move(previous)); }

    std::vector<std::uint8_t> Pattern(std::uint8_t seed, std::size_t sectors = 1) {
        std::vector<std::uint8_t> bytes(sectors * 512);
        for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
        return bytes;
    }

    std::string dir, image;
    CountingPlatform* sim = nullptr;
    std::unique_ptr<platform::Platform> previous;
};

struct ParseCase {
    const char* text;
    std::uint32_t expected;
};

class SectorNumberText : public ::testing::TestWithParam<ParseCase> {};

TEST_P(SectorNumberText, FollowsTheWcstolRule) {
    EXPECT_EQ(ParseSectorNumber(GetParam().text), GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SectorNumberText,
    ::testing::Values(ParseCase{"0x40000", 0x40000}, ParseCase{"262144", 262144},
                      ParseCase{"0X40000", 0},           // capital X: base 10, stops at X
                      ParseCase{"", 0}, ParseCase{"abc", 0}, ParseCase{"0x", 0},
                      ParseCase{"  12", 12}, ParseCase{"+7", 7}, ParseCase{"12abc", 12},
                      ParseCase{" 0x10", 0},             // "0x" not at the very start
                      ParseCase{"-1", 0xFFFFFFFFu},
                      ParseCase{"99999999999", 0x7FFFFFFFu},  // saturates
                      ParseCase{"-99999999999", 0x80000000u},
                      ParseCase{"0xFFFFFFFF", 0x7FFFFFFFu}, ParseCase{"0x1f", 0x1F}));

TEST_F(SectorIoTest, WriteThenReadPhysicalSectorsAtTheirOwnPosition) {
    auto bytes = Pattern(1);
    ASSERT_EQ(WritePhysicalSector(5, 3, bytes.data()), 1);
    EXPECT_EQ(ReadSector(image, 5), bytes);
    std::vector<std::uint8_t> back(512);
    EXPECT_EQ(ReadPhysicalSectors(1, 5, 3, back.data()), 1);
    EXPECT_EQ(back, bytes);
}

TEST_F(SectorIoTest, ShortTransfersCountWholeSectors) {
    std::filesystem::resize_file(image, 700);
    std::vector<std::uint8_t> buffer(1024);
    EXPECT_EQ(ReadPhysicalSectors(2, 0, 3, buffer.data()), 1);
    std::filesystem::resize_file(image, 512);
    EXPECT_EQ(ReadPhysicalSectors(2, 0, 3, buffer.data()), 1);
    EXPECT_EQ(ReadPhysicalSectors(2, 1, 3, buffer.data()), 0);
}

TEST_F(SectorIoTest, MissingDriveGivesZero) {
    std::vector<std::uint8_t> buffer(512);
    EXPECT_EQ(ReadPhysicalSectors(1, 0, 4, buffer.data()), 0);
    EXPECT_EQ(WritePhysicalSector(0, 4, buffer.data()), 0);
}

TEST_F(SectorIoTest, ListPhysicalDrivesTriesOneHundredAndOneNames) {
    sim->MapPhysicalDrive(0, image);
    sim->MapPhysicalDrive(1, image);
    sim->MapPhysicalDrive(101, image);  // beyond the probe
    std::vector<int> drives;
    ListPhysicalDrives(drives);
    EXPECT_EQ(drives, (std::vector<int>{0, 1, 3}));
    EXPECT_EQ(sim->tried.size(), 101u);
    EXPECT_EQ(sim->opens, 101);
}

TEST_F(SectorIoTest, MediaCallbacksCountFromTheStartSector) {
    MediaStartSector = "2";
    auto bytes = Pattern(9, 2);
    ASSERT_EQ(MediaWrite(1, bytes.data(), 2), 1);
    EXPECT_EQ(ReadSector(image, 3), std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 512));
    EXPECT_EQ(ReadSector(image, 4), std::vector<std::uint8_t>(bytes.begin() + 512, bytes.end()));
    std::vector<std::uint8_t> back(1024);
    ASSERT_EQ(MediaRead(1, back.data(), 2), 1);
    EXPECT_EQ(back, bytes);
}

TEST_F(SectorIoTest, CountZeroOpensAndSucceeds) {
    std::uint8_t unused[1];
    EXPECT_EQ(MediaRead(0, unused, 0), 1);
    EXPECT_EQ(MediaWrite(0, unused, 0), 1);
}

TEST_F(SectorIoTest, CapitalXMakesRelativeSectorsAbsolute) {
    WriteSector(image, 1, Pattern(4));
    MediaStartSector = "0X4";
    std::vector<std::uint8_t> back(512);
    ASSERT_EQ(MediaRead(1, back.data(), 1), 1);
    EXPECT_EQ(back, Pattern(4));
}

TEST_F(SectorIoTest, DevicePathForms) {
    std::vector<std::uint8_t> back(512);
    MediaDevicePath = "";
    EXPECT_EQ(MediaRead(0, back.data(), 1), 0);
    EXPECT_EQ(MediaWrite(0, back.data(), 1), 0);
    MediaDevicePath = "PHYSICALDRIVE3";  // no trailing backslash: used as is
    EXPECT_EQ(MediaRead(0, back.data(), 1), 1);
    MediaDevicePath = "PHYSICALDRIVE3\\\\";  // only one backslash is removed
    EXPECT_EQ(MediaRead(0, back.data(), 1), 0);
}

TEST_F(SectorIoTest, ReadPastTheEndFails) {
    std::vector<std::uint8_t> back(1024);
    EXPECT_EQ(MediaRead(7, back.data(), 2), 0);
    EXPECT_EQ(MediaRead(7, back.data(), 1), 1);
}

TEST_F(SectorIoTest, HiddenVolumeStartReadsByte0x8000000) {
    MakeEmptyImage(image, 0x8000000 + 512);
    auto bytes = Pattern(3);
    WriteSector(image, 0x40000, bytes);
    MediaStartSector = "0x40000";
    std::vector<std::uint8_t> back(512);
    ASSERT_EQ(MediaRead(0, back.data(), 1), 1);
    EXPECT_EQ(back, bytes);
}

TEST_F(SectorIoTest, PositionsBeyondFourGiBDoNotWrap) {
    const std::uint64_t sector = 0x900000;  // 4.5 GiB
    MakeEmptyImage(image, (sector + 1) * 512);
    auto bytes = Pattern(5);
    MediaStartSector = "0x900000";
    ASSERT_EQ(MediaWrite(0, bytes.data(), 1), 1);
    EXPECT_EQ(ReadSector(image, sector), bytes);
    EXPECT_EQ(ReadSector(image, sector & 0x7FFFFF), std::vector<std::uint8_t>(512, 0));
    std::vector<std::uint8_t> back(512);
    ASSERT_EQ(ReadPhysicalSectors(1, sector, 3, back.data()), 1);
    EXPECT_EQ(back, bytes);
}

}  // namespace

namespace {

// Images stay open between transfers; one made anew at the same path must be
// the one read and written afterwards, never the replaced file.
TEST(ImageHandles, AnImageMadeAnewAtTheSamePathIsOpenedAnew) {
    const std::string image = ScratchDir() + "/disk.img";
    MakeEmptyImage(image, 4 * 512);
    auto simulated = std::make_unique<platform::SimulatedPlatform>();
    simulated->MapPhysicalDrive(5, image);
    auto previous = platform::InstallPlatform(std::move(simulated));

    std::vector<std::uint8_t> first(512, 0x11), second(512, 0x22), back(512);
    ASSERT_EQ(WritePhysicalSector(1, 5, first.data()), 1);
    ASSERT_EQ(ReadPhysicalSectors(1, 1, 5, back.data()), 1);
    EXPECT_EQ(back, first);

    MakeEmptyImage(image, 4 * 512);  // removed and created again: a new file
    ASSERT_EQ(ReadPhysicalSectors(1, 1, 5, back.data()), 1);
    EXPECT_EQ(back, std::vector<std::uint8_t>(512, 0));
    ASSERT_EQ(WritePhysicalSector(1, 5, second.data()), 1);
    EXPECT_EQ(ReadSector(image, 1), second);

    std::filesystem::remove(image);
    // Wine, unlike Windows, still opens a removed file while a handle to it
    // is open, and the cache holds one.
    if (!testsupport::RunsUnderWine()) {
        EXPECT_EQ(ReadPhysicalSectors(1, 1, 5, back.data()), 0);
    }
    platform::InstallPlatform(std::move(previous));
}

}  // namespace
