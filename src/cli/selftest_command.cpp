// quillon-cli selftest: the engine's write/delete self-test.
#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "cli/cli_json.h"
#include "cli/cli_numbers.h"
#include "cli/sector_commands.h"
#include "device/platform/host_console.h"
#include "fat/engine.h"
#include "fat/self_test.h"

namespace {

constexpr int kFullPercent = 100;

// The count --iterations asks for, or nothing (with the usage message
// printed) when it is not a number from 1 to the most the test takes.
std::optional<int> ParseIterations(const CliContext& context) {
    int iterations = fat::kSelfTestDefaultIterations;
    for (const auto& [name, value] : context.command_options) {
        const auto count = ParseCliNumber(value, fat::kSelfTestMostIterations);
        if (!count || *count == 0) {
            CliUsage(std::string(kIterationsOption) + " takes a number of iterations from 1 to " +
                     std::to_string(fat::kSelfTestMostIterations) + ", not \"" + value + "\"");
            return std::nullopt;
        }
        iterations = static_cast<int>(*count);
    }
    return iterations;
}

// The share of the iterations done, on one line of a terminal's standard
// error that is drawn again only when the share changes. Lines printed
// meanwhile take the line's place; it is drawn again after them.
class ProgressLine {
public:
    ProgressLine() : shown_(platform::IsTerminal(stderr)) {}
    ~ProgressLine() { Clear(); }
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    void Show(int done, int total) {
        if (!shown_) return;
        const int percent = static_cast<int>(static_cast<long long>(done) * kFullPercent / total);
        if (percent == drawn_percent_) return;
        drawn_percent_ = percent;
        std::fprintf(stderr, "\rselftest: %3d%% of %d iterations\x1b[K", percent, total);
        std::fflush(stderr);
        open_ = true;
    }

    void Clear() {
        if (!open_) return;
        std::fputs("\r\x1b[K", stderr);
        std::fflush(stderr);
        open_ = false;
        drawn_percent_ = kNothingDrawn;
    }

private:
    static constexpr int kNothingDrawn = -1;
    bool shown_;
    bool open_ = false;
    int drawn_percent_ = kNothingDrawn;
};

bool AllRight(const fat::SelfTestResult& result, int iterations) {
    return result.first_file_count == iterations && result.second_file_count == iterations &&
           result.stopped_because.empty();
}

void PrintResult(const fat::SelfTestResult& result, int iterations, bool json) {
    if (json) {
        nlohmann::ordered_json report;
        report["iterations"] = iterations;
        report["iterations_run"] = result.iterations_run;
        report["right_cnt1"] = result.first_file_count;
        report["right_cnt2"] = result.second_file_count;
        report["ok"] = AllRight(result, iterations);
        report["stopped"] = nullptr;
        if (!result.stopped_because.empty()) report["stopped"] = result.stopped_because;
        CliPrintJson(report);
        return;
    }
    std::fputs((fat::FirstCountText(result.first_file_count) + "\n").c_str(), stdout);
    std::fputs((fat::SecondCountText(result.second_file_count) + "\n").c_str(), stdout);
    std::fflush(stdout);
}

std::string ShortCountsText(const fat::SelfTestResult& result, int iterations) {
    const std::string of = " of " + std::to_string(iterations);
    return "the self-test found failures: " + std::to_string(result.first_file_count) + of +
           " iterations right for the first file, " + std::to_string(result.second_file_count) + of +
           " for the second";
}

}  // namespace

int RunSelftest(CliContext& context) {
    if (!context.args.empty()) return CliUsage("selftest takes no argument " + context.args.front());
    const std::optional<int> iterations = ParseIterations(context);
    if (!iterations) return kExitUsage;
    if (!CliMountVolume(context)) return kExitFailed;

    // Under --json standard output carries the JSON alone.
    std::FILE* lines = context.options.json ? stderr : stdout;
    ProgressLine progress;
    fat::SelfTestHooks hooks;
    hooks.print = [&](const char* line) {
        progress.Clear();
        std::fputs(line, lines);
        std::fflush(lines);
    };
    hooks.progress = [&](int done, int total) {
        progress.Show(done, total);
        return true;
    };
    const fat::SelfTestResult result = fat::RunWriteDeleteTest(context.volume->Record(), *iterations, hooks);
    progress.Clear();

    PrintResult(result, *iterations, context.options.json);
    if (!result.stopped_because.empty()) return CliFail(result.stopped_because);
    if (!AllRight(result, *iterations)) return CliFail(ShortCountsText(result, *iterations));
    return kExitOk;
}
