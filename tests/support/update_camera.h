// A whole simulated camera for update runs, made at test time: the manifest,
// the system disk image (state word, FAT16 hidden volume), the folder that
// stands for the user volume, and a GFX_DATA folder with the shipped text
// table and an update file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

struct UpdateCameraOptions {
    std::uint32_t state_word = 1;
    // Update file bytes; 0 gives an empty file.
    std::uint64_t update_size = 100000;
    bool update_file = true;
    // Free space the user volume reports; none: that of the user folder's
    // file system (the query fails without a user folder).
    std::optional<std::uint64_t> user_free_bytes = 150000000;
    // Without a folder for its files every copy to the user volume fails.
    bool user_root = true;
    // Without the system volume the camera is not found.
    bool system_volume = true;
    // Whether the user holds the rights raw disk access needs.
    bool admin = true;
    // Every lock, dismount and eject attempt on the user volume fails.
    bool eject_always_fails = false;
    // The system disk is this file instead of a made image (a device that
    // takes no writes, such as /dev/full); empty: the made image.
    std::string system_disk;
};

struct UpdateCamera {
    std::string dir;
    std::string manifest;      // dir/camera.json
    std::string system_image;  // dir/system.img
    std::string user_dir;      // dir/user
    std::string gfx_dir;       // dir/GFX_DATA
    std::string update_file;   // dir/GFX_DATA/APP_DATA.BIN
    int drive_number;          // the physical drive number of the system disk
};

// Builds the camera in dir (created when missing).
UpdateCamera MakeUpdateCamera(const std::string& dir, const UpdateCameraOptions& options = {});

// Deterministic bytes that differ from chunk to chunk.
std::vector<std::uint8_t> PatternBytes(std::size_t n);

// The shipped text table, gfx/data/OT.txt of the source tree.
std::string ShippedTextTable();

}  // namespace testsupport
