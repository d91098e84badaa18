// What the bars beside the percentage say: the bytes of the update file done
// of its size and the time left, in the phases that move file bytes only.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "update/update_window.h"

namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;

struct DetailCase {
    const char* name;
    UpdateProgress progress;
    std::string text;
};
void PrintTo(const DetailCase& c, std::ostream* os) { *os << c.name; }

const DetailCase kDetailCases[] = {
    {"copy_with_time_left", {30, ProgressPhase::Copy, 16 * kMiB + kMiB / 5, 64 * kMiB, 9},
     "copying 16.2 of 64.0 MiB, 9 s left"},
    {"check_with_time_left", {80, ProgressPhase::Verify, kMiB / 2, kMiB, 0}, "checking 0.5 of 1.0 MiB, 0 s left"},
    // The first chunk has no pace yet to tell the time from.
    {"time_not_known_yet", {0, ProgressPhase::Copy, 0, 3 * kMiB, kUnknownSecondsLeft}, "copying 0.0 of 3.0 MiB"},
    {"update_file_over_four_gibibytes", {10, ProgressPhase::Copy, 512 * kMiB, 5120 * kMiB, 3600},
     "copying 512.0 of 5120.0 MiB, 3600 s left"},
    {"marker_moves_no_file_bytes", {92, ProgressPhase::Marker, 0, 0, kUnknownSecondsLeft}, ""},
    {"eject_moves_no_file_bytes", {98, ProgressPhase::Eject, 0, 0, 5}, ""},
};

class ProgressDetail : public ::testing::TestWithParam<DetailCase> {};

TEST_P(ProgressDetail, NamesBytesOfTheTotalAndTheTimeLeft) {
    EXPECT_EQ(ProgressDetailText(GetParam().progress), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Cases, ProgressDetail, ::testing::ValuesIn(kDetailCases),
                         [](const auto& info) { return std::string(info.param.name); });

// The names are the "phase" values of the command-line tool's JSON events.
TEST(ProgressPhaseName, IsTheNameScriptsSee) {
    EXPECT_STREQ(ProgressPhaseName(ProgressPhase::Copy), "copy");
    EXPECT_STREQ(ProgressPhaseName(ProgressPhase::Verify), "verify");
    EXPECT_STREQ(ProgressPhaseName(ProgressPhase::Marker), "marker");
    EXPECT_STREQ(ProgressPhaseName(ProgressPhase::Eject), "eject");
}

}  // namespace
