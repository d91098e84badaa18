// Device discovery over simulated cameras: which volumes are the camera's,
// the device record, the state word and the hidden volume.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "device/discovery.h"
#include "device/sector_io.h"
#include "support/camera_fixture.h"
#include "support/test_support.h"

namespace {

using nlohmann::json;

constexpr std::uint32_t kStateWord = 1;
const std::string kParent = "USB\\VID_E4D2&PID_3A17\\1634";

// Most cameras here have no hidden volume; the engine's mount diagnostic
// would only clutter the output.
bool DetectQuietly(DeviceRecord& record, VolumeExplorer* explorer) {
    ::testing::internal::CaptureStdout();
    const bool mounted = DetectDevice(record, explorer);
    ::testing::internal::GetCapturedStdout();
    return mounted;
}

json& DriveOf(json& manifest, const std::string& letter) {
    for (json& drive : manifest["drives"])
        if (drive["letter"] == letter) return drive;
    throw std::runtime_error("no drive " + letter);
}

void RemoveDrive(json& manifest, const std::string& letter) {
    json& drives = manifest["drives"];
    for (std::size_t i = 0; i < drives.size(); ++i)
        if (drives[i]["letter"] == letter) drives.erase(i--);
}

// A second user volume on its own interface of the camera.
void AddUserVolume(json& manifest, const std::string& letter, std::uint32_t device_number) {
    manifest["drives"].push_back({{"letter", letter},
                                  {"device_number", device_number},
                                  {"type", "removable"},
                                  {"label", "CARD"},
                                  {"total_bytes", 198500000}});
    manifest["interfaces"].push_back(
        {{"device_number", device_number},
         {"path", "\\\\?\\usbstor#disk&ven_brenx&prod_fotobean&rev_2.10#1634&2#{53f56307}"},
         {"parent", kParent}});
}

struct DiscoveryCase {
    const char* name;
    std::function<void(json&)> change;
    const char* user_drive_root;
    const char* device_path;
    std::uint32_t state_word;
    const char* label_e;  // VolumeLabels entry of E
};

const DiscoveryCase kDiscoveryCases[] = {
    {"whole_camera", [](json&) {}, "E:\\", "PHYSICALDRIVE3\\", kStateWord, "CAMERA"},
    {"size_one_below_window", [](json& m) { DriveOf(m, "E")["total_bytes"] = 198491872; }, "", "PHYSICALDRIVE3\\",
     kStateWord, "CAMERA"},
    {"size_one_above_window", [](json& m) { DriveOf(m, "E")["total_bytes"] = 199491872; }, "", "PHYSICALDRIVE3\\",
     kStateWord, "CAMERA"},
    {"size_at_window_start", [](json& m) { DriveOf(m, "E")["total_bytes"] = 198491873; }, "E:\\",
     "PHYSICALDRIVE3\\", kStateWord, "CAMERA"},
    {"size_at_window_end", [](json& m) { DriveOf(m, "E")["total_bytes"] = 199491871; }, "E:\\", "PHYSICALDRIVE3\\",
     kStateWord, "CAMERA"},
    {"size_unknown", [](json& m) { DriveOf(m, "E").erase("total_bytes"); }, "", "PHYSICALDRIVE3\\", kStateWord,
     "CAMERA"},
    {"system_volume_of_any_size", [](json& m) { DriveOf(m, "F").erase("total_bytes"); }, "E:\\",
     "PHYSICALDRIVE3\\", kStateWord, "CAMERA"},
    {"interface_literal_at_position_zero",
     [](json& m) { m["interfaces"][0]["path"] = "usbstor#disk&ven_brenx&prod_fotobean&rev_2.10#1634&0"; }, "",
     "PHYSICALDRIVE3\\", kStateWord, "CAMERA"},
    {"parent_prefix_later",
     [](json& m) {
         for (json& device_interface : m["interfaces"]) device_interface["parent"] = "ROOT\\" + kParent;
     },
     "", "", 0xFFFF, "CAMERA"},
    {"parent_with_longer_instance", [](json& m) { m["interfaces"][0]["parent"] = kParent + "&9"; }, "E:\\",
     "PHYSICALDRIVE3\\", kStateWord, "CAMERA"},
    {"system_label_in_other_case", [](json& m) { DriveOf(m, "F")["label"] = "QX System"; }, "F:\\", "", 0xFFFF,
     "CAMERA"},
    {"two_user_volumes_later_wins", [](json& m) { AddUserVolume(m, "G", 4); }, "G:\\", "PHYSICALDRIVE3\\",
     kStateWord, "CAMERA"},
    {"no_user_volume", [](json& m) { RemoveDrive(m, "E"); }, "", "PHYSICALDRIVE3\\", kStateWord, ""},
    {"no_system_volume", [](json& m) { RemoveDrive(m, "F"); }, "E:\\", "", 0xFFFF, "CAMERA"},
    {"state_read_fails", [](json& m) { m.erase("physical_drives"); }, "E:\\", "PHYSICALDRIVE3\\", 0xAA, "CAMERA"},
    // Its disk cannot be found, so nothing ties it to the camera.
    {"system_volume_without_device_number", [](json& m) { DriveOf(m, "F").erase("device_number"); }, "E:\\", "",
     0xFFFF, "CAMERA"},
    {"user_volume_not_removable", [](json& m) { DriveOf(m, "E")["type"] = "fixed"; }, "", "PHYSICALDRIVE3\\",
     kStateWord, ""},
    {"user_volume_does_not_open", [](json& m) { DriveOf(m, "E")["opens"] = false; }, "", "PHYSICALDRIVE3\\",
     kStateWord, ""},
    {"user_volume_without_label", [](json& m) { DriveOf(m, "E").erase("label"); }, "E:\\", "PHYSICALDRIVE3\\",
     kStateWord, ""},
    {"interfaces_of_cdrom_class",
     [](json& m) {
         for (json& device_interface : m["interfaces"]) device_interface["class"] = "cdrom";
     },
     "", "", 0xFFFF, "CAMERA"},
    // A stick whose disk is not found must not pass for the camera because
    // the camera's volume was examined just before it.
    {"foreign_volume_after_camera",
     [](json& m) {
         m["drives"].push_back({{"letter", "G"}, {"type", "removable"}, {"label", "STICK"}, {"total_bytes", 198500000}});
     },
     "E:\\", "PHYSICALDRIVE3\\", kStateWord, "CAMERA"},
};

class DiscoveryTest : public ::testing::TestWithParam<DiscoveryCase> {};

TEST_P(DiscoveryTest, FillsTheRecord) {
    const DiscoveryCase& c = GetParam();
    const std::string dir = testsupport::ScratchDir();
    testsupport::MakeSystemImage(dir + "/system.img", kStateWord);
    json manifest = testsupport::ExampleCameraManifest();
    c.change(manifest);
    auto camera = testsupport::InstallCamera(dir, manifest);

    DeviceRecord record;
    DetectQuietly(record, nullptr);
    EXPECT_EQ(record.UserDriveRoot, c.user_drive_root);
    EXPECT_EQ(record.DevicePath, c.device_path);
    EXPECT_EQ(record.DeviceStateWord, c.state_word);
    EXPECT_EQ(record.VolumeLabels['E' - 'A'], c.label_e);
    if (!std::string(c.device_path).empty()) {
        EXPECT_EQ(MediaDevicePath, c.device_path);
        EXPECT_EQ(MediaStartSector, "0x40000");
        EXPECT_EQ(record.PhysicalDriveNumber, std::stoi(std::string(c.device_path).substr(13)));
    } else {
        EXPECT_EQ(record.PhysicalDriveNumber, 255);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, DiscoveryTest, ::testing::ValuesIn(kDiscoveryCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DiscoveryRecordTest, LabelsOfEveryRemovableVolumeAndNothingElse) {
    const std::string dir = testsupport::ScratchDir();
    testsupport::MakeSystemImage(dir + "/system.img", 0);
    json manifest = testsupport::ExampleCameraManifest();
    manifest["drives"].push_back({{"letter", "C"}, {"type", "fixed"}, {"label", "WINDOWS"}});
    manifest["drives"].push_back({{"letter", "A"}, {"type", "removable"}, {"label", "FLOPPY"}});
    manifest["drives"].push_back({{"letter", "Z"}, {"type", "removable"}, {"label", "LAST"}});
    auto camera = testsupport::InstallCamera(dir, manifest);

    DeviceRecord record;
    record.VolumeLabels['C' - 'A'] = "stale";
    record.UserDriveRoot = "Q:\\";  // discovery leaves emptying to its caller
    DetectQuietly(record, nullptr);
    EXPECT_EQ(record.VolumeLabels['A' - 'A'], "");
    EXPECT_EQ(record.VolumeLabels['C' - 'A'], "");
    EXPECT_EQ(record.VolumeLabels['F' - 'A'], "QX SYSTEM");
    EXPECT_EQ(record.VolumeLabels['Z' - 'A'], "LAST");
    EXPECT_EQ(record.UserDriveRoot, "E:\\");
    EXPECT_EQ(record.DeviceStateWord, 0u);
}

TEST(DiscoveryRecordTest, InterfaceAndParentOfTheLastRemovableVolume) {
    const std::string dir = testsupport::ScratchDir();
    testsupport::MakeSystemImage(dir + "/system.img", 0);
    const json manifest = testsupport::ExampleCameraManifest();
    auto camera = testsupport::InstallCamera(dir, manifest);
    DeviceRecord record;
    DetectQuietly(record, nullptr);
    EXPECT_EQ(record.DiskInterfacePath, manifest["interfaces"][1]["path"]);
    EXPECT_EQ(record.ParentDeviceId, kParent);
}

TEST(DiscoveryHelpersTest, FindDiskOfVolumeLeavesOutputsWhenNothingMatches) {
    const std::string dir = testsupport::ScratchDir();
    auto camera = testsupport::InstallCamera(dir, testsupport::ExampleCameraManifest());
    std::string path = "before", parent = "before";
    FindDiskOfVolume("G:\\", platform::DriveType::Removable, path, parent);
    FindDiskOfVolume("E:\\", platform::DriveType::Remote, path, parent);
    EXPECT_EQ(path, "before");
    EXPECT_EQ(parent, "before");
    FindDiskOfVolume("E:\\", platform::DriveType::Fixed, path, parent);
    EXPECT_NE(path.find("prod_fotobean"), std::string::npos);
    EXPECT_EQ(parent, kParent);
    EXPECT_EQ(IsVolumeOnDisk(3, "F:\\"), 1);
    EXPECT_EQ(IsVolumeOnDisk(3, "F:"), 1);
    EXPECT_EQ(IsVolumeOnDisk(2, "F:\\"), 0);
    EXPECT_EQ(IsVolumeOnDisk(2, "G:\\"), 0);
}

// The volume's device number query fails once: in the first pass, which
// collects the disk numbers, but not when its disk is looked up.
class FlakyDeviceNumberPlatform : public platform::SimulatedPlatform {
public:
    bool DeviceNumber(const std::string& name, std::uint32_t* number) override {
        if (name == "\\\\.\\F:" && !failed_once_) {
            failed_once_ = true;
            return false;
        }
        return SimulatedPlatform::DeviceNumber(name, number);
    }

private:
    bool failed_once_ = false;
};

TEST(DiscoveryRecordTest, SystemVolumeWithoutDiskNumberNamesDrive255) {
    const std::string dir = testsupport::ScratchDir();
    testsupport::MakeSystemImage(dir + "/system.img", 1);
    auto flaky = std::make_unique<FlakyDeviceNumberPlatform>();
    std::string error;
    ASSERT_TRUE(platform::SimulatedPlatform::LoadManifestInto(
        testsupport::WriteManifest(dir, testsupport::ExampleCameraManifest()), *flaky, &error))
        << error;
    testsupport::ScopedPlatform installed(std::move(flaky));
    DeviceRecord record;
    DetectQuietly(record, nullptr);
    EXPECT_EQ(record.DevicePath, "PHYSICALDRIVE255\\");
    EXPECT_EQ(record.PhysicalDriveNumber, 255);
    EXPECT_EQ(MediaDevicePath, "PHYSICALDRIVE255\\");
    EXPECT_EQ(record.DeviceStateWord, 0xAAu);
}

class RecordingExplorer : public VolumeExplorer {
public:
    void ClearVolumeView() override { ++clears; }
    void ShowVolumeListing(const FatEntryInfoList& entries) override {
        for (const auto& entry : entries) top_level.push_back(entry.name);
    }
    void ShowVolumeFolder(const std::string& name, const FatEntryInfoList& contents) override {
        std::string shown = name + ":";
        for (const auto& entry : contents) shown += std::string(" ") + entry.name;
        folders.push_back(shown);
    }
    int clears = 0;
    std::vector<std::string> top_level;
    std::vector<std::string> folders;
};

TEST(DiscoveryMountTest, MountsAndShowsTheHiddenVolume) {
    for (const char* mkfs : {"-F 16", "-F 32"}) {
        SCOPED_TRACE(mkfs);
        const std::string dir = testsupport::ScratchDir();
        const std::string image = dir + "/system.img";
        testsupport::MakeSystemImage(image, 2, 40 * 1024 * 1024, mkfs);
        const std::string volume = testsupport::Quote(image + "@@" + std::to_string(0x40000ull * 512));
        std::ofstream(dir + "/note.txt") << "note";
        for (const char* command : {"mmd -i %V ::/DCIM", "mmd -i %V ::/DCIM/100QX", "mmd -i %V ::/LOG",
                                    "mcopy -i %V %N ::/LOG/", "mcopy -i %V %N ::/"}) {
            std::string line = command;
            line.replace(line.find("%V"), 2, volume);
            if (line.find("%N") != std::string::npos) line.replace(line.find("%N"), 2, testsupport::Quote(dir + "/note.txt"));
            ASSERT_EQ(testsupport::Run(line).exit_code, 0) << line;
        }
        auto camera = testsupport::InstallCamera(dir, testsupport::ExampleCameraManifest());

        RecordingExplorer explorer;
        DeviceRecord record;
        EXPECT_TRUE(DetectDevice(record, &explorer));
        EXPECT_EQ(record.DeviceStateWord, 2u);
        EXPECT_EQ(explorer.clears, 1);
        EXPECT_EQ(explorer.top_level, (std::vector<std::string>{"dcim", "log", "note.txt"}));
        EXPECT_EQ(explorer.folders, (std::vector<std::string>{"dcim: . .. 100qx", "log: . .. note.txt"}));
    }
}

TEST(DiscoveryMountTest, SystemDiskWithoutVolumeIsNotMounted) {
    const std::string dir = testsupport::ScratchDir();
    testsupport::MakeSystemImage(dir + "/system.img", 1);
    auto camera = testsupport::InstallCamera(dir, testsupport::ExampleCameraManifest());
    RecordingExplorer explorer;
    DeviceRecord record;
    EXPECT_FALSE(DetectQuietly(record, &explorer));
    EXPECT_EQ(explorer.clears, 1);
    EXPECT_TRUE(explorer.top_level.empty());
    EXPECT_EQ(record.DeviceStateWord, 1u);
}

}  // namespace
