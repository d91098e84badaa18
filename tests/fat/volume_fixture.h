// Mounting a test image through the real media callbacks.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "device/platform/platform.h"
#include "device/platform/sim/sim_platform.h"
#include "device/sector_io.h"
#include "fat/file.h"
#include "fat/volume.h"

class VolumeFixture : public ::testing::Test {
protected:
    // Offers the image as physical drive 0 and points the callbacks at it.
    void AttachImage(const std::string& image, const std::string& start = "0") {
        auto simulated = std::make_unique<platform::SimulatedPlatform>();
        simulated->MapPhysicalDrive(0, image);
        auto old = platform::InstallPlatform(std::move(simulated));
        if (!previous_) previous_ = std::move(old);
        MediaDevicePath = "PHYSICALDRIVE0\\";
        MediaStartSector = start;
    }
    int Mount(const std::string& image, const std::string& start = "0") {
        AttachImage(image, start);
        FatResetFiles();
        return FatMountMedia();
    }
    void TearDown() override {
        if (previous_) platform::InstallPlatform(std::move(previous_));
    }
    FatVolume& Volume() { return FatTheVolume(); }

private:
    std::unique_ptr<platform::Platform> previous_;
};
