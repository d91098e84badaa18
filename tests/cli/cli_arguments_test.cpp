// quillon-cli's arguments, alike for every command: the short usage when no
// command is given, usage texts that name what each command takes, sizes
// with the same suffixes everywhere, "--opt=VALUE" for every option,
// several paths for rm, a single file for ls, one disk at a time, and
// messages that name the file meant.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "cli/cli.h"
#include "support/test_support.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kVolumeBytes = 16u << 20;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST(CliShortUsage, NoCommandGivesTheUsageLinesAndExitsTwo) {
    for (const char* arguments : {"", "--json", "--start 0"}) {
        const RunResult r = Cli(arguments);
        EXPECT_EQ(r.exit_code, kUsage) << arguments;
        EXPECT_TRUE(Contains(r.err, "usage: quillon-cli [--image FILE]")) << arguments << "\n" << r.err;
        EXPECT_TRUE(Contains(r.err, "COMMAND [ARGS]")) << r.err;
        EXPECT_TRUE(Contains(r.err, "quillon-cli --help")) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
        // Short: the list of commands is for --help.
        EXPECT_FALSE(Contains(r.err, "make-camera")) << r.err;
    }
}

// Every option a command takes appears in its usage line.
TEST(CliUsageText, NamesEveryOptionACommandTakes) {
    for (const auto* table : {&VolumeCommands(), &CameraCommands()}) {
        for (const CliCommand& command : *table) {
            for (const CliOptionRule& rule : command.options)
                EXPECT_TRUE(Contains(command.usage, rule.name)) << command.name << " takes " << rule.name
                                                                << " but its usage is: " << command.usage;
        }
    }
}

TEST(CliUsageText, ShowsWhatEachCommandTakes) {
    const struct {
        const char* command;
        const char* usage;
    } cases[] = {
        {"ls", "ls [PATH]"},
        {"get", "get PATH DEST"},
        {"put", "put LOCAL [DIR]"},
        {"rm", "rm [-r] PATH..."},
        {"rename", "rename PATH NEWNAME"},
        {"format", "format --size BYTES --fs fat16|fat32 [--label TEXT] [--sectors-per-cluster N]"},
        {"make-camera",
         "make-camera DIR [--state N] [--fs fat16|fat32] [--user-free BYTES] [--update-size BYTES] [--force] "
         "[--allow-impossible]"},
    };
    for (const auto& c : cases) {
        for (const std::string& asked : {std::string("help ") + c.command, std::string(c.command) + " --help"}) {
            const RunResult r = Cli(asked);
            EXPECT_EQ(r.exit_code, 0) << asked;
            EXPECT_TRUE(Contains(r.out, c.usage)) << asked << "\n" << r.out;
        }
    }
    EXPECT_TRUE(Contains(Cli("--help").out, "rm [-r] PATH...\n"));
}

// A volume at sector 0 holding /a.txt, /b.txt, /c.txt and /D/inner.txt.
class CliArguments : public ::testing::Test {
protected:
    void SetUp() override {
        dir = ScratchDir();
        image = dir + "/v.img";
        MakeFatImage(image, kVolumeBytes, "-F 16");
        fs::create_directories(dir + "/in/D");
        for (const char* name : {"a.txt", "b.txt", "c.txt", "D/inner.txt"})
            WriteFileBytes(dir + "/in/" + name, {'x', '\n'});
        for (const char* name : {"a.txt", "b.txt", "c.txt", "D"})
            ASSERT_EQ(Quillon("put " + Quote(dir + "/in/" + name)).exit_code, 0);
    }

    RunResult Quillon(const std::string& args) { return Cli("--image " + Quote(image) + " --start 0 " + args); }

    std::vector<std::string> RootNames() {
        std::vector<std::string> names;
        for (const auto& row : nlohmann::json::parse(Quillon("--json ls /").out)) names.push_back(row["name"]);
        return names;
    }

    std::string dir, image;
};

TEST_F(CliArguments, RmTakesSeveralPathsAndRemovesEveryOneItCan) {
    const RunResult some = Quillon("rm /a.txt /missing.txt /D /c.txt");
    EXPECT_EQ(some.exit_code, kFailed);
    EXPECT_TRUE(Contains(some.err, "no such file or folder on the volume: /missing.txt")) << some.err;
    EXPECT_TRUE(Contains(some.err, "/D is a folder (use rm -r)")) << some.err;
    EXPECT_EQ(RootNames(), (std::vector<std::string>{"b.txt", "D"}));

    const RunResult all = Quillon("rm -r /D /b.txt");
    EXPECT_EQ(all.exit_code, 0) << all.err;
    EXPECT_TRUE(RootNames().empty());
    EXPECT_EQ(Quillon("rm").exit_code, kUsage);
}

TEST_F(CliArguments, LsOfAFileListsThatFileAlone) {
    const RunResult text = Quillon("ls /D/INNER.TXT");
    ASSERT_EQ(text.exit_code, 0) << text.err;
    EXPECT_EQ(std::count(text.out.begin(), text.out.end(), '\n'), 1) << text.out;
    EXPECT_TRUE(Contains(text.out, "  inner.txt\n")) << text.out;

    const RunResult json = Quillon("--json ls /b.txt");
    ASSERT_EQ(json.exit_code, 0) << json.err;
    const nlohmann::json rows = nlohmann::json::parse(json.out);
    ASSERT_EQ(rows.size(), 1u) << json.out;
    EXPECT_EQ(rows[0]["name"], "b.txt");
    EXPECT_EQ(rows[0]["dir"], false);
    EXPECT_EQ(rows[0]["size"], 2);

    const RunResult missing = Quillon("ls /D/none.txt");
    EXPECT_EQ(missing.exit_code, kFailed);
    EXPECT_TRUE(Contains(missing.err, "/D/none.txt")) << missing.err;
}

TEST_F(CliArguments, GetToDashWritesStandardOutput) {
    const RunResult r = Quillon("get /D/inner.txt -");
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(r.out, "x\n");
}

// One command line per option, every option written "--opt=VALUE".
TEST(CliOptionsWithEquals, WorkForEveryOption) {
    const std::string dir = ScratchDir();
    const std::string image = dir + "/v.img";
    const std::string camera = dir + "/cam";
    const std::string command_lines[] = {
        "--image=" + image + " --start=0 format --size=16M --fs=fat16 --label=EQUALS --sectors-per-cluster=4",
        "--image=" + image + " --start=0x0 --json info",
        "make-camera " + camera + " --state=0x2 --fs=fat32 --user-free=10M --update-size=1K --allow-impossible",
        "make-camera " + camera + " --force --state=3 --update-size=2K",
        "--camera=" + camera + "/camera.json detect",
    };
    for (const std::string& line : command_lines) {
        const RunResult r = Cli(line);
        EXPECT_EQ(r.exit_code, 0) << line << "\n" << r.err;
    }
    EXPECT_EQ(nlohmann::json::parse(Cli("--image " + image + " --start 0 --json info").out)["sectors_per_cluster"], 4);
    EXPECT_EQ(fs::file_size(camera + "/GFX_DATA/APP_DATA.BIN"), 2048u);
}

// K and M (and G, by the same parser) are powers of 1024 wherever a size
// is taken.
TEST(CliSizes, TakeTheSameSuffixesEverywhere) {
    const std::string dir = ScratchDir();
    const RunResult made = Cli("make-camera " + Quote(dir + "/cam") + " --user-free 10M --update-size 96K");
    ASSERT_EQ(made.exit_code, 0) << made.err;
    const auto manifest = nlohmann::json::parse(ReadFileBytes(dir + "/cam/camera.json"));
    EXPECT_EQ(manifest["drives"][0]["free_bytes"], 10u << 20);
    EXPECT_EQ(fs::file_size(dir + "/cam/GFX_DATA/APP_DATA.BIN"), 96u << 10);

    for (const auto& [size, bytes] : {std::pair{"10M", 10u << 20}, std::pair{"0x2400K", 9u << 20}}) {
        const std::string image = dir + "/v" + size + ".img";
        const RunResult format = Cli("--image " + Quote(image) + " --start 0 format --size " + size + " --fs fat16");
        ASSERT_EQ(format.exit_code, 0) << size << "\n" << format.err;
        EXPECT_EQ(fs::file_size(image), bytes) << size;
    }
}

TEST(CliDisks, ImageAndCameraTogetherAreAUsageErrorThatTouchesNothing) {
    const std::string dir = ScratchDir();
    const std::string image = dir + "/v.img";
    MakeFatImage(image, kVolumeBytes, "-F 16");
    const auto before = ReadFileBytes(image);
    for (const char* command : {"info", "mkdir /NEW", "format --size 8M --fs fat16"}) {
        const RunResult r = Cli("--image " + Quote(image) + " --start 0 --camera " + Quote(dir + "/c.json") + " " + std::string(command));
        EXPECT_EQ(r.exit_code, kUsage) << command << "\n" << r.err;
        EXPECT_TRUE(Contains(r.err, "--image and --camera")) << r.err;
    }
    EXPECT_TRUE(ReadFileBytes(image) == before);
}

// A failure names the file it is about: the image, the camera's manifest,
// or the path on the volume.
TEST(CliMessages, NameTheFileMeant) {
    const std::string dir = ScratchDir();
    const std::string image = dir + "/v.img";
    MakeFatImage(image, kVolumeBytes, "-F 16");
    const std::string empty = dir + "/empty.img";
    MakeEmptyImage(empty, 1u << 20);
    ASSERT_EQ(Cli("make-camera " + Quote(dir + "/cam")).exit_code, 0);
    const std::string manifest = dir + "/cam/camera.json";
    WriteSector(dir + "/cam/system.img", 0x40000, std::vector<std::uint8_t>(512));
    const struct {
        std::string arguments;
        std::string named;
    } cases[] = {
        {"--image " + Quote(empty) + " info", empty},
        {"--image " + Quote(dir + "/none.img") + " ls", dir + "/none.img"},
        {"--camera " + Quote(manifest) + " info", manifest},
        {"--camera " + Quote(manifest) + " ls /", manifest},
        {"--camera " + Quote(dir + "/none.json") + " ls", dir + "/none.json"},
        {"--image " + Quote(image) + " --start 0 ls /DCIM/100", "/DCIM/100"},
        {"--image " + Quote(image) + " --start 0 get /none.txt " + Quote(dir + "/x"), "/none.txt"},
        {"--image " + Quote(image) + " --start 0 rename /none.txt x", "/none.txt"},
    };
    for (const auto& c : cases) {
        const RunResult r = Cli(c.arguments);
        EXPECT_EQ(r.exit_code, kFailed) << c.arguments;
        EXPECT_TRUE(Contains(r.err, c.named)) << c.arguments << "\n" << r.err;
    }
}

}  // namespace
