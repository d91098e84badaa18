#include "ui/volume_text.h"

#include <cstdio>

std::string VolumeDateText(std::uint16_t fat_date, std::uint16_t fat_time) {
    const unsigned year = (1980u + (fat_date >> 9)) % 100u;
    const unsigned month = (fat_date >> 5) & 15u;
    const unsigned day = fat_date & 31u;
    const unsigned hour = fat_time >> 11;
    const unsigned minute = (fat_time >> 5) & 63u;
    char text[32];
    std::snprintf(text, sizeof text, "%02u-%02u-%02u %02u:%02u", year, month, day, hour, minute);
    return text;
}
