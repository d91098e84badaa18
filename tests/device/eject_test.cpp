// Ejecting the user volume: diagnostic lines, progress positions and pauses
// for volumes whose steps fail a given number of times.
#include <gtest/gtest.h>

#include <vector>

#include "device/eject.h"
#include "support/camera_fixture.h"
#include "support/test_support.h"

namespace {

using nlohmann::json;

struct EjectCase {
    const char* name;
    unsigned lock_failures;
    unsigned dismount_failures;
    unsigned eject_failures;
};

// Failed attempts of one step: every failure up to the 11th attempt.
unsigned FailedAttempts(unsigned failures) { return failures < kEjectAttempts ? failures : kEjectAttempts; }
// One pause between two attempts: none after the last one.
unsigned Pauses(unsigned failures) { return failures < kEjectAttempts ? failures : kEjectAttempts - 1; }

std::string Repeat(const std::string& line, unsigned times) {
    std::string text;
    for (unsigned i = 0; i < times; ++i) text += line;
    return text;
}

std::string ExpectedLines(const EjectCase& c) {
    return "eject[\\\\.\\E:]\n"
           "Try FSCTL_LOCK_VOLUME\n" +
           Repeat("FSCTL_LOCK_VOLUME failed\n", FailedAttempts(c.lock_failures)) + "Try FSCTL_DISMOUNT_VOLUME\n" +
           Repeat("FSCTL_DISMOUNT_VOLUME failed\n", FailedAttempts(c.dismount_failures)) +
           "Try IOCTL_STORAGE_EJECT_MEDIA\n"
           "IOCTL_STORAGE_EJECT_MEDIA\n";
}

const EjectCase kEjectCases[] = {
    {"all_succeed_at_once", 0, 0, 0},
    {"lock_fails_three_times", 3, 0, 0},
    {"every_step_fails_then_succeeds", 1, 2, 4},
    {"lock_fails_ten_times_then_succeeds", 10, 0, 0},
    {"lock_always_fails", 11, 0, 0},
    {"every_step_always_fails", 11, 11, 11},
    {"failures_beyond_eleven", 40, 0, 25},
};

class EjectTest : public ::testing::TestWithParam<EjectCase> {};

TEST_P(EjectTest, PrintsTriesAndFailuresAndMovesTheProgress) {
    const EjectCase& c = GetParam();
    json manifest = {{"drives", json::array({{{"letter", "E"},
                                              {"eject",
                                               {{"lock_failures", c.lock_failures},
                                                {"dismount_failures", c.dismount_failures},
                                                {"eject_failures", c.eject_failures}}}}})}};
    auto camera = testsupport::InstallCamera(testsupport::ScratchDir(), manifest);

    std::vector<int> positions;
    ::testing::internal::CaptureStdout();
    const EjectOutcome outcome = EjectVolume('E', [&](int position) { positions.push_back(position); });
    const std::string out = ::testing::internal::GetCapturedStdout();

    EXPECT_EQ(out, ExpectedLines(c));
    EXPECT_TRUE(outcome.opened);
    EXPECT_EQ(outcome.locked, c.lock_failures < platform::kAlwaysFails);
    EXPECT_EQ(outcome.dismounted, c.dismount_failures < platform::kAlwaysFails);
    EXPECT_EQ(outcome.SafeToUnplug(), c.eject_failures < platform::kAlwaysFails);
    EXPECT_EQ(positions, (std::vector<int>{94, 100, 98}));
    const unsigned pauses = Pauses(c.lock_failures) + Pauses(c.dismount_failures) + Pauses(c.eject_failures);
    EXPECT_EQ(camera->Get().PauseCount(), pauses);
    EXPECT_EQ(camera->Get().PausedMilliseconds(), pauses * std::uint64_t{kEjectRetryPauseMs});
}

INSTANTIATE_TEST_SUITE_P(Cases, EjectTest, ::testing::ValuesIn(kEjectCases),
                         [](const auto& info) { return std::string(info.param.name); });

struct UnopenedCase {
    const char* name;
    const char* manifest;
};

const UnopenedCase kUnopenedCases[] = {
    {"open_fails", R"({"drives": [{"letter": "E", "eject": {"open_fails": true}}]})"},
    {"volume_does_not_open", R"({"drives": [{"letter": "E", "opens": false}]})"},
    {"no_such_drive", R"({"drives": [{"letter": "F"}]})"},
};

class EjectUnopenedTest : public ::testing::TestWithParam<UnopenedCase> {};

TEST_P(EjectUnopenedTest, StopsAfterTheFirstLine) {
    auto camera = testsupport::InstallCamera(testsupport::ScratchDir(), json::parse(GetParam().manifest));
    std::vector<int> positions;
    ::testing::internal::CaptureStdout();
    const EjectOutcome outcome = EjectVolume('E', [&](int position) { positions.push_back(position); });
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "eject[\\\\.\\E:]\n");
    EXPECT_FALSE(outcome.opened);
    EXPECT_FALSE(outcome.SafeToUnplug());
    EXPECT_TRUE(positions.empty());
    EXPECT_EQ(camera->Get().PauseCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cases, EjectUnopenedTest, ::testing::ValuesIn(kUnopenedCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
