// Sector transfers on a physical drive, and the media callbacks through which
// the FAT engine's default volume reaches its medium. The sector tools open
// the drive for each call; the media callbacks keep one device open while
// the device path and start sector stay the same.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fat/block_device.h"

// The device the media callbacks address, without the "\\.\" prefix, usually
// with one trailing backslash ("PHYSICALDRIVE3\"), and the absolute number of
// the volume's first sector as text. A change to either is seen at the next
// transfer, which then opens the device they name.
extern std::string MediaDevicePath;
extern std::string MediaStartSector;

// The device name the media callbacks open ("\\.\PHYSICALDRIVE3").
std::string MediaDeviceName();

// Sector number held as text: base 16 when the text begins with "0x" (lower
// case x), else base 10, with wcstol's rules (leading white space and a sign
// accepted, parsing stops at the first non-digit, saturation at the signed
// 32-bit limits). The result is the 32-bit pattern of that signed value.
std::uint32_t ParseSectorNumber(const std::string& text);

// Whole sectors read (bytes read / 512); 0 when the drive does not open.
int ReadPhysicalSectors(int count, std::uint32_t sector, int drive_number, std::uint8_t* buffer);
// 1 when all 512 bytes were written, else 0.
int WritePhysicalSector(std::uint32_t sector, int drive_number, const std::uint8_t* buffer);
// Appends every drive number from 0 to 100 whose device opens, ascending.
void ListPhysicalDrives(std::vector<int>& drives);

// Sector numbers relative to MediaStartSector. 1 when every sector moved, else 0.
int MediaRead(std::uint32_t sector, std::uint8_t* buffer, std::uint32_t count);
int MediaWrite(std::uint32_t sector, const std::uint8_t* buffer, std::uint32_t count);

// Mounts the engine's default volume on the device MediaDevicePath and
// MediaStartSector name, opened afresh: 0, or the negative mount code (a
// device that does not open gives -1). Prints the FAT_FS line on failure
// through the volume's diagnostics.
int FatMountMedia();
