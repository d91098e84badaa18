#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/camera_layout.h"
#include "device/platform/sim/sim_platform.h"
#include "faulty_platform.h"
#include "support/test_support.h"
#include "update/marker.h"

using namespace testsupport;

namespace {

constexpr int kSystemDrive = 3;

std::vector<std::uint8_t> SectorWithText(const std::string& text, std::uint8_t filler = 0) {
    std::vector<std::uint8_t> sector(kSectorSize, filler);
    std::copy(text.begin(), text.end(), sector.begin());
    return sector;
}

class MarkerTest : public ::testing::Test {
protected:
    void SetUp() override {
        image_ = ScratchDir() + "/system.img";
        MakeEmptyImage(image_, (camera::kUpdateMarkerSector + 1) * std::uint64_t{kSectorSize});
        auto simulated = std::make_unique<platform::SimulatedPlatform>();
        simulated->MapPhysicalDrive(kSystemDrive, image_);
        auto faulty = std::make_unique<FaultyPlatform>(std::move(simulated));
        faults_ = &faulty->faults;
        platform::InstallPlatform(std::move(faulty));
    }
    void TearDown() override { platform::InstallPlatform(std::make_unique<platform::SimulatedPlatform>()); }

    std::vector<std::uint8_t> MarkerSector() const { return ReadSector(image_, camera::kUpdateMarkerSector); }
    void PresetMarkerSector(const std::vector<std::uint8_t>& bytes) {
        WriteSector(image_, camera::kUpdateMarkerSector, bytes);
    }

    std::string image_;
    Faults* faults_ = nullptr;
};

TEST_F(MarkerTest, EachButtonWritesItsMarkerOverTheOtherWithZerosBehind) {
    PresetMarkerSector(std::vector<std::uint8_t>(kSectorSize, 0xFF));
    EXPECT_EQ(OnUpdateAppOnly(kSystemDrive), kMarkerSuccessText);
    EXPECT_EQ(MarkerSector(), SectorWithText(kMarkerAppOnly));
    EXPECT_EQ(OnUpdateAppData(kSystemDrive), kMarkerSuccessText);
    EXPECT_EQ(MarkerSector(), SectorWithText(kMarkerAppData));
}

TEST_F(MarkerTest, DriveNeverFoundFails) {
    EXPECT_EQ(OnUpdateAppData(255), kMarkerFailText);
    EXPECT_EQ(OnUpdateAppOnly(255), kMarkerFailText);
}

// The read-back proves the sector's content, not that the write happened.
TEST_F(MarkerTest, StaleSectorWithFailedWriteStillReadsBack) {
    PresetMarkerSector(SectorWithText(kMarkerAppData));
    faults_->device_writes_fail = true;
    EXPECT_EQ(OnUpdateAppData(kSystemDrive), kMarkerSuccessText);
    EXPECT_EQ(OnUpdateAppOnly(kSystemDrive), kMarkerFailText);
    EXPECT_EQ(MarkerSector(), SectorWithText(kMarkerAppData));
}

struct MatchCase {
    const char* name;
    std::vector<std::uint8_t> sector;
    bool matches;
};

std::vector<std::uint8_t> AppDataWithByte13(std::uint8_t value) {
    auto sector = SectorWithText(kMarkerAppData);
    sector[13] = value;
    return sector;
}

std::vector<std::uint8_t> AppDataWithTail() {
    auto sector = SectorWithText(kMarkerAppData, 0x5A);
    sector[13] = 0;
    return sector;
}

TEST(UpdateMarkerMatches, ComparesTextAndItsTerminatorOnly) {
    const MatchCase cases[] = {
        {"exact", SectorWithText(kMarkerAppData), true},
        {"byte_13_not_zero", AppDataWithByte13('X'), false},
        {"lower_case", SectorWithText("updateappdata"), false},
        {"other_marker", SectorWithText(kMarkerAppOnly), false},
        {"shorter_text", SectorWithText("UPDATEAPPDAT"), false},
        {"nonzero_bytes_after_terminator", AppDataWithTail(), true},
        {"empty_sector", std::vector<std::uint8_t>(kSectorSize, 0), false},
    };
    for (const auto& c : cases) {
        UpdateMarker sector{};
        std::copy(c.sector.begin(), c.sector.end(), sector.begin());
        EXPECT_EQ(UpdateMarkerMatches(sector, kMarkerAppData), c.matches) << c.name;
    }
}

}  // namespace
