// Mounting a test image on the engine's default volume through the object
// API, over the device the simulated platform opens for it.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "device/physical_drive_name.h"
#include "device/platform/platform.h"
#include "device/platform/sim/sim_platform.h"
#include "device/platform_block_device.h"
#include "device/sector_io.h"
#include "fat/counting_device.h"
#include "fat/engine.h"
#include "fat/file.h"
#include "fat/volume.h"

class VolumeFixture : public ::testing::Test {
protected:
    // Offers the image as physical drive 0 and points the media callbacks at it.
    void AttachImage(const std::string& image, const std::string& start = "0") {
        auto simulated = std::make_unique<platform::SimulatedPlatform>();
        simulated->MapPhysicalDrive(0, image);
        auto old = platform::InstallPlatform(std::move(simulated));
        if (!previous_) previous_ = std::move(old);
        MediaDevicePath = "PHYSICALDRIVE0\\";
        MediaStartSector = start;
        start_sector_ = ParseSectorNumber(start);
    }
    // The attached image's device as a mount opens it; one whose reads all
    // fail when the image does not open.
    std::unique_ptr<fat::BlockDevice> OpenImageDevice() {
        if (auto opened = device::PlatformBlockDevice::Open(PhysicalDriveName(0), start_sector_)) return opened;
        return std::make_unique<fat::CallbackBlockDevice>(nullptr, nullptr);
    }
    int MountDevice(std::unique_ptr<fat::BlockDevice> device) {
        return fat::MountCodeOf(fat::DefaultVolume().Mount(std::move(device)));
    }
    int Mount(const std::string& image, const std::string& start = "0") {
        AttachImage(image, start);
        return MountDevice(OpenImageDevice());
    }
    // Mounts the attached image with every transfer counted.
    CountingDevice* MountCounted() {
        auto counting = std::make_unique<CountingDevice>(OpenImageDevice());
        CountingDevice* device = counting.get();
        return MountDevice(std::move(counting)) == kFatMountOk ? device : nullptr;
    }
    void TearDown() override {
        fat::DefaultVolume().Unmount();
        if (previous_) platform::InstallPlatform(std::move(previous_));
    }
    FatVolume& Volume() { return FatTheVolume(); }

private:
    std::unique_ptr<platform::Platform> previous_;
    std::uint32_t start_sector_ = 0;
};
