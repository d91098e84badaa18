// quillon-cli selftest: counts, exit codes, JSON, and iteration counts it refuses.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "support/test_support.h"

using namespace testsupport;
using Json = nlohmann::json;

namespace {

std::string MakeCamera() {
    const std::string dir = ScratchDir() + "/camera";
    const RunResult made = Cli("make-camera " + Quote(dir));
    EXPECT_EQ(made.exit_code, 0) << made.err;
    return dir + "/camera.json";
}

// A volume too small for the first test file.
std::string MakeSmallImage() {
    const std::string image = ScratchDir() + "/small.img";
    MakeFatImage(image, 3u << 20, "-F 16 -s 1");
    return image;
}

RunResult SelftestOnImage(const std::string& image, const std::string& arguments) {
    return Cli("--image " + Quote(image) + " --start 0 " + arguments);
}

TEST(SelftestCommand, HealthyCameraVolumeGivesFullCounts) {
    const RunResult r = Cli("--camera " + Quote(MakeCamera()) + " selftest --iterations 50");
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "Right Cnt1: 50\nRight Cnt2: 50\n");
    EXPECT_EQ(r.err, "");
}

TEST(SelftestCommand, JsonIsOneObjectWithTheCounts) {
    const RunResult r = Cli("--camera " + Quote(MakeCamera()) + " --json selftest --iterations 3");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const Json expected = {{"iterations", 3}, {"iterations_run", 3}, {"right_cnt1", 3},
                           {"right_cnt2", 3}, {"ok", true},          {"stopped", nullptr}};
    EXPECT_EQ(Json::parse(r.out), expected);
}

// Short counts fail; the ERROR lines come as the test goes, on standard
// output, or on standard error under --json.
TEST(SelftestCommand, ShortCountsExitOne) {
    const std::string image = MakeSmallImage();
    const RunResult plain = SelftestOnImage(image, "selftest --iterations 2");
    EXPECT_EQ(plain.exit_code, 1);
    EXPECT_EQ(plain.out.find("ERROR: Write file failed\n"), 0u) << plain.out;
    const std::string counts = "Right Cnt1: 0\nRight Cnt2: 0\n";
    ASSERT_GE(plain.out.size(), counts.size());
    EXPECT_EQ(plain.out.substr(plain.out.size() - counts.size()), counts);
    EXPECT_NE(plain.err.find("0 of 2"), std::string::npos) << plain.err;

    const RunResult json = SelftestOnImage(image, "--json selftest --iterations 2");
    EXPECT_EQ(json.exit_code, 1);
    const Json result = Json::parse(json.out);
    EXPECT_EQ(result["ok"], false);
    EXPECT_EQ(result["right_cnt1"], 0);
    EXPECT_EQ(result["iterations_run"], 2);
    EXPECT_NE(json.err.find("ERROR: size file failed\n"), std::string::npos) << json.err;
    EXPECT_EQ(Fsck(image).exit_code, 0);
}

TEST(SelftestCommand, RefusesIterationCountsItCannotRun) {
    const struct {
        const char* arguments;
        const char* named;  // what the message must mention
    } cases[] = {
        {"--iterations 0", "--iterations"},
        {"--iterations abc", "\"abc\""},
        {"--iterations -5", "--iterations"},
        {"--iterations 1000001", "1000000"},
        {"--iterations 99999999999999999999", "--iterations"},
        {"--iterations=", "--iterations"},
        {"extra", "extra"},
    };
    // The command line is checked before any volume is looked for.
    const std::string missing = ScratchDir() + "/missing.img";
    for (const auto& c : cases) {
        const RunResult r = SelftestOnImage(missing, std::string("selftest ") + c.arguments);
        EXPECT_EQ(r.exit_code, 2) << c.arguments;
        EXPECT_NE(r.err.find(c.named), std::string::npos) << c.arguments << ": " << r.err;
        EXPECT_EQ(r.out, "") << c.arguments;
    }
}

TEST(SelftestCommand, ImageWithoutVolumeFails) {
    const std::string image = ScratchDir() + "/blank.img";
    MakeEmptyImage(image, 1u << 20);
    const RunResult r = SelftestOnImage(image, "selftest --iterations 1");
    EXPECT_EQ(r.exit_code, 1);
    EXPECT_NE(r.err.find("no FAT volume"), std::string::npos) << r.err;
}

}  // namespace
