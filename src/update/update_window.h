// What the update run asks of its window. The desktop program and the
// command-line tool implement it, so both run the same update code.
//
// Threads: the run calls ShowScreen, SetProgress and ShowMessage from its
// worker thread as well as from the thread that called OnStart. Each call
// returns only when the window has carried it out (a message box: when it was
// closed). Since the worker may be waiting on the window, the window's thread
// must never wait for the worker.
#pragma once

#include <string>

// A text the run shows: one from the text table (key set) or a fixed text
// (key empty).
struct WindowText {
    std::string key;
    std::string text;

    bool FromTextTable() const { return !key.empty(); }
};

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
    // Moves the progress bar (0 to 100).
    virtual void SetProgress(int position) = 0;
    // A message box with an OK button.
    virtual void ShowMessage(const WindowText& message) = 0;
    // A Yes/No question whose default is No; true for Yes.
    virtual bool AskYesNo(const WindowText& question) = 0;
    // Ends the dialog as by its OK action; the program ends afterwards.
    virtual void EndDialog() = 0;
};
