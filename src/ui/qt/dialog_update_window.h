// The dialog as the update run's window. The run calls it from the dialog's
// own thread (Start) and from its worker thread; a worker's call is carried
// out on the dialog's thread and returns when it is done there, so the worker
// never touches a widget itself.
#pragma once

#include "update/update_window.h"

class CQuillonDlg;

class DialogUpdateWindow : public UpdateWindow {
public:
    explicit DialogUpdateWindow(CQuillonDlg& dialog) : dialog_(dialog) {}

    void ShowScreen(int screen) override;
    void SetProgress(const UpdateProgress& progress) override;
    void ShowMessage(const WindowText& message) override;
    void ShowWarning(const WindowText& warning) override;
    bool AskYesNo(const WindowText& question) override;
    void EndDialog() override;

private:
    template <typename Action>
    void OnDialogThread(Action&& action);

    CQuillonDlg& dialog_;
};
