// Where the screen pictures go in the dialog's client area. Pure arithmetic,
// kept apart from the painting so it can be checked without a window.
#pragma once

#include <cstdint>

// The client width the pictures are drawn for at their own size.
constexpr int kReferenceClientWidth = 758;
// The white band behind the pictures is this wide whatever the scale, so it
// always reaches the right edge of the window.
constexpr int kBackgroundBandWidth = 2000;

// A picture's size in pixels; a picture that is missing or unreadable is 0 x 0.
struct PictureSize {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
};

struct PixelRect {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;

    bool operator==(const PixelRect&) const = default;
};

struct ScreenLayout {
    double scale = 1.0;
    PixelRect band;
    PixelRect title;
    PixelRect camera;
    PixelRect instruction;
};

// The client width divided by the reference width.
double ScreenScale(int client_width);
// A picture dimension at the given scale, truncated toward zero (and
// clamped to the largest int).
int ScaledPixels(std::uint64_t pixels, double scale);

// The title spans the top; the camera sits below it on the left and the
// screen's instruction picture to its right. The band is as high as the
// title and the instruction together (summed before scaling).
ScreenLayout ComputeScreenLayout(int client_width, PictureSize title, PictureSize camera, PictureSize instruction);
