#include "update/marker.h"

#include <algorithm>

#include "device/camera_layout.h"

UpdateMarker MakeUpdateMarker(std::string_view marker) {
    UpdateMarker sector{};
    // The text keeps at least one zero byte after it.
    const std::size_t length = std::min(marker.size(), sector.size() - 1);
    std::copy_n(marker.begin(), length, sector.begin());
    return sector;
}

bool UpdateMarkerMatches(const UpdateMarker& sector, std::string_view marker) {
    if (marker.size() >= sector.size()) return false;
    return std::equal(marker.begin(), marker.end(), sector.begin()) && sector[marker.size()] == 0;
}

bool SetUpdateMarker(int physical_drive_number, std::string_view marker) {
    const UpdateMarker written = MakeUpdateMarker(marker);
    WritePhysicalSector(camera::kUpdateMarkerSector, physical_drive_number, written.data());
    UpdateMarker read_back{};
    ReadPhysicalSectors(1, camera::kUpdateMarkerSector, physical_drive_number, read_back.data());
    return UpdateMarkerMatches(read_back, marker);
}

namespace {
std::string MarkerOutcome(int physical_drive_number, std::string_view marker) {
    return SetUpdateMarker(physical_drive_number, marker) ? kMarkerSuccessText : kMarkerFailText;
}
}  // namespace

std::string OnUpdateAppOnly(int physical_drive_number) {
    return MarkerOutcome(physical_drive_number, kMarkerAppOnly);
}

std::string OnUpdateAppData(int physical_drive_number) {
    return MarkerOutcome(physical_drive_number, kMarkerAppData);
}
