// Texts the listings show for volume entries.
#pragma once

#include <cstdint>
#include <string>

// "YY-MM-DD HH:MM" from a FAT write date and time (two-digit year, no seconds).
std::string VolumeDateText(std::uint16_t fat_date, std::uint16_t fat_time);
