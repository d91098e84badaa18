#include "ui/qt/screen_layout.h"

#include <limits>

double ScreenScale(int client_width) {
    return static_cast<double>(client_width) / static_cast<double>(kReferenceClientWidth);
}

// A size beyond what a window can show is clamped rather than wrapped.
int ScaledPixels(std::uint64_t pixels, double scale) {
    const double scaled = static_cast<double>(pixels) * scale;
    if (scaled >= static_cast<double>(std::numeric_limits<int>::max()))
        return std::numeric_limits<int>::max();
    return static_cast<int>(scaled);
}

ScreenLayout ComputeScreenLayout(int client_width, PictureSize title, PictureSize camera, PictureSize instruction) {
    ScreenLayout layout;
    layout.scale = ScreenScale(client_width);
    const double s = layout.scale;
    const int row_top = ScaledPixels(title.height, s);
    const std::uint64_t band_height = std::uint64_t{title.height} + instruction.height;

    layout.band = {0, 0, kBackgroundBandWidth, ScaledPixels(band_height, s)};
    layout.title = {0, 0, ScaledPixels(title.width, s), row_top};
    layout.camera = {0, row_top, ScaledPixels(camera.width, s), ScaledPixels(camera.height, s)};
    layout.instruction = {ScaledPixels(camera.width, s), row_top, ScaledPixels(instruction.width, s),
                          ScaledPixels(instruction.height, s)};
    return layout;
}
