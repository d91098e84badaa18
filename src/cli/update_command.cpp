// quillon-cli update: the update run without a window. The run is the one the
// desktop program makes; this file only stands in for its window: screens
// and progress become lines (a progress bar on a terminal, or JSON events),
// message boxes go to standard error, and the state-word question is
// answered by --answer or on the terminal.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "app/exe_directory.h"
#include "app/gfx_directory.h"
#include "cli/camera_attach.h"
#include "cli/camera_commands.h"
#include "device/platform/host_console.h"
#include "device/platform/platform.h"
#include "device/platform/sim/sim_platform.h"
#include "fat/diagnostics.h"
#include "fat/engine.h"
#include "texts/text_table.h"
#include "update/rights_text.h"
#include "update/update_run.h"

namespace {

using Json = nlohmann::ordered_json;

constexpr int kBarWidth = 40;
constexpr int kFullBar = 100;
constexpr char kNoAnswerNote[] =
    "no answer to the camera's question (standard input is not a terminal; give --answer yes|no): "
    "answering No";
constexpr char kDeclinedText[] = "update cancelled: the camera's question was answered No";
constexpr char kNotCompletedText[] = "the update was not completed";

enum class Answer { AskTerminal, Yes, No };

std::string Dump(const Json& json) { return json.dump(-1, ' ', false, Json::error_handler_t::replace); }

Json KeyOrNull(const WindowText& text) { return text.FromTextTable() ? Json(text.key) : Json(nullptr); }

std::string ScreenLine(int screen) {
    switch (screen) {
        case kScreenStart: return "Ready to start the update";
        case kScreenCopying: return "Copying the update to the camera";
        case kScreenFinished: return "The update is on the camera";
    }
    return "Screen " + std::to_string(screen);
}

std::string ProgressBar(int position) {
    const int filled = std::clamp(position, 0, kFullBar) * kBarWidth / kFullBar;
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%%", position);
    return "[" + std::string(filled, '#') + std::string(kBarWidth - filled, '-') + "] " + percent;
}

std::string WithDetail(const WindowText& text) {
    return text.detail.empty() ? text.text : text.text + " (" + text.detail + ")";
}

std::string WithoutLineEnd(std::string line) {
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

Json WithDetail(Json event, const WindowText& text) {
    if (!text.detail.empty()) event["detail"] = text.detail;
    return event;
}

Json ProgressEvent(const UpdateProgress& progress) {
    Json event = {{"event", "progress"}, {"position", progress.position}, {"phase", ProgressPhaseName(progress.phase)}};
    if (progress.total > 0) {
        event["bytes"] = progress.bytes;
        event["total"] = progress.total;
    }
    if (progress.seconds_left != kUnknownSecondsLeft) event["seconds_left"] = progress.seconds_left;
    return event;
}

// Stands in for the dialog. The run calls it from its worker thread while
// the main thread only waits, so no two calls overlap.
class TerminalUpdateWindow : public UpdateWindow {
public:
    TerminalUpdateWindow(bool json, Answer answer) : json_(json), answer_(answer), bar_(platform::IsTerminal(stdout)) {}

    void ShowScreen(int screen) override {
        if (json_) return Emit({{"event", "screen"}, {"screen", screen}});
        EndBarLine();
        Out() << ScreenLine(screen) << "\n";
        Out().flush();
    }

    void SetProgress(const UpdateProgress& progress) override {
        if (json_) return Emit(ProgressEvent(progress));
        const std::string detail = ProgressDetailText(progress);
        if (!bar_) {
            Out() << "Progress: " << progress.position << "%" << (detail.empty() ? "" : " (" + detail + ")") << "\n";
            Out().flush();
            return;
        }
        // The copy redraws one line; the steps after it (marker, eject) print
        // diagnostic lines of their own, so each of their positions gets a line.
        past_copy_ = past_copy_ || progress.position > kProgressCopyEnd;
        Out() << "\r" << ProgressBar(progress.position) << (detail.empty() ? "" : " " + detail) << "\x1b[K"
              << (past_copy_ ? "\n" : "");
        bar_open_ = !past_copy_;
        Out().flush();
    }

    void ShowMessage(const WindowText& message) override {
        if (json_) Emit(WithDetail({{"event", "message"}, {"key", KeyOrNull(message)}, {"text", message.text}}, message));
        EndBarLine();
        CliFail(WithDetail(message));
        message_shown_ = true;
    }

    void ShowWarning(const WindowText& warning) override {
        if (json_) Emit(WithDetail({{"event", "warning"}, {"text", warning.text}}, warning));
        EndBarLine();
        std::fflush(stdout);
        std::cerr << "quillon-cli: warning: " << WithDetail(warning) << "\n";
    }

    void ShowDiagnostic(const std::string& line) override {
        if (json_) return Emit({{"event", "diagnostic"}, {"text", WithoutLineEnd(line)}});
        EndBarLine();
        UpdateWindow::ShowDiagnostic(line);
    }

    bool AskYesNo(const WindowText& question) override {
        EndBarLine();
        const bool yes = Answered(question);
        if (json_)
            Emit({{"event", "question"}, {"key", question.key}, {"text", question.text}, {"answer", yes ? "yes" : "no"}});
        return yes;
    }

    void EndDialog() override {}

    void ShowResult(bool ok) {
        if (json_) Emit({{"event", "result"}, {"ok", ok}});
        EndBarLine();
    }

    bool MessageShown() const { return message_shown_; }

private:
    static std::ostream& Out() { return std::cout; }

    void Emit(const Json& event) {
        std::fflush(stdout);
        Out() << Dump(event) << std::endl;
    }

    void EndBarLine() {
        if (!bar_open_) return;
        Out() << "\n";
        Out().flush();
        bar_open_ = false;
    }

    bool Answered(const WindowText& question) {
        if (answer_ != Answer::AskTerminal) return answer_ == Answer::Yes;
        if (!platform::IsTerminal(stdin)) {
            std::cerr << "quillon-cli: " << kNoAnswerNote << "\n";
            return false;
        }
        std::cerr << question.text << " [y/N] " << std::flush;
        std::string reply;
        if (!std::getline(std::cin, reply)) return false;
        return reply == "y" || reply == "Y" || reply == "yes" || reply == "Yes" || reply == "YES";
    }

    bool json_;
    Answer answer_;
    bool bar_;
    bool bar_open_ = false;
    bool past_copy_ = false;
    bool message_shown_ = false;
};

// The engine's lines (a mount during discovery) take the window's way, so
// that under --json they become diagnostic events instead of breaking the
// JSON on standard output.
class WindowDiagnostics : public fat::Diagnostics {
public:
    explicit WindowDiagnostics(UpdateWindow& window) : window_(window) {}
    void Report(fat::DiagnosticKind, const std::string& text) override { window_.ShowDiagnostic(text); }

private:
    UpdateWindow& window_;
};

// Puts the default volume's lines through a sink for as long as it lives.
class DiagnosticsRoute {
public:
    explicit DiagnosticsRoute(fat::Diagnostics& sink) { fat::DefaultVolume().SetDiagnostics(sink); }
    ~DiagnosticsRoute() { fat::DefaultVolume().SetDiagnostics(fat::ConsoleDiagnostics()); }
    DiagnosticsRoute(const DiagnosticsRoute&) = delete;
    DiagnosticsRoute& operator=(const DiagnosticsRoute&) = delete;
};

struct UpdateArguments {
    std::string gfx_directory;
    Answer answer = Answer::AskTerminal;
};

// False (usage error printed) for unknown options, values or extra arguments.
bool ParseUpdateArguments(const CliContext& context, UpdateArguments& arguments) {
    if (!context.args.empty()) {
        CliUsage("update takes no argument " + context.args.front());
        return false;
    }
    arguments.gfx_directory = DefaultGfxDirectory(ExeDirectory(), context.options.camera);
    for (const auto& [name, value] : context.command_options) {
        if (name == "--gfx") {
            arguments.gfx_directory = value;
        } else if (value == "yes" || value == "no") {
            arguments.answer = value == "yes" ? Answer::Yes : Answer::No;
        } else {
            CliUsage("--answer takes yes or no, not " + value);
            return false;
        }
    }
    return true;
}

struct RunFile {
    std::string path;
    const char* use;  // what the run does with it
};

// What the run reads (every file of the GFX_DATA folder: texts, pictures,
// the update file) and writes (the copy of the update file on each drive
// that has a folder for its files).
std::vector<RunFile> FilesOfTheRun(const std::string& gfx_directory) {
    std::vector<RunFile> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(gfx_directory, error))
        files.push_back({entry.path().string(), "reads"});
    if (const platform::SimulatedPlatform* camera = platform::InstalledSimulation())
        for (const auto& [letter, drive] : camera->Drives())
            if (!drive.root.empty())
                for (const char* name : {kUpdateFileName, kUpdateTempFileName})
                    files.push_back({(std::filesystem::path(drive.root) / name).string(), "writes"});
    return files;
}

// A manifest may name any file as a disk image. The marker written into one
// the run also reads, or the copy written over one, would ruin both.
std::string ImageClash(const std::string& gfx_directory) {
    const std::vector<RunFile> run_files = FilesOfTheRun(gfx_directory);
    for (const std::string& image : platform::InstalledImageFiles())
        for (const RunFile& file : run_files)
            if (platform::IsSameFile(image, file.path))
                return "the camera's disk image " + image + " is a file the update " + file.use +
                       (file.path == image ? "" : " (" + file.path + ")") + "; a disk image must be a file of its own";
    return {};
}

// The checks the desktop program makes before its first screen: the text
// table must load and the user must hold administrator rights.
bool PrepareTexts(const std::string& gfx_directory, TextTable& texts, TerminalUpdateWindow& window) {
    const TextTableLoad load = LoadTextTable(TextTablePath(gfx_directory), texts);
    if (load.status == TextTableStatus::Missing) {
        window.ShowMessage({"", kTextTableMissingText, TextTablePath(gfx_directory)});
        return false;
    }
    if (load.status == TextTableStatus::FormatError)
        std::cerr << "quillon-cli: warning: " << TextTablePath(gfx_directory) << " line " << load.blank_line
                  << " is blank; the texts after it are not loaded\n";
    if (!platform::CurrentPlatform().IsAdministrator()) {
        window.ShowMessage({MissingRightsTextKey(texts), MissingRightsText(texts)});
        return false;
    }
    return true;
}

}  // namespace

int RunUpdate(CliContext& context) {
    UpdateArguments arguments;
    if (!ParseUpdateArguments(context, arguments)) return kExitUsage;
    std::string error;
    if (!InstallCommandPlatform(context.options.camera, &error)) return CliFail(error);
    if (const std::string clash = ImageClash(arguments.gfx_directory); !clash.empty()) return CliFail(clash);

    TerminalUpdateWindow window(context.options.json, arguments.answer);
    WindowDiagnostics diagnostics(window);
    DiagnosticsRoute route(diagnostics);
    TextTable texts;
    bool ok = false;
    std::string log_path;
    StartOutcome outcome = StartOutcome::CameraNotFound;
    if (PrepareTexts(arguments.gfx_directory, texts, window)) {
        DeviceRecord record;
        UpdateRun run(window, texts, record, arguments.gfx_directory);
        log_path = run.LogPath();
        window.ShowScreen(run.ScreenNumber());
        outcome = run.OnStart();
        run.WaitForWorker();
        ok = run.Succeeded();
    }
    window.ShowResult(ok);
    if (ok) return kExitOk;
    if (!window.MessageShown()) CliFail(outcome == StartOutcome::Declined ? kDeclinedText : kNotCompletedText);
    if (!log_path.empty()) std::cerr << "quillon-cli: the log of this run is in " << log_path << "\n";
    return kExitFailed;
}
