// The parts of the file devices that are the same on every system; the
// system's own calls are in file_device.cpp (POSIX) and
// file_device_windows.cpp.
#include "device/platform/file_device.h"
#include "device/platform/platform.h"

namespace platform {
namespace {

// Answers the drive queries of a path that holds no data.
class QueryDevice : public Device {
public:
    bool Seek(std::uint64_t) override { return true; }
    std::size_t Read(void*, std::size_t) override { return 0; }
    std::size_t Write(const void*, std::size_t) override { return 0; }
};

}  // namespace

std::unique_ptr<Device> MakeQueryDevice() { return std::make_unique<QueryDevice>(); }

std::unique_ptr<Device> OpenLocalFile(const std::string& path, FileMode mode) {
    switch (mode) {
        case FileMode::CreateTruncate: return CreateFileDevice(path);
        case FileMode::ReadUncached: return OpenUncachedFileDevice(path);
        case FileMode::ReadExisting: break;
    }
    return OpenFileDevice(path, DeviceAccess::Read);
}

}  // namespace platform
