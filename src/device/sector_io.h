// Sector transfers on a physical drive, and the media callbacks through which
// the FAT engine reaches its volume. Every call opens the device, transfers
// and closes it again; nothing is cached here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr std::uint32_t kSectorSize = 512;

using MediaReadFn = int (*)(std::uint32_t sector, std::uint8_t* buffer, std::uint32_t count);
using MediaWriteFn = int (*)(std::uint32_t sector, const std::uint8_t* buffer, std::uint32_t count);

// The device the media callbacks address, without the "\\.\" prefix, usually
// with one trailing backslash ("PHYSICALDRIVE3\"), and the absolute number of
// the volume's first sector as text. Both are read afresh at every transfer.
extern std::string MediaDevicePath;
extern std::string MediaStartSector;

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
