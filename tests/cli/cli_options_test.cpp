// quillon-cli's command line: global options before the command, the
// command's own options after it, "--opt VALUE" and "--opt=VALUE" alike, and
// "--" ending the options so that any later word is an argument.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/cli_options.h"
#include "support/test_support.h"

using namespace testsupport;

namespace {

constexpr int kUsage = 2;

// The command line as the table below writes what it expects: the command
// with its arguments in brackets, then its options, then whichever global
// options differ from the defaults.
struct ParseCase {
    const char* name;
    std::vector<std::string> words;
    std::string expected;
};

const ParseCase kParseCases[] = {
    {"global_options_then_command", {"--image", "v.img", "--start", "0x10", "--json", "ls", "/DCIM"},
     "ls [/DCIM] image=v.img start=0x10 json"},
    {"camera_instead_of_image", {"--camera", "c.json", "--start=16", "info"}, "info [] start=16 camera=c.json"},
    {"global_options_with_equals", {"--image=v.img", "--start=16", "info"}, "info [] image=v.img start=16"},
    {"equals_splits_at_the_first", {"format", "--label=A=B"}, "format [] --label=A=B"},
    {"empty_value_after_equals", {"format", "--label="}, "format [] --label="},
    {"command_options_in_both_forms", {"format", "--size", "64M", "--fs=fat16"}, "format [] --size=64M --fs=fat16"},
    {"command_options_among_arguments", {"make-camera", "cam", "--allow-impossible", "--state", "2"},
     "make-camera [cam] --allow-impossible --state=2"},
    {"a_value_may_start_with_a_dash", {"make-camera", "cam", "--state", "-1"}, "make-camera [cam] --state=-1"},
    {"short_flag", {"rm", "-r", "/D"}, "rm [/D] -r"},
    {"json_before_the_command", {"--json", "ls"}, "ls [] json"},
    {"json_after_the_command", {"ls", "/", "--json"}, "ls [/] json"},
    {"double_dash_ends_options", {"--image", "v.img", "put", "--", "--json", "/"}, "put [--json /] image=v.img"},
    {"double_dash_keeps_help_and_flags", {"rm", "--", "-r", "--help"}, "rm [-r --help]"},
    {"lone_dash_is_an_argument", {"get", "/A.TXT", "-"}, "get [/A.TXT -]"},

    {"global_help", {"--image", "v.img", "--help", "ls"}, "help"},
    {"short_global_help", {"-h"}, "help"},
    {"bare_help_command", {"help"}, "help"},
    {"command_help", {"format", "--size", "1M", "--help"}, "help format"},
    {"short_command_help", {"rm", "-h"}, "help rm"},
    {"help_command_names_a_command", {"help", "put"}, "help put"},
    {"version", {"--version"}, "version"},

    {"nothing_at_all", {}, "usage error: no command given (short usage)"},
    {"no_command", {"--image", "v.img"}, "usage error: no command given (short usage)"},
    {"image_and_camera_together", {"--image", "v.img", "--camera", "c.json", "ls"},
     "usage error: --image and --camera name two different disks; give only one of them"},
    {"image_and_camera_with_equals", {"--camera=c.json", "--image=v.img", "info"},
     "usage error: --image and --camera name two different disks; give only one of them"},
    {"unknown_command", {"frobnicate"}, "usage error: unknown command frobnicate"},
    {"help_for_an_unknown_command", {"help", "frobnicate"}, "usage error: unknown command frobnicate"},
    {"help_for_two_commands", {"help", "ls", "rm"}, "usage error: help takes one COMMAND"},
    {"unknown_global_option", {"--verbose", "ls"}, "usage error: unknown option --verbose"},
    {"unknown_global_option_with_equals", {"--verbose=2", "ls"}, "usage error: unknown option --verbose"},
    {"unknown_command_option", {"ls", "--all"}, "usage error: unknown option --all"},
    {"option_of_another_command", {"ls", "--size", "1"}, "usage error: unknown option --size"},
    {"option_on_a_command_without_options", {"info", "-x"}, "usage error: unknown option -x"},
    {"version_is_global_only", {"ls", "--version"}, "usage error: unknown option --version"},
    {"global_flag_given_a_value", {"--json=yes", "info"}, "usage error: option --json takes no value"},
    {"command_flag_given_a_value", {"make-camera", "cam", "--allow-impossible=1"},
     "usage error: option --allow-impossible takes no value"},
    {"json_after_the_command_given_a_value", {"ls", "--json=1"}, "usage error: option --json takes no value"},
    {"global_value_missing", {"--image"}, "usage error: option --image needs a value"},
    {"command_value_missing", {"format", "--size"}, "usage error: option --size needs a value"},
    {"start_not_wholly_a_number", {"--start=0x4OOOO", "info"},
     "usage error: --start needs a sector number from 0 to 0x7FFFFFFF (decimal, or hexadecimal after 0x), "
     "not \"0x4OOOO\""},
};

bool TakesValue(const std::string& command, const std::string& option) {
    for (const CliOptionRule& rule : *CliCommandOptionRules(command))
        if (option == rule.name) return rule.takes_value;
    return false;
}

std::string CommandText(const CliCommandLine& line) {
    std::string text = line.command + " [";
    for (std::size_t i = 0; i < line.args.size(); ++i) text += (i ? " " : "") + line.args[i];
    text += "]";
    for (const auto& [name, value] : line.command_options)
        text += " " + (TakesValue(line.command, name) ? name + "=" + value : name);
    const CliOptions defaults;
    if (line.options.image != defaults.image) text += " image=" + line.options.image;
    if (line.options.start != defaults.start) text += " start=" + line.options.start;
    if (line.options.camera != defaults.camera) text += " camera=" + line.options.camera;
    if (line.options.json) text += " json";
    return text;
}

std::string Describe(const CliCommandLine& line) {
    switch (line.request) {
    case CliRequest::UsageError:
        return "usage error: " + line.usage_error + (line.missing_command ? " (short usage)" : "");
    case CliRequest::ShowHelp:
        return "help";
    case CliRequest::ShowCommandHelp:
        return "help " + line.command;
    case CliRequest::ShowVersion:
        return "version";
    case CliRequest::RunCommand:
        break;
    }
    return CommandText(line);
}

class CliCommandLineParse : public ::testing::TestWithParam<ParseCase> {};

TEST_P(CliCommandLineParse, GivesTheRequestTheWordsMake) {
    EXPECT_EQ(Describe(ParseCliCommandLine(GetParam().words, CliCommandOptionRules)), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Words, CliCommandLineParse, ::testing::ValuesIn(kParseCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Through the program itself, run in a scratch folder so that a relative
// local name means a file there.
class CliCommandLineRun : public ::testing::Test {
protected:
    void SetUp() override {
        dir = ScratchDir();
        MakeFatImage(dir + "/v.img", 16u << 20, "-F 16");
    }

    RunResult Quillon(const std::string& args) {
        return testsupport::Run("cd " + Quote(dir) + " && " + Quote(QUILLON_CLI_PATH) + " " + args);
    }

    std::string dir;
};

TEST_F(CliCommandLineRun, WordsAfterDoubleDashAreLocalNamesNotOptions) {
    const RunResult missing = Quillon("--image=v.img --start=0 put -- --json /");
    EXPECT_EQ(missing.exit_code, 1) << missing.err;
    EXPECT_NE(missing.err.find("no such file or folder: --json"), std::string::npos) << missing.err;
    EXPECT_EQ(Quillon("--image=v.img --start=0 ls --json").out, "[]\n") << "nothing was imported";

    WriteFileBytes(dir + "/--json", {'j', '\n'});
    const RunResult put = Quillon("--image=v.img --start=0 put -- --json /");
    ASSERT_EQ(put.exit_code, 0) << put.err;
    const RunResult copied = Quillon("--image v.img --start 0 get -- /--json -");
    EXPECT_EQ(copied.exit_code, 0) << copied.err;
    EXPECT_EQ(copied.out, "j\n");
}

TEST_F(CliCommandLineRun, UsageAndVersionAreAnsweredWithoutAVolume) {
    for (const char* args : {"put --help", "help put", "--image=missing.img put -h"}) {
        const RunResult r = Quillon(args);
        EXPECT_EQ(r.exit_code, 0) << args << "\n" << r.err;
        EXPECT_NE(r.out.find("put LOCAL [DIR]"), std::string::npos) << args << "\n" << r.out;
    }
    const RunResult version = Quillon("--version");
    EXPECT_EQ(version.exit_code, 0) << version.err;
    EXPECT_EQ(version.out.rfind("quillon-cli 1.", 0), 0u) << version.out;

    const RunResult unknown = Quillon("--image=v.img ls --all");
    EXPECT_EQ(unknown.exit_code, kUsage);
    EXPECT_NE(unknown.err.find("unknown option --all"), std::string::npos) << unknown.err;
}

}  // namespace
