// The update marker: one sector of the camera's system disk that tells the
// camera an update is waiting. It is written and at once read back; the
// read-back proves the sector's content, not that this very write happened.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "device/sector_io.h"

// The sector as it is written: the marker text, a zero byte, zeros.
using UpdateMarker = std::array<std::uint8_t, kSectorSize>;

// The two marker texts. APP_DATA: the update file was copied; APP_ONLY: set
// by the developer button of the same name only.
constexpr char kMarkerAppData[] = "UPDATEAPPDATA";
constexpr char kMarkerAppOnly[] = "UPDATEAPPONLY";

// The outcomes the developer buttons show.
constexpr char kMarkerSuccessText[] = "Success\n";
constexpr char kMarkerFailText[] = "Fail\n";

UpdateMarker MakeUpdateMarker(std::string_view marker);

// Whether a sector read back carries the marker: its text followed by a zero
// byte, compared case-sensitively; the bytes after the zero do not matter.
bool UpdateMarkerMatches(const UpdateMarker& sector, std::string_view marker);

// Writes the marker to the marker sector of the physical drive, reads the
// sector back and returns whether it carries the marker. A failed write shows
// only in the read-back; a failed read is a mismatch.
bool SetUpdateMarker(int physical_drive_number, std::string_view marker);

// The developer buttons UPDATEAPPONLY and UPDATEAPPDATA: they set their marker
// on the drive and return the text they show, "Success\n" or "Fail\n".
std::string OnUpdateAppOnly(int physical_drive_number);
std::string OnUpdateAppData(int physical_drive_number);
