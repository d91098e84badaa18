#include "ui/volume_text.h"

#include <gtest/gtest.h>

namespace {

std::uint16_t FatDate(unsigned year, unsigned month, unsigned day) {
    return static_cast<std::uint16_t>(((year - 1980) << 9) | (month << 5) | day);
}
std::uint16_t FatTime(unsigned hour, unsigned minute, unsigned second) {
    return static_cast<std::uint16_t>((hour << 11) | (minute << 5) | (second / 2));
}

TEST(VolumeDateText, TwoDigitYearWithoutSeconds) {
    EXPECT_EQ(VolumeDateText(FatDate(2013, 5, 1), FatTime(10, 30, 58)), "13-05-01 10:30");
    EXPECT_EQ(VolumeDateText(FatDate(2000, 1, 2), FatTime(0, 0, 0)), "00-01-02 00:00");
    EXPECT_EQ(VolumeDateText(FatDate(2107, 12, 31), FatTime(23, 59, 58)), "07-12-31 23:59");
}

}  // namespace
