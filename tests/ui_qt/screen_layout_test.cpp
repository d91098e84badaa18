// The screen layout: the scale rule and where each picture goes, also when
// pictures are missing (0 x 0).
#include <gtest/gtest.h>

#include <limits>

#include "ui/qt/screen_layout.h"

namespace {

constexpr PictureSize kTitle{758, 101};
constexpr PictureSize kCamera{280, 300};
constexpr PictureSize kInstruction{478, 300};
constexpr PictureSize kMissing{};

struct LayoutCase {
    const char* name;
    int client_width;
    PictureSize title, camera, instruction;
    double scale;
    PixelRect band, title_rect, camera_rect, instruction_rect;
};
void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }

const LayoutCase kCases[] = {
    {"reference_width", 758, kTitle, kCamera, kInstruction, 1.0,
     {0, 0, 2000, 401}, {0, 0, 758, 101}, {0, 101, 280, 300}, {280, 101, 478, 300}},
    // 101 x 1.5 = 151.5 and 401 x 1.5 = 601.5 are truncated.
    {"one_and_a_half", 1137, kTitle, kCamera, kInstruction, 1.5,
     {0, 0, 2000, 601}, {0, 0, 1137, 151}, {0, 151, 420, 450}, {420, 151, 717, 450}},
    // Half the width: 101 x 0.5 = 50.5 and 401 x 0.5 = 200.5 are truncated.
    {"half_width", 379, kTitle, kCamera, kInstruction, 0.5,
     {0, 0, 2000, 200}, {0, 0, 379, 50}, {0, 50, 140, 150}, {140, 50, 239, 150}},
    {"camera_missing", 758, kTitle, kMissing, kInstruction, 1.0,
     {0, 0, 2000, 401}, {0, 0, 758, 101}, {0, 101, 0, 0}, {0, 101, 478, 300}},
    {"title_missing", 758, kMissing, kCamera, kInstruction, 1.0,
     {0, 0, 2000, 300}, {0, 0, 0, 0}, {0, 0, 280, 300}, {280, 0, 478, 300}},
    {"instruction_missing", 758, kTitle, kCamera, kMissing, 1.0,
     {0, 0, 2000, 101}, {0, 0, 758, 101}, {0, 101, 280, 300}, {280, 101, 0, 0}},
    {"all_missing", 758, kMissing, kMissing, kMissing, 1.0,
     {0, 0, 2000, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}},
};

class ScreenLayoutTest : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(ScreenLayoutTest, PlacesEveryPicture) {
    const LayoutCase& c = GetParam();
    const ScreenLayout layout = ComputeScreenLayout(c.client_width, c.title, c.camera, c.instruction);
    EXPECT_DOUBLE_EQ(layout.scale, c.scale);
    EXPECT_EQ(layout.band, c.band);
    EXPECT_EQ(layout.title, c.title_rect);
    EXPECT_EQ(layout.camera, c.camera_rect);
    EXPECT_EQ(layout.instruction, c.instruction_rect);
}

INSTANTIATE_TEST_SUITE_P(Cases, ScreenLayoutTest, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The band's height is scaled from the summed heights, not summed from two
// scaled heights: 1.5 x (101 + 101) = 303, while 151 + 151 = 302.
TEST(ScreenLayout, BandHeightIsScaledAfterSumming) {
    const ScreenLayout layout = ComputeScreenLayout(1137, kTitle, kCamera, PictureSize{478, 101});
    EXPECT_EQ(layout.band.height, 303);
    EXPECT_EQ(layout.title.height + layout.instruction.height, 302);
}

// Two tall pictures sum beyond an int; the band is clamped, not wrapped.
TEST(ScreenLayout, OversizedPicturesAreClamped) {
    const PictureSize tall{758, 0x7FFFFFFFu};
    const ScreenLayout layout = ComputeScreenLayout(758, tall, kCamera, tall);
    EXPECT_EQ(layout.band.height, std::numeric_limits<int>::max());
    EXPECT_EQ(layout.camera.top, 0x7FFFFFFF);
}

}  // namespace
