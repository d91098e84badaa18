#include "device/platform/sim/sim_platform.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "device/physical_drive_name.h"

namespace platform {
namespace {

class FileDevice : public Device {
public:
    explicit FileDevice(int fd) : fd_(fd) {}
    ~FileDevice() override { ::close(fd_); }

    bool Seek(std::uint64_t byte_position) override {
        if (byte_position > static_cast<std::uint64_t>(INT64_MAX)) return false;
        position_ = byte_position;
        return true;
    }

    std::size_t Read(void* buffer, std::size_t length) override {
        return Transfer(length, [&](std::size_t done) {
            return ::pread(fd_, static_cast<char*>(buffer) + done, length - done,
                           static_cast<off_t>(position_ + done));
        });
    }

    std::size_t Write(const void* buffer, std::size_t length) override {
        return Transfer(length, [&](std::size_t done) {
            return ::pwrite(fd_, static_cast<const char*>(buffer) + done, length - done,
                            static_cast<off_t>(position_ + done));
        });
    }

private:
    // Loops over partial transfers so a short count means end of file or error.
    template <typename Step>
    std::size_t Transfer(std::size_t length, Step step) {
        std::size_t done = 0;
        while (done < length) {
            ssize_t moved = step(done);
            if (moved < 0 && errno == EINTR) continue;
            if (moved <= 0) break;
            done += static_cast<std::size_t>(moved);
        }
        position_ += done;
        return done;
    }

    int fd_;
    std::uint64_t position_ = 0;
};

}  // namespace

std::unique_ptr<Device> OpenFileDevice(const std::string& path, DeviceAccess access) {
    int flags = (access == DeviceAccess::ReadWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC;
    int fd = ::open(path.c_str(), flags);
    if (fd < 0) return nullptr;
    return std::make_unique<FileDevice>(fd);
}

void SimulatedPlatform::MapPhysicalDrive(int number, const std::string& image_path) {
    images_[PhysicalDriveName(number)] = image_path;
}

void SimulatedPlatform::MapDeviceName(const std::string& device_name, const std::string& image_path) {
    images_[device_name] = image_path;
}

std::unique_ptr<Device> SimulatedPlatform::OpenDevice(const std::string& name, DeviceAccess access) {
    auto it = images_.find(name);
    if (it == images_.end()) return nullptr;
    return OpenFileDevice(it->second, access);
}

bool SimulatedPlatform::DeviceNumber(const std::string&, std::uint32_t*) { return false; }
DriveType SimulatedPlatform::GetDriveType(const std::string&) { return DriveType::Unknown; }
bool SimulatedPlatform::VolumeLabel(const std::string&, std::string*) { return false; }
bool SimulatedPlatform::TotalBytes(const std::string&, std::uint64_t*) { return false; }
bool SimulatedPlatform::FreeSpace(const std::string&, DiskFreeSpace*) { return false; }
std::vector<DeviceInterface> SimulatedPlatform::Interfaces(InterfaceClass) { return {}; }
bool SimulatedPlatform::ControlVolume(const std::string&, VolumeControl) { return false; }
std::unique_ptr<Device> SimulatedPlatform::OpenFile(const std::string&, FileMode) { return nullptr; }
bool SimulatedPlatform::IsAdministrator() { return true; }
void SimulatedPlatform::Pause(unsigned) {}

}  // namespace platform
