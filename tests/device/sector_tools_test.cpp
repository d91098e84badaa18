// The sector tools on a simulated camera: Read, Write, the checks in front
// of them, and EID Readback with the camera's answer.
#include "device/sector_tools.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <system_error>

#include "device/camera_layout.h"
#include "device/discovery.h"
#include "support/camera_fixture.h"
#include "support/pattern.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace sectortools;
using nlohmann::json;
using testsupport::ReadFileBytes;
using testsupport::ReadSector;
using testsupport::WriteSector;

// The hidden volume's part of the test disk: small, and nothing mounts it.
constexpr std::uint32_t kVolumeSectors = 64;
constexpr int kSystemDrive = 3;  // the example camera's
constexpr std::uint32_t kStateWord = 1;

std::vector<std::uint8_t> SectorBytes(std::uint8_t fill) { return std::vector<std::uint8_t>(kSectorSize, fill); }

// Every sector of the volume holds bytes of its own absolute number.
std::vector<std::uint8_t> SectorPattern(std::uint64_t absolute) {
    return testsupport::Pattern(kSectorSize, static_cast<unsigned>(absolute));
}

std::vector<std::uint8_t> Slice(const std::vector<std::uint8_t>& bytes, std::size_t offset, std::size_t length) {
    return std::vector<std::uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                                     bytes.begin() + static_cast<std::ptrdiff_t>(offset + length));
}

std::string Text(const std::vector<std::uint8_t>& bytes, std::size_t offset, std::size_t length) {
    return std::string(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                       bytes.begin() + static_cast<std::ptrdiff_t>(offset + length));
}

const IdentityRandom kRandom = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                                0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xF0, 0x0F};

class SectorToolsTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_path_ = MediaDevicePath;
        saved_start_ = MediaStartSector;
        MediaDevicePath.clear();
        MediaStartSector.clear();
        dir_ = testsupport::ScratchDir();
        image_ = dir_ + "/system.img";
        MakeDisk((std::uint64_t{camera::kHiddenVolumeStartSector} + kVolumeSectors) * kSectorSize);
    }
    void TearDown() override {
        camera_.reset();
        MediaDevicePath = saved_path_;
        MediaStartSector = saved_start_;
    }

    void MakeDisk(std::uint64_t bytes) {
        testsupport::MakeEmptyImage(image_, bytes);
        std::vector<std::uint8_t> state = SectorBytes(0);
        state[0] = kStateWord;
        if (bytes > std::uint64_t{camera::kStateWordSector} * kSectorSize)
            WriteSector(image_, camera::kStateWordSector, state);
        for (std::uint64_t s = camera::kHiddenVolumeStartSector; (s + 1) * kSectorSize <= bytes; ++s)
            WriteSector(image_, s, SectorPattern(s));
    }

    void InstallCamera(json manifest = testsupport::ExampleCameraManifest()) {
        camera_.reset();
        camera_ = testsupport::InstallCamera(dir_, manifest);
    }

    // As the developer window finds the camera: discovery points the media
    // callbacks at its system disk. Nothing mounts here, so the engine's
    // line about it is not shown.
    DeviceRecord Discover() {
        DeviceRecord record;
        ::testing::internal::CaptureStdout();
        DetectDevice(record, nullptr);
        ::testing::internal::GetCapturedStdout();
        return record;
    }

    std::string dir_, image_;
    std::unique_ptr<testsupport::ScopedPlatform> camera_;

private:
    std::string saved_path_, saved_start_;
};

// --- Read -----------------------------------------------------------------

struct ReadCase {
    const char* name;
    bool discovered;          // discovery ran before the read
    const char* sector_text;  // as the Read Sector field holds it
    std::uint32_t count;
    bool reads;
    std::uint32_t absolute_first;
};

const ReadCase kReadCases[] = {
    {"before_discovery", false, "0", 1, false, 0},
    {"two_sectors_at_hex_10", true, "0x10", 2, true, 0x40010},
    {"ten_without_prefix_is_decimal", true, "10", 1, true, 0x4000A},
    {"last_sector_of_the_disk", true, "63", 1, true, 0x4003F},
};

class ReadCaseTest : public SectorToolsTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ReadCaseTest, ReadsTheVolumesSectors) {
    const ReadCase& c = GetParam();
    InstallCamera();
    if (c.discovered) Discover();
    std::vector<std::uint8_t> bytes;
    ASSERT_EQ(ReadVolumeSectors(ParseSectorNumber(c.sector_text), c.count, &bytes), c.reads);
    if (!c.reads) return;
    ASSERT_EQ(bytes.size(), c.count * kSectorSize);
    for (std::uint32_t i = 0; i < c.count; ++i)
        EXPECT_EQ(Slice(bytes, i * kSectorSize, kSectorSize), SectorPattern(c.absolute_first + i)) << i;
}

INSTANTIATE_TEST_SUITE_P(Cases, ReadCaseTest, ::testing::ValuesIn(kReadCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SectorToolsTest, SectorsAvailableCountFromTheVolumeStart) {
    InstallCamera();
    std::uint64_t sectors = 0;
    EXPECT_FALSE(MediaSectorsAvailable(&sectors));  // nothing pointed at yet
    Discover();
    ASSERT_TRUE(MediaSectorsAvailable(&sectors));
    EXPECT_EQ(sectors, kVolumeSectors);
    MediaStartSector = "0x50000";  // beyond the disk's end
    ASSERT_TRUE(MediaSectorsAvailable(&sectors));
    EXPECT_EQ(sectors, 0u);
}

struct CountCase {
    const char* name;
    std::int64_t count;
    std::uint32_t first;
    const char* named;  // part of the refusal; null: the count may be read
};

const CountCase kCountCases[] = {
    {"zero", 0, 0, "0 sectors"},
    {"negative", -1, 0, "-1"},
    {"more_than_one_read_moves", 65537, 0, "65536"},
    {"runs_past_the_end", 5, 60, "64 sectors"},
    {"starts_at_the_end", 1, 64, "64 sectors"},
    {"first_past_the_end", 1, 0xFFFFFFFF, "64 sectors"},
    {"one", 1, 0, nullptr},
    {"the_whole_disk", 64, 0, nullptr},
    {"up_to_the_end", 4, 60, nullptr},
};

class CountCaseTest : public ::testing::TestWithParam<CountCase> {};

TEST_P(CountCaseTest, IsRefusedOnlyWhenItCannotBeRead) {
    const CountCase& c = GetParam();
    const std::string problem = ReadCountProblem(c.count, c.first, kVolumeSectors);
    if (!c.named) {
        EXPECT_EQ(problem, "");
        return;
    }
    EXPECT_NE(problem.find(c.named), std::string::npos) << problem;
}

INSTANTIATE_TEST_SUITE_P(Cases, CountCaseTest, ::testing::ValuesIn(kCountCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SectorToolsCount, TheLargestReadFitsALargeDisk) {
    EXPECT_EQ(ReadCountProblem(kMaxReadSectors, 0, 0x100000), "");
}

// The buffer is never sized from a count that was not checked.
TEST_F(SectorToolsTest, UncheckedCountsReadNothing) {
    InstallCamera();
    Discover();
    for (std::uint32_t count : {0u, kMaxReadSectors + 1, 0xFFFFFFFFu}) {
        std::vector<std::uint8_t> bytes;
        EXPECT_FALSE(ReadVolumeSectors(0, count, &bytes)) << count;
        EXPECT_TRUE(bytes.empty()) << count;
    }
}

struct DumpPathCase {
    const char* name;
    std::string path;
    bool fits;
};

TEST(SectorToolsDumpPath, FitsOnlyShortSingleBytePaths) {
    const DumpPathCase cases[] = {
        {"plain", "C:\\Quillon\\ReadFile.bin", true},
        {"255_bytes", std::string(255, 'a'), true},
        {"256_bytes", std::string(256, 'a'), false},
        {"beyond_single_bytes", "C:\\Caf\xC3\xA9\\ReadFile.bin", false},
    };
    for (const auto& c : cases) EXPECT_EQ(DumpPathFits(c.path), c.fits) << c.name;
}

TEST_F(SectorToolsTest, SaveBytesWritesTheWholeDump) {
    const std::vector<std::uint8_t> bytes = testsupport::Pattern(3 * kSectorSize);
    const std::string path = dir_ + "/ReadFile.bin";
    testsupport::WriteFileBytes(path, testsupport::Pattern(10 * kSectorSize, 2));  // truncated, not kept
    ASSERT_TRUE(SaveBytes(path, bytes));
    EXPECT_EQ(ReadFileBytes(path), bytes);
}

TEST_F(SectorToolsTest, SaveBytesFailsWhereNoFileCanBe) {
    const std::vector<std::uint8_t> bytes = SectorBytes(1);
    EXPECT_FALSE(SaveBytes(dir_ + "/missing/ReadFile.bin", bytes));
    EXPECT_FALSE(fs::exists(dir_ + "/missing"));
    EXPECT_FALSE(SaveBytes(dir_, bytes));  // a folder
    EXPECT_TRUE(fs::is_directory(dir_));
}

// A device that takes no write fails the save, and is not removed as a
// half-written file would be.
TEST_F(SectorToolsTest, SaveBytesLeavesADeviceItCouldNotWrite) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    EXPECT_FALSE(SaveBytes("/dev/full", SectorBytes(1)));
    EXPECT_TRUE(fs::exists("/dev/full"));
}

TEST_F(SectorToolsTest, DiskFileAtNamesTheImageAlsoThroughALink) {
    std::error_code error;
    fs::create_symlink(image_, dir_ + "/link.img", error);
    // Windows lets only privileged users (and Wine no one) make links.
    if (error) GTEST_SKIP() << "cannot make a symbolic link here: " << error.message();
    EXPECT_EQ(DiskFileAt(dir_ + "/link.img", {image_}), image_);
    EXPECT_EQ(DiskFileAt(image_, {dir_ + "/other.img", image_}), image_);
    EXPECT_EQ(DiskFileAt(dir_ + "/ReadFile.bin", {image_}), "");
}

// --- Write ----------------------------------------------------------------

struct TextCase {
    const char* name;
    std::string text;
    bool fits;
};

std::vector<std::uint8_t> ExpectedTextSector(const std::string& text) {
    std::vector<std::uint8_t> sector(text.begin(), text.end());
    sector.push_back(0);
    sector.resize(kSectorSize, 0xFF);
    return sector;
}

class TextCaseTest : public SectorToolsTest, public ::testing::WithParamInterface<TextCase> {};

TEST_P(TextCaseTest, WritesTextZeroAndFillOrRefuses) {
    const TextCase& c = GetParam();
    InstallCamera();
    Discover();
    Sector sector;
    sector.fill(0x5A);
    ASSERT_EQ(MakeTextSector(c.text, &sector), c.fits);
    if (!c.fits) return;
    const std::vector<std::uint8_t> expected = ExpectedTextSector(c.text);
    EXPECT_EQ(std::vector<std::uint8_t>(sector.begin(), sector.end()), expected);
    ASSERT_TRUE(WriteVolumeSector(3, sector));
    EXPECT_EQ(ReadSector(image_, 0x40003), expected);
    EXPECT_EQ(ReadSector(image_, 0x40004), SectorPattern(0x40004));
}

INSTANTIATE_TEST_SUITE_P(Cases, TextCaseTest,
                         ::testing::Values(TextCase{"abc", "abc", true}, TextCase{"empty", "", true},
                                           TextCase{"utf8_bytes_as_given", "gr\xC3\xBC\xC3\x9F", true},
                                           TextCase{"511_bytes", std::string(511, 'x'), true},
                                           TextCase{"512_bytes", std::string(512, 'x'), false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SectorToolsTest, AbcStartsWithItsBytesThenZeroThenFF) {
    Sector sector;
    ASSERT_TRUE(MakeTextSector("abc", &sector));
    EXPECT_EQ(sector[0], 0x61);
    EXPECT_EQ(sector[1], 0x62);
    EXPECT_EQ(sector[2], 0x63);
    EXPECT_EQ(sector[3], 0x00);
    for (std::size_t i = 4; i < kSectorSize; ++i) ASSERT_EQ(sector[i], 0xFF) << i;
}

struct RefusalCase {
    const char* name;
    bool discovered;
    const char* media_path;  // null: as discovery left it
    std::uint32_t sector;
    const char* named;  // part of the refusal; null: the write may go ahead
};

const RefusalCase kRefusalCases[] = {
    {"no_camera_found", false, nullptr, 0, "no camera was found"},
    {"callbacks_on_another_drive", true, "PHYSICALDRIVE0\\", 0, "PHYSICALDRIVE0"},
    {"sector_past_the_end", true, nullptr, kVolumeSectors, "past the end"},
    {"far_past_the_end", true, nullptr, 0xFFFFFFFF, "past the end"},
    {"first_sector", true, nullptr, 0, nullptr},
    {"last_sector", true, nullptr, kVolumeSectors - 1, nullptr},
    {"path_without_its_backslash", true, "PHYSICALDRIVE3", 0, nullptr},
};

class RefusalCaseTest : public SectorToolsTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusalCaseTest, WritesOnlyInsideTheSystemDisk) {
    const RefusalCase& c = GetParam();
    InstallCamera();
    const DeviceRecord record = c.discovered ? Discover() : DeviceRecord{};
    if (c.media_path) MediaDevicePath = c.media_path;
    const std::string refusal = WriteRefusal(record, c.sector);
    if (!c.named) {
        EXPECT_EQ(refusal, "");
        return;
    }
    EXPECT_NE(refusal.find(c.named), std::string::npos) << refusal;
}

INSTANTIATE_TEST_SUITE_P(Cases, RefusalCaseTest, ::testing::ValuesIn(kRefusalCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SectorToolsTest, ImageWritesStayBeforeItsEnd) {
    InstallCamera();
    MediaDevicePath = PhysicalDrivePath(kSystemDrive);
    MediaStartSector = camera::kHiddenVolumeStartText;
    EXPECT_EQ(WriteRefusalOnImage(kVolumeSectors - 1), "");
    EXPECT_NE(WriteRefusalOnImage(kVolumeSectors), "");
    MediaDevicePath = PhysicalDrivePath(7);  // opens nothing
    EXPECT_NE(WriteRefusalOnImage(0).find("cannot open"), std::string::npos);
}

// --- EID Readback -----------------------------------------------------------

TEST_F(SectorToolsTest, FindsTheSystemVolumeOfTheCamera) {
    InstallCamera();
    const std::vector<SystemVolume> found = FindSystemVolumes();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].drive_number, kSystemDrive);
    EXPECT_EQ(found[0].letter, 'F');
}

// Visited by drive, then by letter: a second camera's system volume on
// drive 1 behind letter H comes first.
TEST_F(SectorToolsTest, SystemVolumesInDriveThenLetterOrder) {
    json manifest = testsupport::ExampleCameraManifest();
    manifest["drives"].push_back(
        {{"letter", "H"}, {"device_number", 1}, {"type", "removable"}, {"label", camera::kSystemVolumeLabel}});
    manifest["drives"].push_back(
        {{"letter", "G"}, {"device_number", 3}, {"type", "fixed"}, {"label", camera::kSystemVolumeLabel}});
    manifest["physical_drives"].push_back({{"number", 1}, {"image", "system.img"}});
    InstallCamera(manifest);
    const std::vector<SystemVolume> found = FindSystemVolumes();
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].drive_number, 1);
    EXPECT_EQ(found[0].letter, 'H');
    EXPECT_EQ(found[1].drive_number, kSystemDrive);
    EXPECT_EQ(found[1].letter, 'F');
}

TEST_F(SectorToolsTest, NoCameraNoSystemVolume) {
    json manifest = testsupport::ExampleCameraManifest();
    InstallCamera(json::object());
    EXPECT_TRUE(FindSystemVolumes().empty());  // no physical drive opens
    manifest["drives"][1]["label"] = "qx system";
    InstallCamera(manifest);
    EXPECT_TRUE(FindSystemVolumes().empty());  // the label differs in case
}

TEST(SectorToolsCommand, TextRandomBytesThenZeros) {
    const Sector sector = MakeIdentityCommand(kSecondIdentityCommand, kRandom);
    EXPECT_EQ(std::string(sector.begin(), sector.begin() + 5), "84111");
    EXPECT_TRUE(std::equal(kRandom.begin(), kRandom.end(), sector.begin() + 5));
    for (std::size_t i = 21; i < kSectorSize; ++i) ASSERT_EQ(sector[i], 0) << i;
}

// The documented answer record of the simulated camera, checked byte by
// byte against the layout rather than against the code that builds it.
void ExpectSimulatedAnswer(const std::vector<std::uint8_t>& answer, const char* command) {
    ASSERT_EQ(answer.size(), kSectorSize);
    EXPECT_EQ(Text(answer, 0, 8), "SIMIDENT");
    EXPECT_EQ(answer[8], 1);
    EXPECT_EQ(answer[9], 0);
    EXPECT_EQ(Text(answer, 10, 5), command);
    EXPECT_EQ(answer[15], 0);
    EXPECT_TRUE(std::equal(kRandom.begin(), kRandom.end(), answer.begin() + 16));
    for (std::size_t i = 0; i < 16; ++i)
        EXPECT_EQ(answer[32 + i], static_cast<std::uint8_t>(kRandom[15 - i] ^ command[i % 5])) << i;
    EXPECT_EQ(Text(answer, 48, 16), std::string("SIMCAM-00001634") + '\0');
    for (std::size_t i = 64; i < kSectorSize; ++i) ASSERT_EQ(answer[i], 0) << i;
}

TEST_F(SectorToolsTest, IdentityFileHoldsCommandsAndAnswers) {
    InstallCamera();
    const std::string path = dir_ + "/EID_DATA.bin";
    const std::vector<std::uint8_t> state_sector = ReadSector(image_, camera::kStateWordSector);
    const IdentityFileOutcome outcome = SaveIdentityFile(kSystemDrive, kRandom, path);
    EXPECT_TRUE(outcome.file_created);
    EXPECT_TRUE(outcome.file_written);
    EXPECT_TRUE(outcome.readback.first_answer_whole);
    EXPECT_TRUE(outcome.readback.second_answer_whole);
    EXPECT_FALSE(outcome.readback.command_write_failed);
    EXPECT_EQ(outcome.readback.commands_written, 2);

    const std::vector<std::uint8_t> file = ReadFileBytes(path);
    ASSERT_EQ(file.size(), 3072u);
    EXPECT_EQ(Text(file, 0, 5), "84000");
    EXPECT_EQ(Text(file, 1536, 5), "84111");
    EXPECT_EQ(Slice(file, 5, 16), Slice(file, 1541, 16));
    EXPECT_TRUE(std::equal(kRandom.begin(), kRandom.end(), file.begin() + 5));
    ExpectSimulatedAnswer(Slice(file, 512, 512), "84000");
    EXPECT_EQ(Slice(file, 1024, 512), state_sector);
    ExpectSimulatedAnswer(Slice(file, 2048, 512), "84111");
    EXPECT_EQ(Slice(file, 2560, 512), state_sector);
    // The disk keeps the second command and its answer; the state word is untouched.
    EXPECT_EQ(ReadSector(image_, camera::kIdentityCommandSector), Slice(file, 1536, 512));
    EXPECT_EQ(ReadSector(image_, camera::kStateWordSector), state_sector);
}

TEST_F(SectorToolsTest, WithoutAnAnswerTheFileHoldsWhatTheDiskHeld) {
    json manifest = testsupport::ExampleCameraManifest();
    manifest["physical_drives"][0]["identity_answer"] = false;
    InstallCamera(manifest);
    const std::vector<std::uint8_t> held = SectorPattern(camera::kIdentityAnswerSector);
    WriteSector(image_, camera::kIdentityAnswerSector, held);
    const std::string path = dir_ + "/EID_DATA.bin";
    const IdentityFileOutcome outcome = SaveIdentityFile(kSystemDrive, kRandom, path);
    ASSERT_TRUE(outcome.file_written);
    const std::vector<std::uint8_t> file = ReadFileBytes(path);
    ASSERT_EQ(file.size(), 3072u);
    EXPECT_EQ(Slice(file, 512, 512), held);
    EXPECT_EQ(Slice(file, 2048, 512), held);
    EXPECT_EQ(ReadSector(image_, camera::kIdentityAnswerSector), held);
}

TEST_F(SectorToolsTest, AFileThatCannotBeCreatedSendsNothing) {
    InstallCamera();
    const IdentityFileOutcome outcome = SaveIdentityFile(kSystemDrive, kRandom, dir_ + "/missing/EID_DATA.bin");
    EXPECT_FALSE(outcome.file_created);
    EXPECT_FALSE(outcome.file_written);
    EXPECT_EQ(outcome.readback.commands_written, 0);
    EXPECT_EQ(ReadSector(image_, camera::kIdentityCommandSector), SectorBytes(0));
    EXPECT_EQ(ReadSector(image_, camera::kIdentityAnswerSector), SectorBytes(0));
}

// A disk that ends before the command sector takes no command: the
// readback stops at the first and says so; the file keeps that command
// with zeros where its answer would be.
TEST_F(SectorToolsTest, AFailedCommandWriteStopsAndIsReported) {
    MakeDisk(std::uint64_t{camera::kIdentityCommandSector} * kSectorSize);
    InstallCamera();
    const std::vector<std::uint8_t> answer_sector = SectorPattern(camera::kIdentityAnswerSector);
    WriteSector(image_, camera::kIdentityAnswerSector, answer_sector);
    const std::string path = dir_ + "/EID_DATA.bin";
    const IdentityFileOutcome outcome = SaveIdentityFile(kSystemDrive, kRandom, path);
    EXPECT_TRUE(outcome.readback.command_write_failed);
    EXPECT_EQ(outcome.readback.commands_written, 0);
    EXPECT_FALSE(outcome.readback.first_answer_whole);
    EXPECT_FALSE(outcome.readback.second_answer_whole);
    ASSERT_TRUE(outcome.file_written);
    const std::vector<std::uint8_t> file = ReadFileBytes(path);
    ASSERT_EQ(file.size(), 3072u);
    EXPECT_EQ(Text(file, 0, 5), "84000");
    EXPECT_EQ(Slice(file, 512, 2560), std::vector<std::uint8_t>(2560, 0));
}

// The answer sectors come back one short: a platform whose reads of them
// stop after the first sector.
class ShortAnswerPlatform : public platform::SimulatedPlatform {
public:
    std::unique_ptr<platform::Device> OpenDevice(const std::string& name, platform::DeviceAccess access) override {
        auto device = SimulatedPlatform::OpenDevice(name, access);
        if (!device || name.find("PHYSICALDRIVE") == std::string::npos) return device;
        return std::make_unique<ShortAnswerDevice>(std::move(device));
    }

private:
    class ShortAnswerDevice : public platform::Device {
    public:
        explicit ShortAnswerDevice(std::unique_ptr<platform::Device> inner) : inner_(std::move(inner)) {}
        bool Seek(std::uint64_t position) override {
            at_answer_ = position == std::uint64_t{camera::kIdentityAnswerSector} * kSectorSize;
            return inner_->Seek(position);
        }
        std::size_t Read(void* buffer, std::size_t length) override {
            return inner_->Read(buffer, at_answer_ ? std::min<std::size_t>(length, kSectorSize) : length);
        }
        std::size_t Write(const void* buffer, std::size_t length) override { return inner_->Write(buffer, length); }

    private:
        std::unique_ptr<platform::Device> inner_;
        bool at_answer_ = false;
    };
};

TEST_F(SectorToolsTest, ShortReadBacksAreReportedAndTheFileStillWhole) {
    auto simulated = std::make_unique<ShortAnswerPlatform>();
    std::string error;
    ASSERT_TRUE(platform::SimulatedPlatform::LoadManifestInto(
        testsupport::WriteManifest(dir_, testsupport::ExampleCameraManifest()), *simulated, &error))
        << error;
    camera_ = std::make_unique<testsupport::ScopedPlatform>(std::move(simulated));
    const std::string path = dir_ + "/EID_DATA.bin";
    const IdentityFileOutcome outcome = SaveIdentityFile(kSystemDrive, kRandom, path);
    EXPECT_FALSE(outcome.readback.first_answer_whole);
    EXPECT_FALSE(outcome.readback.second_answer_whole);
    EXPECT_FALSE(outcome.readback.command_write_failed);
    EXPECT_EQ(outcome.readback.commands_written, 2);
    ASSERT_TRUE(outcome.file_written);
    const std::vector<std::uint8_t> file = ReadFileBytes(path);
    ASSERT_EQ(file.size(), 3072u);
    ExpectSimulatedAnswer(Slice(file, 2048, 512), "84111");  // the sector that came back
}

}  // namespace
