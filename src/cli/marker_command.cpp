// quillon-cli marker: the developer buttons UPDATEAPPDATA and UPDATEAPPONLY.
// The camera's system disk is the one device discovery finds.
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

#include "cli/camera_attach.h"
#include "cli/camera_commands.h"
#include "cli/cli_json.h"
#include "cli/cli_numbers.h"
#include "device/camera_layout.h"
#include "device/discovery.h"
#include "fat/engine.h"
#include "device/physical_drive_name.h"
#include "device/platform/platform.h"
#include "update/marker.h"

namespace {

struct MarkerChoice {
    const char* argument;
    const char* marker;
    std::string (*press)(int physical_drive_number);
};

constexpr MarkerChoice kMarkerChoices[] = {
    {"appdata", kMarkerAppData, OnUpdateAppData},
    {"apponly", kMarkerAppOnly, OnUpdateAppOnly},
};

const MarkerChoice* FindChoice(const std::string& argument) {
    for (const auto& choice : kMarkerChoices)
        if (argument == choice.argument) return &choice;
    return nullptr;
}

// Why a marker cannot have been written when the disk ends before its
// sector (an empty or wrong file named as the image, which is never grown);
// empty otherwise.
std::string ShortDiskReason(int physical_drive_number) {
    auto disk = platform::CurrentPlatform().OpenDevice(PhysicalDriveName(physical_drive_number),
                                                        platform::DeviceAccess::Read);
    const std::int64_t size = disk ? disk->Size() : -1;
    const std::uint64_t needed = (std::uint64_t{camera::kUpdateMarkerSector} + 1) * kSectorSize;
    if (size < 0 || static_cast<std::uint64_t>(size) >= needed) return {};
    return ": the disk has only " + std::to_string(size) + " bytes and ends before the marker sector " +
           HexNumberText(camera::kUpdateMarkerSector) + "; it was left as it was";
}

std::string WithoutLineEnd(std::string text) {
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

}  // namespace

int RunMarker(CliContext& context) {
    if (context.args.size() != 1) return CliUsage("marker takes one argument: appdata or apponly");
    const MarkerChoice* choice = FindChoice(context.args.front());
    if (!choice) return CliUsage("marker takes appdata or apponly, not " + context.args.front());
    std::string error;
    if (!InstallCommandPlatform(context.options.camera, &error)) return CliFail(error);
    // Discovery mounts the hidden volume; under --json its lines must not
    // land among the JSON.
    if (context.options.json) fat::DefaultVolume().SetDiagnostics(fat::ErrorStreamDiagnostics());

    DeviceRecord record;
    DetectDevice(record, nullptr);
    const std::string outcome = choice->press(record.PhysicalDriveNumber);
    const bool success = outcome == kMarkerSuccessText;
    std::fflush(stdout);
    if (context.options.json) {
        nlohmann::ordered_json json;
        json["marker"] = choice->marker;
        json["physical_drive_number"] = record.PhysicalDriveNumber;
        json["result"] = WithoutLineEnd(outcome);
        CliPrintJson(json);
    } else {
        std::cout << outcome;
    }
    std::cout.flush();
    if (success) return kExitOk;
    return CliFail("the marker " + std::string(choice->marker) + " did not read back from physical drive " +
                   std::to_string(record.PhysicalDriveNumber) + ShortDiskReason(record.PhysicalDriveNumber));
}
