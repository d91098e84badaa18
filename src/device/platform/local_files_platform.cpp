#include <chrono>
#include <thread>

#include "device/platform/drive_path.h"
#include "device/platform/file_device.h"
#include "device/platform/platform.h"

namespace platform {
namespace {

class LocalFilesPlatform : public Platform {
public:
    std::unique_ptr<Device> OpenDevice(const std::string&, DeviceAccess) override { return nullptr; }
    bool DeviceNumber(const std::string&, std::uint32_t*) override { return false; }
    DriveType GetDriveType(const std::string&) override { return DriveType::Unknown; }
    bool VolumeLabel(const std::string&, std::string*) override { return false; }
    bool TotalBytes(const std::string&, std::uint64_t*) override { return false; }
    bool FreeSpace(const std::string&, DiskFreeSpace*) override { return false; }
    std::vector<DeviceInterface> Interfaces(InterfaceClass) override { return {}; }
    bool ControlVolume(const std::string&, VolumeControl) override { return false; }

    // A drive-root path must not fall through to a local file literally
    // named "E:\APP_DATA.BIN" in the working folder: there is no drive E.
    std::unique_ptr<Device> OpenFile(const std::string& path, FileMode mode) override {
        if (!MayNameLocalFile(path)) return nullptr;
        return OpenLocalFile(path, mode);
    }
    bool RemoveFile(const std::string& path) override { return MayNameLocalFile(path) && RemoveLocalFile(path); }
    bool ReplaceFile(const std::string& from, const std::string& to) override {
        return MayNameLocalFile(from) && MayNameLocalFile(to) && ReplaceLocalFile(from, to);
    }
    DeviceHoldResult HoldDevice(const std::string&) override { return {}; }

    // Without disks there is no raw access a missing right could stop; a
    // run then fails for the true reason, that no camera is found.
    bool IsAdministrator() override { return true; }

    void Pause(unsigned milliseconds) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    }
};

}  // namespace

std::unique_ptr<Platform> MakeLocalFilesPlatform() { return std::make_unique<LocalFilesPlatform>(); }

}  // namespace platform
