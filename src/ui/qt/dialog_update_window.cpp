#include "ui/qt/dialog_update_window.h"

#include <QtCore/QMetaObject>
#include <QtCore/QThread>

#include "ui/qt/message_boxes.h"
#include "ui/qt/quillon_dlg.h"

namespace {
// The detail (a path, sizes) goes on a paragraph of its own.
QString ToQString(const WindowText& text) {
    QString shown = QString::fromStdString(text.text);
    if (!text.detail.empty()) shown += QStringLiteral("\n\n") + QString::fromStdString(text.detail);
    return shown;
}
}  // namespace

// On the dialog's thread the action runs at once (queuing it there and
// waiting would wait for ourselves); from the worker it is queued to the
// dialog's thread and the worker waits until it has run.
template <typename Action>
void DialogUpdateWindow::OnDialogThread(Action&& action) {
    if (QThread::currentThread() == dialog_.thread())
        action();
    else
        QMetaObject::invokeMethod(&dialog_, std::forward<Action>(action), Qt::BlockingQueuedConnection);
}

void DialogUpdateWindow::ShowScreen(int screen) {
    OnDialogThread([this, screen] { dialog_.SetScreen(screen); });
}

void DialogUpdateWindow::SetProgress(const UpdateProgress& progress) {
    OnDialogThread([this, &progress] { dialog_.SetProgress(progress); });
}

void DialogUpdateWindow::ShowWarning(const WindowText& warning) {
    const QString text = ToQString(warning);
    const QString on_screen = QString::fromStdString(warning.text);
    OnDialogThread([this, &text, &on_screen] {
        dialog_.SetFinalWarning(on_screen);
        dialog_.Boxes().Inform(&dialog_, text);
    });
}

void DialogUpdateWindow::ShowMessage(const WindowText& message) {
    const QString text = ToQString(message);
    OnDialogThread([this, &text] { dialog_.Boxes().Inform(&dialog_, text); });
}

bool DialogUpdateWindow::AskYesNo(const WindowText& question) {
    const QString text = ToQString(question);
    bool yes = false;
    OnDialogThread([this, &text, &yes] { yes = dialog_.Boxes().AskYesNo(&dialog_, text); });
    return yes;
}

void DialogUpdateWindow::EndDialog() {
    OnDialogThread([this] { dialog_.OnOK(); });
}
