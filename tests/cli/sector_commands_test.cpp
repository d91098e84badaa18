// quillon-cli read, write and eid on a camera made by make-camera, and on
// a plain image.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "device/camera_layout.h"
#include "support/test_support.h"

using namespace testsupport;

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t kVolumeStart = camera::kHiddenVolumeStartSector;
// make-camera's FAT16 hidden volume: 64 MiB.
constexpr std::uint64_t kVolumeSectors = 64ull * 1024 * 1024 / 512;

struct Camera {
    std::string dir;
    std::string manifest;
    std::string image;
};

Camera MakeCamera() {
    Camera camera;
    camera.dir = ScratchDir();
    const RunResult made = Cli("make-camera " + Quote(camera.dir + "/cam"));
    EXPECT_EQ(made.exit_code, 0) << made.err;
    camera.manifest = camera.dir + "/cam/camera.json";
    camera.image = camera.dir + "/cam/system.img";
    return camera;
}

// Runs the tool in a folder of its own, where the default files land.
RunResult CliIn(const std::string& folder, const std::string& arguments) {
    return Run("cd " + Quote(folder) + " && " + Quote(QUILLON_CLI_PATH) + " " + arguments);
}

RunResult OnCamera(const Camera& camera, const std::string& arguments) {
    return CliIn(camera.dir, "--camera " + Quote(camera.manifest) + " " + arguments);
}

Bytes SectorsOf(const std::string& image, std::uint64_t first, std::uint64_t count) {
    Bytes bytes;
    for (std::uint64_t i = 0; i < count; ++i) {
        const Bytes sector = ReadSector(image, first + i);
        bytes.insert(bytes.end(), sector.begin(), sector.end());
    }
    return bytes;
}

Bytes TextSector(const std::string& text) {
    Bytes sector(text.begin(), text.end());
    sector.push_back(0);
    sector.resize(512, 0xFF);
    return sector;
}

TEST(SectorCommands, ReadSavesTheSectorsIntoReadFileBin) {
    const Camera camera = MakeCamera();
    const RunResult r = OnCamera(camera, "read 0 --count 4");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("Read Completed"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("0x40000"), std::string::npos) << r.out;
    const Bytes dump = ReadFileBytes(camera.dir + "/ReadFile.bin");
    EXPECT_EQ(dump.size(), 4u * 512);
    EXPECT_EQ(dump, SectorsOf(camera.image, kVolumeStart, 4));
}

TEST(SectorCommands, ReadToStandardOutputPrintsOnlyTheBytes) {
    const Camera camera = MakeCamera();
    const RunResult r = OnCamera(camera, "read 0 --out -");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(Bytes(r.out.begin(), r.out.end()), ReadSector(camera.image, kVolumeStart));
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(fs::exists(camera.dir + "/ReadFile.bin"));
}

TEST(SectorCommands, ReadJsonNamesWhatWasRead) {
    const Camera camera = MakeCamera();
    const RunResult r = OnCamera(camera, "--json read 0x10 --count 2 --out dump.bin");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const nlohmann::json expected = {{"sector", 0x10},  {"absolute_sector", 0x40010},  {"count", 2},
                                     {"bytes", 1024},   {"out", "dump.bin"},          {"status", "Read Completed"}};
    EXPECT_EQ(nlohmann::json::parse(r.out), expected);
    EXPECT_EQ(ReadFileBytes(camera.dir + "/dump.bin"), SectorsOf(camera.image, 0x40010, 2));
}

TEST(SectorCommands, WriteFillsOneSectorOfTheSystemDisk) {
    const Camera camera = MakeCamera();
    const Bytes before = ReadSector(camera.image, 0x41001);
    const RunResult r = OnCamera(camera, "write 0x1000 hello");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("Write Completed"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("0x41000"), std::string::npos) << r.out;
    EXPECT_EQ(ReadSector(camera.image, 0x41000), TextSector("hello"));
    EXPECT_EQ(ReadSector(camera.image, 0x41001), before);
}

TEST(SectorCommands, WriteJsonNamesWhereItWrote) {
    const Camera camera = MakeCamera();
    const RunResult r = OnCamera(camera, "--json write 7 abc");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const nlohmann::json json = nlohmann::json::parse(r.out);
    EXPECT_EQ(json["sector"], 7);
    EXPECT_EQ(json["absolute_sector"], 0x40007);
    EXPECT_EQ(json["device"], "\\\\.\\PHYSICALDRIVE3");
    EXPECT_EQ(json["text_bytes"], 3);
    EXPECT_EQ(json["status"], "Write Completed");
    EXPECT_EQ(ReadSector(camera.image, 0x40007), TextSector("abc"));
}

TEST(SectorCommands, WriteOnAnImageStaysInsideIt) {
    const std::string dir = ScratchDir();
    const std::string image = dir + "/disk.img";
    MakeEmptyImage(image, 16 * 512);
    const RunResult r = Cli("--image " + Quote(image) + " --start 2 write 5 hi");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(ReadSector(image, 7), TextSector("hi"));
    const RunResult past = Cli("--image " + Quote(image) + " --start 2 write 14 hi");
    EXPECT_EQ(past.exit_code, 1);
    EXPECT_NE(past.err.find("past the end"), std::string::npos) << past.err;
    EXPECT_EQ(fs::file_size(image), 16u * 512);
}

TEST(SectorCommands, EidSavesTheIdentityFile) {
    const Camera camera = MakeCamera();
    const RunResult r = OnCamera(camera, "eid");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("EID_DATA.bin"), std::string::npos) << r.out;
    const Bytes file = ReadFileBytes(camera.dir + "/EID_DATA.bin");
    ASSERT_EQ(file.size(), 3072u);
    EXPECT_EQ(std::string(file.begin(), file.begin() + 5), "84000");
    EXPECT_EQ(std::string(file.begin() + 1536, file.begin() + 1541), "84111");
    EXPECT_TRUE(std::equal(file.begin() + 5, file.begin() + 21, file.begin() + 1541));
    EXPECT_EQ(std::string(file.begin() + 512, file.begin() + 520), "SIMIDENT");
    // The answer sector and the state word sector after it, as the disk holds them.
    EXPECT_EQ(Bytes(file.begin() + 2048, file.end()), SectorsOf(camera.image, camera::kIdentityAnswerSector, 2));
}

TEST(SectorCommands, EidJsonNamesFileAndOutcome) {
    const Camera camera = MakeCamera();
    const RunResult r = OnCamera(camera, "--json eid --out id.bin");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const nlohmann::json json = nlohmann::json::parse(r.out);
    EXPECT_EQ(json["ok"], true);
    ASSERT_EQ(json["files"].size(), 1u);
    const nlohmann::json& file = json["files"][0];
    EXPECT_EQ(file["file"], "id.bin");
    EXPECT_EQ(file["letter"], "F");
    EXPECT_EQ(file["physical_drive_number"], 3);
    EXPECT_EQ(file["commands_sent"], 2);
    EXPECT_EQ(file["first_answer_whole"], true);
    EXPECT_EQ(file["second_answer_whole"], true);
    EXPECT_EQ(file["bytes"], 3072);
    EXPECT_EQ(file["problems"], nlohmann::json::array());
    EXPECT_EQ(fs::file_size(camera.dir + "/id.bin"), 3072u);
}

TEST(SectorCommands, EidWithAFileThatCannotBeCreatedSendsNothing) {
    const Camera camera = MakeCamera();
    const RunResult r = OnCamera(camera, "eid --out missing/EID_DATA.bin");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("cannot create missing/EID_DATA.bin"), std::string::npos) << r.err;
    EXPECT_EQ(ReadSector(camera.image, camera::kIdentityCommandSector), Bytes(512, 0));
}

TEST(SectorCommands, EidWithoutASystemVolumeSaysSo) {
    const Camera camera = MakeCamera();
    const Bytes text = ReadFileBytes(camera.manifest);
    nlohmann::json manifest = nlohmann::json::parse(std::string(text.begin(), text.end()));
    for (auto& drive : manifest["drives"]) drive["label"] = "OTHER";
    const std::string bytes = manifest.dump();
    WriteFileBytes(camera.manifest, Bytes(bytes.begin(), bytes.end()));
    const RunResult r = OnCamera(camera, "eid");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("QX SYSTEM cannot be found!"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(camera.dir + "/EID_DATA.bin"));
}

struct CommandCase {
    const char* name;
    const char* arguments;  // after --camera MANIFEST, or alone when it starts with '!'
    int exit_code;
    const char* said;  // part of standard error
};

const CommandCase kCommandCases[] = {
    {"read_without_sector", "read", 2, "one sector"},
    {"read_sector_not_a_number", "read abc", 2, "\"abc\""},
    {"read_sector_capital_x", "read 0X10", 2, "\"0X10\""},
    {"read_sector_beyond_32_bits", "read 0x100000000", 2, "0x100000000"},
    {"read_two_sectors", "read 1 2", 2, "one sector"},
    {"read_count_zero", "read 0 --count 0", 2, "0 sectors"},
    {"read_count_negative", "read 0 --count -1", 2, "--count"},
    {"read_count_not_a_number", "read 0 --count 2x", 2, "\"2x\""},
    {"read_count_too_large", "read 0 --count 65537", 2, "65536"},
    {"read_json_to_standard_output", "--json read 0 --out -", 2, "standard output"},
    {"read_past_the_end", "read 0x1FFFF --count 2", 1, "past the end"},
    {"read_from_the_end", "read 0x20000", 1, "past the end"},
    {"read_onto_the_disk_image", "read 0 --out cam/system.img", 1, "disk image"},
    {"read_file_not_created", "read 0 --out missing/ReadFile.bin", 1, "Read data problem"},
    {"read_without_a_volume", "!read 0", 1, "--image"},
    {"write_without_text", "write 0", 2, "a sector and a text"},
    {"write_sector_not_a_number", "write zz hi", 2, "\"zz\""},
    {"write_three_arguments", "write 0 a b", 2, "a sector and a text"},
    {"write_past_the_end", "write 0x20000 hi", 1, "past the end"},
    {"eid_without_camera", "!eid", 2, "--camera"},
    {"eid_with_an_argument", "eid now", 2, "no arguments"},
    {"eid_onto_the_disk_image", "eid --out cam/system.img", 1, "disk image"},
};

class SectorCommandCase : public ::testing::TestWithParam<CommandCase> {};

TEST_P(SectorCommandCase, RefusesWithAClearMessage) {
    const CommandCase& c = GetParam();
    const Camera camera = MakeCamera();
    const Bytes image_start = ReadSector(camera.image, kVolumeStart);
    const std::string arguments = c.arguments;
    const RunResult r =
        arguments[0] == '!' ? CliIn(camera.dir, arguments.substr(1)) : OnCamera(camera, arguments);
    EXPECT_EQ(r.exit_code, c.exit_code) << r.out << r.err;
    EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    EXPECT_EQ(fs::file_size(camera.image), (kVolumeStart + kVolumeSectors) * 512);
    EXPECT_EQ(ReadSector(camera.image, kVolumeStart), image_start);
}

INSTANTIATE_TEST_SUITE_P(Cases, SectorCommandCase, ::testing::ValuesIn(kCommandCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SectorCommands, WriteRefusesATextLongerThan511Bytes) {
    const Camera camera = MakeCamera();
    const Bytes before = ReadSector(camera.image, kVolumeStart + 10);
    const RunResult fits = OnCamera(camera, "write 9 " + std::string(511, 'y'));
    ASSERT_EQ(fits.exit_code, 0) << fits.err;
    EXPECT_EQ(ReadSector(camera.image, kVolumeStart + 9), TextSector(std::string(511, 'y')));
    const RunResult r = OnCamera(camera, "write 10 " + std::string(512, 'y'));
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("512 bytes"), std::string::npos) << r.err;
    EXPECT_EQ(ReadSector(camera.image, kVolumeStart + 10), before);
}

}  // namespace
