// A platform that passes everything on to another one but can make device
// and file transfers fail, for the failures a simulated camera cannot show.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "device/platform/platform.h"

namespace testsupport {

struct Faults {
    std::atomic<bool> device_writes_fail{false};  // physical drives and volumes
    std::atomic<bool> file_writes_fail{false};
    std::atomic<bool> file_flush_fails{false};
    // Files take their writes but keep another last byte: only a check of
    // what reached the medium finds that.
    std::atomic<bool> file_corrupts{false};
    std::atomic<bool> replace_fails{false};
    // Bytes a written file takes before its writes come up short.
    std::atomic<std::uint64_t> file_write_limit{std::numeric_limits<std::uint64_t>::max()};
};

class FaultyDevice : public platform::Device {
public:
    FaultyDevice(std::unique_ptr<platform::Device> inner, const Faults& faults, bool is_file)
        : inner_(std::move(inner)), faults_(faults), is_file_(is_file) {}

    bool Seek(std::uint64_t position) override { return inner_->Seek(position); }
    std::size_t Read(void* buffer, std::size_t length) override { return inner_->Read(buffer, length); }
    std::size_t Write(const void* buffer, std::size_t length) override {
        if (is_file_ ? faults_.file_writes_fail.load() : faults_.device_writes_fail.load()) return 0;
        if (is_file_) {
            const std::uint64_t room = faults_.file_write_limit - std::min<std::uint64_t>(written_, faults_.file_write_limit);
            length = static_cast<std::size_t>(std::min<std::uint64_t>(length, room));
        }
        if (is_file_ && faults_.file_corrupts && length > 0) return WriteCorrupted(buffer, length);
        const std::size_t moved = inner_->Write(buffer, length);
        written_ += moved;
        return moved;
    }
    bool Flush() override { return !(is_file_ && faults_.file_flush_fails) && inner_->Flush(); }
    std::int64_t Size() override { return inner_->Size(); }

private:
    std::size_t WriteCorrupted(const void* buffer, std::size_t length) {
        std::vector<std::uint8_t> bytes(static_cast<const std::uint8_t*>(buffer),
                                        static_cast<const std::uint8_t*>(buffer) + length);
        bytes.back() ^= 0x5A;
        const std::size_t moved = inner_->Write(bytes.data(), length);
        written_ += moved;
        return moved;
    }

    std::unique_ptr<platform::Device> inner_;
    const Faults& faults_;
    bool is_file_;
    std::uint64_t written_ = 0;
};

class FaultyPlatform : public platform::Platform {
public:
    explicit FaultyPlatform(std::unique_ptr<platform::Platform> inner) : inner_(std::move(inner)) {}

    Faults faults;

    std::unique_ptr<platform::Device> OpenDevice(const std::string& name, platform::DeviceAccess access) override {
        return Wrap(inner_->OpenDevice(name, access), false);
    }
    std::unique_ptr<platform::Device> OpenFile(const std::string& path, platform::FileMode mode) override {
        return Wrap(inner_->OpenFile(path, mode), true);
    }
    bool RemoveFile(const std::string& path) override { return inner_->RemoveFile(path); }
    bool ReplaceFile(const std::string& from, const std::string& to) override {
        return !faults.replace_fails && inner_->ReplaceFile(from, to);
    }
    platform::DeviceHoldResult HoldDevice(const std::string& name) override { return inner_->HoldDevice(name); }
    bool DeviceNumber(const std::string& name, std::uint32_t* number) override {
        return inner_->DeviceNumber(name, number);
    }
    platform::DriveType GetDriveType(const std::string& root) override { return inner_->GetDriveType(root); }
    bool VolumeLabel(const std::string& root, std::string* label) override { return inner_->VolumeLabel(root, label); }
    bool TotalBytes(const std::string& root, std::uint64_t* total) override { return inner_->TotalBytes(root, total); }
    bool FreeSpace(const std::string& root, platform::DiskFreeSpace* space) override {
        return inner_->FreeSpace(root, space);
    }
    std::vector<platform::DeviceInterface> Interfaces(platform::InterfaceClass interface_class) override {
        return inner_->Interfaces(interface_class);
    }
    bool ControlVolume(const std::string& volume_name, platform::VolumeControl control) override {
        return inner_->ControlVolume(volume_name, control);
    }
    bool IsAdministrator() override { return inner_->IsAdministrator(); }
    void Pause(unsigned milliseconds) override { inner_->Pause(milliseconds); }

private:
    std::unique_ptr<platform::Device> Wrap(std::unique_ptr<platform::Device> device, bool is_file) {
        if (!device) return nullptr;
        return std::make_unique<FaultyDevice>(std::move(device), faults, is_file);
    }

    std::unique_ptr<platform::Platform> inner_;
};

}  // namespace testsupport
