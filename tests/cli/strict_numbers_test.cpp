// Numbers on quillon-cli's command line: the whole text is a number,
// decimal or 0x hexadecimal, in range; sizes may end in K, M or G. Anything
// else is a usage error, and nothing is read or written.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>

#include "cli/cli_numbers.h"
#include "support/test_support.h"

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

constexpr int kUsage = 2;

struct NumberCase {
    const char* text;
    std::uint64_t limit;
    std::optional<std::uint64_t> number;
    std::optional<std::uint64_t> size;
};

const NumberCase kNumberCases[] = {
    {"0", UINT64_MAX, 0, 0},
    {"262144", UINT64_MAX, 262144, 262144},
    {"0x40000", UINT64_MAX, 0x40000, 0x40000},
    {"0xaBcD", UINT64_MAX, 0xABCD, 0xABCD},
    {"007", UINT64_MAX, 7, 7},  // leading zeros are decimal, never octal
    {"18446744073709551615", UINT64_MAX, UINT64_MAX, UINT64_MAX},
    {"18446744073709551616", UINT64_MAX, std::nullopt, std::nullopt},
    {"0x10000000000000000", UINT64_MAX, std::nullopt, std::nullopt},
    {"2147483647", INT32_MAX, INT32_MAX, INT32_MAX},
    {"2147483648", INT32_MAX, std::nullopt, std::nullopt},
    {"0x7FFFFFFF", INT32_MAX, INT32_MAX, INT32_MAX},
    {"0x80000000", INT32_MAX, std::nullopt, std::nullopt},
    {"64K", UINT64_MAX, std::nullopt, 64u << 10},
    {"64M", UINT64_MAX, std::nullopt, 64u << 20},
    {"2G", UINT64_MAX, std::nullopt, 2ull << 30},
    {"0x10M", UINT64_MAX, std::nullopt, 16u << 20},
    {"4M", (4u << 20) - 1, std::nullopt, std::nullopt},
    {"17179869184G", UINT64_MAX, std::nullopt, std::nullopt},  // 2^64 bytes
    {"", UINT64_MAX, std::nullopt, std::nullopt},
    {"0x", UINT64_MAX, std::nullopt, std::nullopt},
    {"abc", UINT64_MAX, std::nullopt, std::nullopt},
    {"zz", UINT64_MAX, std::nullopt, std::nullopt},
    {"0X40000", UINT64_MAX, std::nullopt, std::nullopt},
    {"0x40000junk", UINT64_MAX, std::nullopt, std::nullopt},
    {"0x4OOOO", UINT64_MAX, std::nullopt, std::nullopt},  // letter O
    {"-5", UINT64_MAX, std::nullopt, std::nullopt},
    {"+5", UINT64_MAX, std::nullopt, std::nullopt},
    {" 5", UINT64_MAX, std::nullopt, std::nullopt},
    {"5 ", UINT64_MAX, std::nullopt, std::nullopt},
    {"1.5", UINT64_MAX, std::nullopt, std::nullopt},
    {"K", UINT64_MAX, std::nullopt, std::nullopt},
    {"64k", UINT64_MAX, std::nullopt, std::nullopt},
    {"1T", UINT64_MAX, std::nullopt, std::nullopt},
    {"64MB", UINT64_MAX, std::nullopt, std::nullopt},
};

TEST(CliNumbers, OnlyWholeNumbersInRangeAreNumbers) {
    for (const auto& c : kNumberCases) {
        EXPECT_EQ(ParseCliNumber(c.text, c.limit), c.number) << "\"" << c.text << "\"";
        EXPECT_EQ(ParseCliSize(c.text, c.limit), c.size) << "\"" << c.text << "\" as a size";
    }
}

// Every numeric argument of the tool, each given the mistyped texts.
const char* const kNotNumbers[] = {"0x", "", "abc", "0X40000", "0x40000junk", "0x4OOOO", "-5", "zz"};

struct NumericArgument {
    const char* name;
    // The command line with NUMBER where the text goes.
    const char* arguments;
};

const NumericArgument kNumericArguments[] = {
    {"start_with_info", "--image IMG --start NUMBER info"},
    {"start_with_ls", "--image IMG --start NUMBER ls /"},
    {"start_with_format", "--image IMG --start NUMBER format --size 64M --fs fat16"},
    {"format_size", "--image IMG --start 0 format --size NUMBER --fs fat16"},
    {"format_cluster_size", "--image IMG --start 0 format --size 64M --fs fat16 --sectors-per-cluster NUMBER"},
    {"camera_state", "make-camera DIR --state NUMBER"},
    {"camera_user_free", "make-camera DIR --user-free NUMBER"},
    {"camera_update_size", "make-camera DIR --update-size NUMBER"},
};

class StrictNumberArgument : public ::testing::TestWithParam<NumericArgument> {};

TEST_P(StrictNumberArgument, AnythingButAWholeNumberIsAUsageErrorThatTouchesNothing) {
    const std::string scratch = ScratchDir();
    const std::string image = scratch + "/v.img";
    MakeFatImage(image, 16u << 20, "-F 16");
    const auto image_bytes = ReadFileBytes(image);
    const std::string fresh_image = scratch + "/fresh.img";
    for (const char* text : kNotNumbers) {
        std::string arguments = GetParam().arguments;
        const bool makes_image = arguments.find("format") != std::string::npos;
        arguments.replace(arguments.find("NUMBER"), 6, Quote(text));
        if (auto at = arguments.find("IMG"); at != std::string::npos)
            arguments.replace(at, 3, Quote(makes_image ? fresh_image : image));
        if (auto at = arguments.find("DIR"); at != std::string::npos) arguments.replace(at, 3, Quote(scratch + "/cam"));
        const RunResult r = Cli(arguments);
        EXPECT_EQ(r.exit_code, kUsage) << arguments << "\n" << r.out << r.err;
        EXPECT_NE(r.err.find(std::string("\"") + text + "\""), std::string::npos) << arguments << "\n" << r.err;
        EXPECT_FALSE(fs::exists(fresh_image)) << arguments;
        EXPECT_FALSE(fs::exists(scratch + "/cam")) << arguments;
    }
    EXPECT_TRUE(ReadFileBytes(image) == image_bytes);
}

INSTANTIATE_TEST_SUITE_P(Arguments, StrictNumberArgument, ::testing::ValuesIn(kNumericArguments),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(StrictNumbers, HexadecimalAndSuffixedNumbersAreTakenEverywhere) {
    const std::string scratch = ScratchDir();
    const std::string image = scratch + "/v.img";
    const RunResult format =
        Cli("--image " + Quote(image) + " --start 0x10 format --size 0x4000000 --fs fat16 --sectors-per-cluster 0x4");
    ASSERT_EQ(format.exit_code, 0) << format.err;
    EXPECT_EQ(fs::file_size(image), 0x10 * 512 + (64u << 20));
    const RunResult info = Cli("--image " + Quote(image) + " --start 16 --json info");
    ASSERT_EQ(info.exit_code, 0) << info.err;
    EXPECT_NE(info.out.find("\"sectors_per_cluster\":4"), std::string::npos) << info.out;

    const RunResult camera =
        Cli("make-camera " + Quote(scratch + "/cam") + " --state 0x2 --user-free 2M --update-size 1K");
    ASSERT_EQ(camera.exit_code, 0) << camera.err;
    EXPECT_EQ(fs::file_size(scratch + "/cam/GFX_DATA/APP_DATA.BIN"), 1024u);
}

}  // namespace
