// The write/delete self-test on real images: healthy volumes, a medium that
// damages what it reads back, volumes without room, deletes that fail.
#include "fat/self_test.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fat/engine_fixture.h"

using namespace testsupport;

namespace {

constexpr std::uint32_t kBlockSectors = 512000 / kSectorSize;
constexpr char kFirstFile[] = "/testfile1.bin";
constexpr char kSecondFile[] = "/testfile2.bin";

// Passes every transfer on; a test may change what a read brings back or
// refuse a write.
class FaultyDevice : public fat::BlockDevice {
public:
    explicit FaultyDevice(std::unique_ptr<fat::BlockDevice> inner) : inner_(std::move(inner)) {}

    bool Read(std::uint32_t sector, std::uint8_t* buffer, std::uint32_t count) override {
        if (!inner_->Read(sector, buffer, count)) return false;
        if (after_read) after_read(sector, buffer, count);
        return true;
    }
    bool Write(std::uint32_t sector, const std::uint8_t* buffer, std::uint32_t count) override {
        if (refuse_write && refuse_write(sector, buffer, count)) return false;
        return inner_->Write(sector, buffer, count);
    }
    bool Flush() override { return inner_->Flush(); }
    bool Writable() const override { return inner_->Writable(); }

    std::function<void(std::uint32_t sector, std::uint8_t* buffer, std::uint32_t count)> after_read;
    std::function<bool(std::uint32_t sector, const std::uint8_t* buffer, std::uint32_t count)> refuse_write;

private:
    std::unique_ptr<fat::BlockDevice> inner_;
};

// Whether a slot of the written sectors holds this raw short name.
bool WritesShortName(const std::uint8_t* buffer, std::uint32_t count, const char (&raw)[12]) {
    for (std::uint32_t offset = 0; offset < count * kSectorSize; offset += kFatEntrySize)
        if (std::memcmp(buffer + offset, raw, 11) == 0) return true;
    return false;
}

class SelfTest : public EngineFixture {
protected:
    void TearDown() override {
        FatResetFiles();
        EngineFixture::TearDown();
    }

    // Runs the test, gathering what it prints.
    fat::SelfTestResult Run(int iterations, std::function<bool(int, int)> progress = {}) {
        fat::SelfTestHooks hooks;
        hooks.print = [this](const char* line) {
            printed += line;
            lines.emplace_back(line);
        };
        hooks.progress = std::move(progress);
        return fat::RunWriteDeleteTest(Volume(), iterations, hooks);
    }

    // A fresh image of that kind, mounted through a FaultyDevice.
    FaultyDevice* MountFaulty(EngineImage kind) {
        image = ScratchDir() + "/v.img";
        if (kind == EngineImage::kFat16)
            MakeFatImage(image, 32u << 20, "-F 16");
        else
            MakeFatImage(image, 40u << 20, "-F 32 -s 1");
        AttachImage(image);
        auto faulty = std::make_unique<FaultyDevice>(OpenImageDevice());
        FaultyDevice* device = faulty.get();
        return MountDevice(std::move(faulty)) == kFatMountOk ? device : nullptr;
    }

    bool Exists(const char* path) {
        FatEntryInfo info;
        return FatLookupEntry(path, &info) == 1;
    }

    void ExpectTestFilesGone() {
        EXPECT_FALSE(Exists(kFirstFile));
        EXPECT_FALSE(Exists(kSecondFile));
    }

    std::size_t Count(const char* line) const {
        std::size_t n = 0;
        for (const std::string& printed_line : lines) n += printed_line == line;
        return n;
    }

    std::string printed;
    std::vector<std::string> lines;
};

class HealthySelfTest : public SelfTest, public ::testing::WithParamInterface<EngineImage> {};

INSTANTIATE_TEST_SUITE_P(Kinds, HealthySelfTest, ::testing::Values(EngineImage::kFat16, EngineImage::kFat32),
                         [](const auto& info) { return EngineImageName(info.param); });

TEST_P(HealthySelfTest, EveryIterationIsRightAndNothingStaysBehind) {
    MountFresh(GetParam());
    const fat::SelfTestResult result = Run(3);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(result.first_file_count, 3);
    EXPECT_EQ(result.second_file_count, 3);
    EXPECT_EQ(result.iterations_run, 3);
    EXPECT_FALSE(result.cancelled);
    EXPECT_EQ(result.stopped_because, "");
    ExpectTestFilesGone();
    // The whole delete takes the long-name parts too: nothing for fsck.fat.
    ExpectFsckClean();
}

TEST_F(SelfTest, AThousandIterationsOnAHealthyVolume) {
    MountFresh(EngineImage::kFat16);
    const fat::SelfTestResult result = Run(fat::kSelfTestDefaultIterations);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(fat::FirstCountText(result.first_file_count), "Right Cnt1: 1000");
    EXPECT_EQ(fat::SecondCountText(result.second_file_count), "Right Cnt2: 1000");
    ExpectTestFilesGone();
    ExpectFsckClean();
}

// One byte of the first file's third block comes back wrong, once: that
// iteration alone misses the first count; the second file is unaffected.
TEST_F(SelfTest, ADamagedReadBackFailsThatIterationOnce) {
    FaultyDevice* device = MountFaulty(EngineImage::kFat16);
    ASSERT_NE(device, nullptr);
    // The chain of a fresh volume is contiguous: each 512,000-byte block
    // reaches the medium in one transfer, so the third one shows where the
    // third block lies.
    int block_writes = 0;
    std::uint32_t damaged_sector = kFatNoSector;
    bool damaged = false;
    device->refuse_write = [&](std::uint32_t sector, const std::uint8_t*, std::uint32_t count) {
        if (count == kBlockSectors && ++block_writes == 3) damaged_sector = sector + 123;
        return false;
    };
    device->after_read = [&](std::uint32_t sector, std::uint8_t* buffer, std::uint32_t count) {
        if (damaged || damaged_sector < sector || damaged_sector - sector >= count) return;
        buffer[(damaged_sector - sector) * kSectorSize + 45] ^= 0x10;
        damaged = true;
    };
    const fat::SelfTestResult result = Run(3);
    ASSERT_TRUE(damaged);
    EXPECT_EQ(printed, fat::kSelfTestCompareFailed);
    EXPECT_EQ(result.first_file_count, 2);
    EXPECT_EQ(result.second_file_count, 3);
    EXPECT_EQ(result.stopped_because, "");
}

// A filler leaves less room than the first file needs.
void FillAllBut(std::uint32_t bytes_left) {
    std::uint32_t free_clusters = 0;
    ASSERT_EQ(fat::DefaultVolume().CountFreeClusters(&free_clusters), fat::Result::Ok);
    const std::uint32_t cluster_bytes = FatTheVolume().sectors_per_cluster * kSectorSize;
    const std::uint32_t filler = free_clusters * cluster_bytes - bytes_left;
    FatFile* file = FatOpenFile("wb", "/filler.bin");
    ASSERT_NE(file, nullptr);
    const std::vector<std::uint8_t> chunk(1u << 20, 0x5A);
    for (std::uint32_t done = 0; done < filler;) {
        const std::uint32_t part = std::min<std::uint32_t>(filler - done, chunk.size());
        ASSERT_EQ(FatWriteFile(file, chunk.data(), part), static_cast<int>(part));
        done += part;
    }
    FatCloseFile(file);
}

struct NoRoomCase {
    const char* name;
    std::uint64_t image_bytes;
    const char* mkfs_options;
    std::uint32_t fill_all_but;  // 0: no filler
};

class NoRoomSelfTest : public SelfTest, public ::testing::WithParamInterface<NoRoomCase> {};

INSTANTIATE_TEST_SUITE_P(Volumes, NoRoomSelfTest,
                         ::testing::Values(NoRoomCase{"TooSmall", 3u << 20, "-F 16 -s 1", 0},
                                           NoRoomCase{"NearlyFull", 32u << 20, "-F 16", 100 * 1024}),
                         [](const auto& info) { return info.param.name; });

// Short writes and sizes are reported, the counts stay short (an empty or
// short second file is no right one), every test file is deleted again and
// the volume stays sound.
TEST_P(NoRoomSelfTest, ReportsShortFilesAndLeavesTheVolumeSound) {
    image = ScratchDir() + "/v.img";
    MakeFatImage(image, GetParam().image_bytes, GetParam().mkfs_options);
    MountImage(image);
    if (GetParam().fill_all_but) FillAllBut(GetParam().fill_all_but);
    const fat::SelfTestResult result = Run(2);
    EXPECT_GE(Count(fat::kSelfTestWriteFailed), 4u) << printed;
    EXPECT_EQ(Count(fat::kSelfTestSizeFailed), 4u) << printed;
    EXPECT_EQ(Count(fat::kSelfTestCompareFailed), 0u) << printed;
    EXPECT_EQ(Count(fat::kSelfTestReadFailed), 0u) << printed;
    EXPECT_EQ(result.first_file_count, 0);
    EXPECT_EQ(result.second_file_count, 0);
    EXPECT_EQ(result.iterations_run, 2);
    EXPECT_EQ(result.stopped_because, "");
    ExpectTestFilesGone();
    ExpectFsckClean();
}

// No room for the entries: neither file is made, so neither can be read
// back or deleted, and the test ends after that iteration.
TEST_F(SelfTest, FilesThatCannotBeCreatedEndTheTest) {
    image = ScratchDir() + "/v.img";
    MakeFatImage(image, 32u << 20, "-F 16 -r 16");
    MountImage(image);
    for (int i = 0; i < 64; ++i) {
        FatFile* file = FatOpenFile("wb", ("/F" + std::to_string(i) + ".TXT").c_str());
        if (!file) break;
        FatCloseFile(file);
    }
    const fat::SelfTestResult result = Run(5);
    ASSERT_EQ(lines.size(), 7u) << printed;
    const std::vector<std::string> expected = {
        fat::kSelfTestCreateFailed, fat::kSelfTestReadFailed,         fat::kSelfTestCreateFailed,
        fat::kSelfTestReadFailed,   fat::kSelfTestDeleteFirstFailed, fat::kSelfTestDeleteSecondFailed,
    };
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 6), expected);
    EXPECT_EQ(lines.back(), result.stopped_because + "\n");
    EXPECT_EQ(result.iterations_run, 1);
    EXPECT_EQ(result.first_file_count, 0);
    EXPECT_EQ(result.second_file_count, 0);
    ExpectFsckClean();
}

// The first file's delete cannot write its entry: the test stops after that
// iteration, names the file, and still deletes the second one.
TEST_F(SelfTest, AFailedDeleteStopsTheTest) {
    FaultyDevice* device = MountFaulty(EngineImage::kFat32);
    ASSERT_NE(device, nullptr);
    static const char kDeletedFirstEntry[12] = "\xE5" "ESTFI~1BIN";
    device->refuse_write = [](std::uint32_t, const std::uint8_t* buffer, std::uint32_t count) {
        return WritesShortName(buffer, count, kDeletedFirstEntry);
    };
    const fat::SelfTestResult result = Run(4);
    EXPECT_EQ(result.iterations_run, 1);
    EXPECT_EQ(result.first_file_count, 1);
    EXPECT_EQ(result.second_file_count, 1);
    EXPECT_FALSE(result.cancelled);
    EXPECT_NE(result.stopped_because.find(kFirstFile), std::string::npos) << result.stopped_because;
    EXPECT_EQ(result.stopped_because.find(kSecondFile), std::string::npos) << result.stopped_because;
    EXPECT_EQ(printed, std::string(fat::kSelfTestDeleteFirstFailed) + result.stopped_because + "\n");
    EXPECT_TRUE(Exists(kFirstFile));
    EXPECT_FALSE(Exists(kSecondFile));
    ExpectFsckClean();
}

TEST_F(SelfTest, ProgressReturningFalseCancelsAfterThatIteration) {
    MountFresh(EngineImage::kFat32);
    std::vector<std::pair<int, int>> calls;
    const fat::SelfTestResult result = Run(5, [&](int done, int total) {
        calls.emplace_back(done, total);
        return done < 2;
    });
    EXPECT_EQ(calls, (std::vector<std::pair<int, int>>{{1, 5}, {2, 5}}));
    EXPECT_TRUE(result.cancelled);
    EXPECT_EQ(result.iterations_run, 2);
    EXPECT_EQ(result.first_file_count, 2);
    EXPECT_EQ(result.second_file_count, 2);
    ExpectTestFilesGone();
}

// Declining after the last iteration cancels nothing: the test is whole.
TEST_F(SelfTest, ProgressDecliningAtTheEndIsNoCancel) {
    MountFresh(EngineImage::kFat16);
    const fat::SelfTestResult result = Run(1, [](int, int) { return false; });
    EXPECT_FALSE(result.cancelled);
    EXPECT_EQ(result.iterations_run, 1);
}

TEST_F(SelfTest, NoIterationsRunsNothing) {
    MountFresh(EngineImage::kFat16);
    for (const int iterations : {0, -3}) {
        bool progressed = false;
        const fat::SelfTestResult result = Run(iterations, [&](int, int) { return progressed = true; });
        EXPECT_EQ(result.iterations_run, 0) << iterations;
        EXPECT_EQ(result.first_file_count, 0) << iterations;
        EXPECT_FALSE(progressed) << iterations;
    }
    EXPECT_EQ(printed, "");
    EXPECT_TRUE(ListNames("/").empty());
}

}  // namespace
