// Where the log of update runs lives and how it grows: a user who reports a
// failure is told one place, and every run adds to what is there.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "update/run_log.h"

namespace fs = std::filesystem;

namespace {

// The tests change the environment the log's place comes from and put it
// back afterwards, as the next test expects to find it.
class SavedVariable {
public:
    explicit SavedVariable(const char* name) : name_(name) {
        if (const char* value = std::getenv(name)) value_ = value;
    }
    ~SavedVariable() { testsupport::SetVariable(name_, value_ ? value_->c_str() : nullptr); }
    SavedVariable(const SavedVariable&) = delete;
    SavedVariable& operator=(const SavedVariable&) = delete;

private:
    const char* name_;
    std::optional<std::string> value_;
};

void SetOrUnset(const char* name, const std::optional<std::string>& value) {
    testsupport::SetVariable(name, value ? value->c_str() : nullptr);
}

// Paths below are relative to the test's scratch folder; "-" leaves the
// variable unset.
struct PlaceCase {
    const char* name;
    const char* state_home;
    const char* home;
    const char* log;  // the expected log file; empty: no log
};
void PrintTo(const PlaceCase& c, std::ostream* os) { *os << c.name; }

const PlaceCase kPlaceCases[] = {
    {"state_home_given", "/state", "/home", "/state/quillon/quillon.log"},
    {"state_home_unset", "-", "/home", "/home/.local/state/quillon/quillon.log"},
    {"state_home_empty", "", "/home", "/home/.local/state/quillon/quillon.log"},
    // The XDG rules call a relative folder invalid: it is ignored.
    {"state_home_relative", "relative/state", "/home", "/home/.local/state/quillon/quillon.log"},
    {"neither_folder_known", "-", "-", ""},
};

class RunLogPlace : public ::testing::TestWithParam<PlaceCase> {};

TEST_P(RunLogPlace, FollowsTheUsersStateFolder) {
#ifdef _WIN32
    GTEST_SKIP() << "the XDG folders are Linux's; Windows keeps the log in the local application data folder";
#endif
    const PlaceCase& c = GetParam();
    const std::string scratch = testsupport::ScratchDir();
    const auto value = [&](const char* text) -> std::optional<std::string> {
        const std::string given = text;
        if (given == "-") return std::nullopt;
        return given.empty() || given.front() != '/' ? given : scratch + given;
    };
    SavedVariable saved_state("XDG_STATE_HOME");
    SavedVariable saved_home("HOME");
    SetOrUnset("XDG_STATE_HOME", value(c.state_home));
    SetOrUnset("HOME", value(c.home));

    const std::string path = RunLog::DefaultPath();
    if (std::string(c.log).empty()) {
        EXPECT_EQ(path, "");
        return;
    }
    EXPECT_EQ(path, scratch + c.log);
    // The folder is made, so the first line of the first run has a place.
    EXPECT_TRUE(fs::is_directory(fs::path(path).parent_path())) << path;
    const std::optional<std::string> state_home = value(c.state_home);
    if (state_home && !state_home->empty() && state_home->front() != '/') {
        EXPECT_FALSE(fs::exists(*state_home)) << "a relative state folder is never used";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, RunLogPlace, ::testing::ValuesIn(kPlaceCases),
                         [](const auto& info) { return std::string(info.param.name); });

#ifdef _WIN32
TEST(RunLogPlace, IsInTheLocalApplicationDataFolderOnWindows) {
    const std::string scratch = testsupport::ScratchDir();
    SavedVariable saved("LOCALAPPDATA");
    testsupport::SetVariable("LOCALAPPDATA", scratch.c_str());
    EXPECT_EQ(fs::path(RunLog::DefaultPath()), fs::path(scratch) / "quillon" / "quillon.log");
    testsupport::SetVariable("LOCALAPPDATA", nullptr);
    EXPECT_EQ(RunLog::DefaultPath(), "") << "no folder known, no log";
}
#endif

std::vector<std::string> LinesOf(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Each line carries its time, a line end inside a text never splits it, and
// a second log on the same file (the next run) adds to the first.
TEST(RunLog, AppendsOneStampedLinePerEntry) {
    const std::string path = testsupport::ScratchDir() + "/quillon.log";
    {
        RunLog first(path);
        first.Line("camera found\n");
        first.Diagnostic("Try FSCTL_LOCK_VOLUME\r\n");
    }
    RunLog second(path);
    second.Line("run ended");
    EXPECT_EQ(second.Path(), path);

    const std::vector<std::string> lines = LinesOf(path);
    ASSERT_EQ(lines.size(), 3u);
    const std::vector<std::string> texts = {"camera found", "  | Try FSCTL_LOCK_VOLUME", "run ended"};
    for (std::size_t i = 0; i < lines.size(); ++i) {
        // "2026-01-31T12:34:56Z text"
        ASSERT_GT(lines[i].size(), 21u) << lines[i];
        EXPECT_EQ(lines[i][4], '-') << lines[i];
        EXPECT_EQ(lines[i].substr(19, 2), "Z ") << lines[i];
        EXPECT_EQ(lines[i].substr(21), texts[i]);
    }
}

TEST(RunLog, WithoutAPathKeepsNothing) {
    const std::string dir = testsupport::ScratchDir();
    RunLog none("");
    none.Line("camera found");
    EXPECT_EQ(none.Path(), "");
    EXPECT_TRUE(fs::is_empty(dir));
}

}  // namespace
