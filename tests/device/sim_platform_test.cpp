// The simulated camera: manifest loading, its queries, drive-root files,
// volume control attempts and pauses.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "device/platform/sim/sim_platform.h"
#include "support/camera_fixture.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using platform::DeviceAccess;
using platform::DriveType;
using platform::FileMode;
using platform::SimulatedPlatform;
using platform::VolumeControl;

std::unique_ptr<SimulatedPlatform> LoadText(const std::string& dir, const std::string& text, std::string* error) {
    const std::string path = dir + "/camera.json";
    std::ofstream(path, std::ios::binary) << text;
    return SimulatedPlatform::LoadManifest(path, error);
}

std::unique_ptr<SimulatedPlatform> Load(const std::string& dir, const json& manifest) {
    std::string error;
    auto loaded = SimulatedPlatform::LoadManifest(testsupport::WriteManifest(dir, manifest), &error);
    EXPECT_TRUE(loaded) << error;
    return loaded;
}

struct ManifestErrorCase {
    const char* name;
    const char* text;
    const char* expected;  // part of the message besides the file name
};

const ManifestErrorCase kManifestErrors[] = {
    {"bad_json", R"({"drives": [)", "not valid JSON"},
    {"not_an_object", R"([1, 2])", "must be a JSON object"},
    {"drives_not_a_list", R"({"drives": {"letter": "E"}})", "drives: must be a list"},
    {"missing_letter", R"({"drives": [{"type": "removable"}]})", "drives[0].letter: missing"},
    {"letter_too_long", R"({"drives": [{"letter": "EF"}]})", "drives[0].letter"},
    {"letter_not_a_letter", R"({"drives": [{"letter": "3"}]})", "drives[0].letter"},
    {"letter_twice", R"({"drives": [{"letter": "E"}, {"letter": "e"}]})", "drives[1].letter: drive E is listed twice"},
    {"bad_type", R"({"drives": [{"letter": "E", "type": "floppy"}]})", "drives[0].type: \"floppy\""},
    {"negative_device_number", R"({"drives": [{"letter": "E", "device_number": -1}]})", "drives[0].device_number"},
    {"fractional_size", R"({"drives": [{"letter": "E", "total_bytes": 1.5}]})", "drives[0].total_bytes"},
    {"admin_not_boolean", R"({"admin": "yes"})", "admin: must be true or false"},
    {"eject_not_an_object", R"({"drives": [{"letter": "E", "eject": 3}]})", "drives[0].eject: must be an object"},
    {"eject_count_text", R"({"drives": [{"letter": "E", "eject": {"lock_failures": "2"}}]})",
     "drives[0].eject.lock_failures"},
    {"missing_interface_path", R"({"interfaces": [{"class": "disk", "device_number": 2}]})",
     "interfaces[0].path: missing"},
    {"bad_interface_class", R"({"interfaces": [{"class": "usb", "path": "x"}]})", "interfaces[0].class"},
    {"missing_drive_number", R"({"physical_drives": [{"image": "system.img"}]})", "physical_drives[0].number: missing"},
    {"drive_number_twice", R"({"physical_drives": [{"number": 1, "image": "a"}, {"number": 1, "image": "b"}]})",
     "physical_drives[1].number"},
};

class ManifestErrorTest : public ::testing::TestWithParam<ManifestErrorCase> {};

TEST_P(ManifestErrorTest, NamesTheFileAndTheKey) {
    const std::string dir = testsupport::ScratchDir();
    std::string error;
    EXPECT_EQ(LoadText(dir, GetParam().text, &error), nullptr);
    EXPECT_NE(error.find(dir + "/camera.json: "), std::string::npos) << error;
    EXPECT_NE(error.find(GetParam().expected), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(Cases, ManifestErrorTest, ::testing::ValuesIn(kManifestErrors),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SimulatedPlatformTest, MissingManifestIsAnError) {
    std::string error;
    const std::string path = testsupport::ScratchDir() + "/none.json";
    EXPECT_EQ(SimulatedPlatform::LoadManifest(path, &error), nullptr);
    EXPECT_NE(error.find(path), std::string::npos) << error;
}

TEST(SimulatedPlatformTest, ExampleManifestAnswersEveryQuery) {
    const std::string dir = testsupport::ScratchDir();
    testsupport::MakeEmptyImage(dir + "/system.img", 4096);
    auto camera = Load(dir, testsupport::ExampleCameraManifest());
    ASSERT_TRUE(camera);

    std::uint32_t number = 0;
    EXPECT_TRUE(camera->DeviceNumber("\\\\.\\E:", &number));
    EXPECT_EQ(number, 2u);
    EXPECT_TRUE(camera->DeviceNumber("\\\\.\\f:", &number));
    EXPECT_EQ(number, 3u);
    EXPECT_FALSE(camera->DeviceNumber("\\\\.\\G:", &number));
    EXPECT_EQ(camera->GetDriveType("E:\\"), DriveType::Removable);
    EXPECT_EQ(camera->GetDriveType("G:\\"), DriveType::Unknown);

    std::string label;
    EXPECT_TRUE(camera->VolumeLabel("F:\\", &label));
    EXPECT_EQ(label, "QX SYSTEM");
    std::uint64_t total = 0;
    EXPECT_TRUE(camera->TotalBytes("E:\\", &total));
    EXPECT_EQ(total, 198500000u);
    platform::DiskFreeSpace space{};
    ASSERT_TRUE(camera->FreeSpace("E:\\", &space));
    EXPECT_EQ(space.sectors_per_cluster * space.bytes_per_sector * space.free_clusters, 150000000u);
    // F has neither free_bytes nor a root folder to measure.
    EXPECT_FALSE(camera->FreeSpace("F:\\", &space));

    const auto disks = camera->Interfaces(platform::InterfaceClass::Disk);
    ASSERT_EQ(disks.size(), 2u);
    EXPECT_EQ(disks[1].parent_instance, "USB\\VID_E4D2&PID_3A17\\1634");
    EXPECT_TRUE(camera->OpenDevice(disks[0].path, DeviceAccess::Query));
    EXPECT_TRUE(camera->DeviceNumber(disks[0].path, &number));
    EXPECT_EQ(number, 2u);
    EXPECT_TRUE(camera->Interfaces(platform::InterfaceClass::CdRom).empty());

    EXPECT_TRUE(camera->IsAdministrator());
    // The image path counts from the manifest's folder.
    EXPECT_TRUE(camera->OpenDevice("\\\\.\\PHYSICALDRIVE3", DeviceAccess::ReadWrite));
    EXPECT_FALSE(camera->OpenDevice("\\\\.\\PHYSICALDRIVE2", DeviceAccess::Read));
    EXPECT_EQ(camera->PhysicalDriveNumbers(), std::vector<int>{3});
}

TEST(SimulatedPlatformTest, LeftOutKeysTakeTheirDefaults) {
    const std::string dir = testsupport::ScratchDir();
    auto camera = Load(dir, json::parse(R"({"admin": false, "drives": [{"letter": "g"}],
        "interfaces": [{"path": "disk-g"}], "physical_drives": [{"number": 5}]})"));
    ASSERT_TRUE(camera);
    EXPECT_FALSE(camera->IsAdministrator());
    EXPECT_TRUE(camera->OpenDevice("\\\\.\\G:", DeviceAccess::Query));
    std::uint32_t number = 0;
    EXPECT_FALSE(camera->DeviceNumber("\\\\.\\G:", &number));
    EXPECT_EQ(camera->GetDriveType("G:\\"), DriveType::Unknown);
    std::string label;
    EXPECT_FALSE(camera->VolumeLabel("G:\\", &label));
    std::uint64_t total = 0;
    EXPECT_FALSE(camera->TotalBytes("G:\\", &total));
    EXPECT_FALSE(camera->OpenFile("G:\\APP_DATA.BIN", FileMode::CreateTruncate));
    ASSERT_EQ(camera->Interfaces(platform::InterfaceClass::Disk).size(), 1u);
    EXPECT_EQ(camera->Interfaces(platform::InterfaceClass::Disk)[0].parent_instance, "");
    EXPECT_FALSE(camera->DeviceNumber("disk-g", &number));
    // Listed without an image: it does not open.
    EXPECT_FALSE(camera->OpenDevice("\\\\.\\PHYSICALDRIVE5", DeviceAccess::Read));
}

TEST(SimulatedPlatformTest, VolumeThatDoesNotOpenAnswersNoDeviceNumber) {
    const std::string dir = testsupport::ScratchDir();
    auto camera = Load(dir, json::parse(R"({"drives": [{"letter": "E", "opens": false, "device_number": 2}]})"));
    ASSERT_TRUE(camera);
    EXPECT_FALSE(camera->OpenDevice("\\\\.\\E:", DeviceAccess::Query));
    std::uint32_t number = 0;
    EXPECT_FALSE(camera->DeviceNumber("\\\\.\\E:", &number));
}

TEST(SimulatedPlatformTest, FreeSpaceWithoutFreeBytesMeasuresTheRootFolder) {
    const std::string dir = testsupport::ScratchDir();
    fs::create_directories(dir + "/user");
    auto camera = Load(dir, json::parse(R"({"drives": [{"letter": "E", "root": "user"},
                                                       {"letter": "H", "root": "gone"}]})"));
    ASSERT_TRUE(camera);
    platform::DiskFreeSpace space{};
    ASSERT_TRUE(camera->FreeSpace("E:\\", &space));
    EXPECT_GT(space.sectors_per_cluster * space.bytes_per_sector * space.free_clusters, 0u);
    EXPECT_FALSE(camera->FreeSpace("H:\\", &space));
}

TEST(SimulatedPlatformTest, DriveRootFilesLiveInTheRootFolder) {
    const std::string dir = testsupport::ScratchDir();
    fs::create_directories(dir + "/user/DCIM");
    auto camera = Load(dir, testsupport::ExampleCameraManifest());
    ASSERT_TRUE(camera);

    auto created = camera->OpenFile("E:\\APP_DATA.BIN", FileMode::CreateTruncate);
    ASSERT_TRUE(created);
    EXPECT_EQ(created->Write("update", 6), 6u);
    EXPECT_TRUE(created->Flush());
    EXPECT_EQ(created->Size(), 6);
    created.reset();
    EXPECT_EQ(testsupport::ReadFileBytes(dir + "/user/APP_DATA.BIN").size(), 6u);

    auto nested = camera->OpenFile("e:/DCIM/./note.txt", FileMode::CreateTruncate);
    ASSERT_TRUE(nested);
    nested.reset();
    EXPECT_TRUE(fs::exists(dir + "/user/DCIM/note.txt"));

    auto read = camera->OpenFile("E:\\APP_DATA.BIN", FileMode::ReadExisting);
    ASSERT_TRUE(read);
    char bytes[6] = {};
    EXPECT_EQ(read->Read(bytes, sizeof bytes), 6u);
    EXPECT_EQ(std::string(bytes, 6), "update");
    EXPECT_EQ(read->Write("x", 1), 0u);  // opened for reading only

    // A local path opens as itself.
    EXPECT_TRUE(camera->OpenFile(dir + "/user/APP_DATA.BIN", FileMode::ReadExisting));
}

TEST(SimulatedPlatformTest, DriveRootPathsNeverLeaveTheRootFolder) {
    const std::string dir = testsupport::ScratchDir();
    fs::create_directories(dir + "/user");
    std::ofstream(dir + "/outside.txt") << "secret";
    auto camera = Load(dir, testsupport::ExampleCameraManifest());
    ASSERT_TRUE(camera);
    for (const char* path : {"E:\\..\\outside.txt", "E:/../outside.txt", "E:\\DCIM\\..\\..\\outside.txt", "E:\\",
                             "E:", "F:\\APP_DATA.BIN", "Q:\\APP_DATA.BIN"}) {
        EXPECT_FALSE(camera->OpenFile(path, FileMode::ReadExisting)) << path;
        EXPECT_FALSE(camera->OpenFile(path, FileMode::CreateTruncate)) << path;
    }
    EXPECT_EQ(testsupport::ReadFileBytes(dir + "/outside.txt").size(), 6u);
    EXPECT_FALSE(fs::exists(dir + "/APP_DATA.BIN"));
}

TEST(SimulatedPlatformTest, ControlRequestsFailTheGivenNumberOfTimes) {
    const std::string dir = testsupport::ScratchDir();
    auto camera = Load(dir, json::parse(R"({"drives": [{"letter": "E", "eject":
        {"lock_failures": 2, "dismount_failures": 11, "eject_failures": 0}}]})"));
    ASSERT_TRUE(camera);
    const std::string volume = "\\\\.\\E:";
    EXPECT_FALSE(camera->ControlVolume(volume, VolumeControl::Lock));
    EXPECT_FALSE(camera->ControlVolume(volume, VolumeControl::Lock));
    EXPECT_TRUE(camera->ControlVolume(volume, VolumeControl::Lock));
    EXPECT_TRUE(camera->ControlVolume(volume, VolumeControl::Lock));
    for (int attempt = 0; attempt < 30; ++attempt) EXPECT_FALSE(camera->ControlVolume(volume, VolumeControl::Dismount));
    EXPECT_TRUE(camera->ControlVolume(volume, VolumeControl::Eject));
    EXPECT_FALSE(camera->ControlVolume("\\\\.\\G:", VolumeControl::Eject));
}

TEST(SimulatedPlatformTest, EjectOpenFailureLeavesQueriesWorking) {
    const std::string dir = testsupport::ScratchDir();
    auto camera = Load(dir, json::parse(R"({"drives": [{"letter": "E", "eject": {"open_fails": true}}]})"));
    ASSERT_TRUE(camera);
    EXPECT_TRUE(camera->OpenDevice("\\\\.\\E:", DeviceAccess::Query));
    EXPECT_FALSE(camera->OpenDevice("\\\\.\\E:", DeviceAccess::Read));
}

TEST(SimulatedPlatformTest, PausesAreRecordedNotSlept) {
    SimulatedPlatform camera;
    for (int i = 0; i < 30; ++i) camera.Pause(1000);
    EXPECT_EQ(camera.PauseCount(), 30u);
    EXPECT_EQ(camera.PausedMilliseconds(), 30000u);
}

}  // namespace
