// What the update run asks of its window. The desktop program and the
// command-line tool implement it, so both run the same update code.
//
// Threads: the run calls ShowScreen, SetProgress and ShowMessage from its
// worker thread as well as from the thread that called OnStart. Each call
// returns only when the window has carried it out (a message box: when it was
// closed). Since the worker may be waiting on the window, the window's thread
// must never wait for the worker.
#pragma once

#include <cstdint>
#include <string>

// A text the run shows: one from the text table (key set) or a fixed text
// (key empty), with what this run found out (a path, sizes, a state word)
// as its detail, shown after the text.
struct WindowText {
    std::string key;
    std::string text;
    std::string detail = {};

    bool FromTextTable() const { return !key.empty(); }
};

// What the progress bar stands for at the moment.
enum class ProgressPhase { Copy, Verify, Marker, Eject };
const char* ProgressPhaseName(ProgressPhase phase);  // "copy", "verify", ...

constexpr int kUnknownSecondsLeft = -1;

struct UpdateProgress {
    int position = 0;  // the bar, 0 to 100
    ProgressPhase phase = ProgressPhase::Copy;
    // Bytes of the update file done in this phase, of `total`; both 0 in
    // the phases that move no file bytes.
    std::uint64_t bytes = 0;
    std::uint64_t total = 0;
    int seconds_left = kUnknownSecondsLeft;  // until the copy is verified
};

// "copying 12.5 of 40.0 MiB, 9 s left" for the phases that move file bytes;
// empty for the others.
std::string ProgressDetailText(const UpdateProgress& progress);

// The screens: before the run, while the update file is copied, finished.
constexpr int kScreenStart = 1;
constexpr int kScreenCopying = 2;
constexpr int kScreenFinished = 3;

class UpdateWindow {
public:
    virtual ~UpdateWindow() = default;
    // The screen number has changed: draw that screen. The copying screen
    // shows the progress bar (range 0 to 100, position 0) instead of Start.
    virtual void ShowScreen(int screen) = 0;
    // Moves the progress bar (0 to 100); called only when the position moves.
    virtual void SetProgress(const UpdateProgress& progress) = 0;
    // A message box with an OK button.
    virtual void ShowMessage(const WindowText& message) = 0;
    // Something the user must know although the update is on the camera;
    // the final screen follows and keeps showing it.
    virtual void ShowWarning(const WindowText& warning) = 0;
    // A diagnostic line of the run (with its line end); by default on
    // standard output, where the program has always printed them.
    virtual void ShowDiagnostic(const std::string& line);
    // A Yes/No question whose default is No; true for Yes.
    virtual bool AskYesNo(const WindowText& question) = 0;
    // Ends the dialog as by its OK action; the program ends afterwards.
    virtual void EndDialog() = 0;
};
