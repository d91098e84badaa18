// quillon-cli detect: device discovery on a simulated camera or on this computer.
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>

#include "cli/camera_attach.h"
#include "cli/camera_commands.h"
#include "cli/cli_json.h"
#include "device/discovery.h"
#include "fat/engine.h"

namespace {

char LetterOfIndex(std::size_t index) { return static_cast<char>('A' + index); }

nlohmann::ordered_json RecordAsJson(const DeviceRecord& record, bool mounted) {
    nlohmann::ordered_json labels = nlohmann::ordered_json::object();
    for (std::size_t i = 0; i < record.VolumeLabels.size(); ++i)
        if (!record.VolumeLabels[i].empty()) labels[std::string(1, LetterOfIndex(i))] = record.VolumeLabels[i];

    nlohmann::ordered_json json;
    json["device_path"] = record.DevicePath;
    json["disk_interface_path"] = record.DiskInterfacePath;
    json["parent_device_id"] = record.ParentDeviceId;
    json["physical_drive_number"] = record.PhysicalDriveNumber;
    json["user_drive_root"] = record.UserDriveRoot;
    json["device_state_word"] = record.DeviceStateWord;
    json["volume_labels"] = labels;
    json["mounted"] = mounted;
    return json;
}

void PrintRecord(const DeviceRecord& record, bool mounted) {
    char state[16];
    std::snprintf(state, sizeof state, "0x%08X", static_cast<unsigned>(record.DeviceStateWord));
    std::cout << "Device path: " << record.DevicePath << "\n"
              << "Disk interface path: " << record.DiskInterfacePath << "\n"
              << "Parent device ID: " << record.ParentDeviceId << "\n"
              << "Physical drive number: " << record.PhysicalDriveNumber << "\n"
              << "User drive root: " << record.UserDriveRoot << "\n"
              << "Device state word: " << state << " (" << record.DeviceStateWord << ")\n"
              << "Volume labels:";
    for (std::size_t i = 0; i < record.VolumeLabels.size(); ++i)
        if (!record.VolumeLabels[i].empty()) std::cout << " " << LetterOfIndex(i) << "=\"" << record.VolumeLabels[i] << "\"";
    std::cout << "\nHidden volume: " << (mounted ? "mounted" : "not mounted") << "\n";
}

// The same test the update run makes before it goes on.
std::string WhatIsMissing(const DeviceRecord& record) {
    if (record.DevicePath.find("PHYSICAL") == std::string::npos)
        return "no camera found: no system volume labelled \"" + std::string(camera::kSystemVolumeLabel) + "\"";
    if (record.UserDriveRoot.empty()) return "no camera found: the camera's user volume is missing";
    return {};
}

constexpr char kNoCameraAttached[] = "No camera is attached to this computer.";

bool NothingOfACamera(const DeviceRecord& record) {
    return record.DevicePath.find("PHYSICAL") == std::string::npos && record.UserDriveRoot.empty();
}

}  // namespace

int RunDetect(CliContext& context) {
    if (!context.args.empty()) return CliUsage("detect takes no arguments");
    std::string error;
    if (!InstallCommandPlatform(context.options.camera, &error)) return CliFail(error);
    // Discovery mounts the hidden volume; under --json its lines must not
    // land among the JSON.
    if (context.options.json) fat::DefaultVolume().SetDiagnostics(fat::ErrorStreamDiagnostics());

    DeviceRecord record;
    const bool mounted = DetectDevice(record, nullptr);
    std::fflush(stdout);
    // On this computer no camera attached is an answer, not a failure; half
    // a camera (one volume seen, the other not) still is one.
    const bool none_attached = context.options.camera.empty() && NothingOfACamera(record);
    if (context.options.json)
        CliPrintJson(RecordAsJson(record, mounted));
    else if (none_attached)
        std::cout << kNoCameraAttached << "\n";
    else
        PrintRecord(record, mounted);
    std::cout.flush();
    if (none_attached) return kExitOk;
    const std::string missing = WhatIsMissing(record);
    return missing.empty() ? kExitOk : CliFail(missing);
}
