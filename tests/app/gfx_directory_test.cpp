#include "app/gfx_directory.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_support.h"

namespace {

TEST(DefaultGfxDirectory, ACameraThatBringsItsUpdateFileIsPreferred) {
    const std::string dir = testsupport::ScratchDir();
    std::filesystem::create_directories(dir + "/cam/GFX_DATA");
    const std::string manifest = dir + "/cam/camera.json";
    EXPECT_EQ(DefaultGfxDirectory("/opt/q", ""), "/opt/q/GFX_DATA");
    EXPECT_EQ(DefaultGfxDirectory("/opt/q", manifest), "/opt/q/GFX_DATA");  // no update file there
    testsupport::WriteFileBytes(dir + "/cam/GFX_DATA/APP_DATA.BIN", {1});
    // As paths: Windows joins the folder with its own separator.
    EXPECT_EQ(std::filesystem::path(DefaultGfxDirectory("/opt/q", manifest)), std::filesystem::path(dir + "/cam/GFX_DATA"));
}

}  // namespace
