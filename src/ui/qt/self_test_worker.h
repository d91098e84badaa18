// The developer window's Write Delete Test. The test writes and reads back
// some 3.9 MB per iteration, a thousand times, so it runs on a thread of its
// own: the window keeps answering, shows how far the test has come and
// offers a Cancel. The worker touches no widget; it reports its progress
// and its result through signals, which reach the dialog's thread queued.
//
// While the test runs, every command that reads or writes the camera's
// volume or disks is disabled, so the volume is used by one thread at a
// time.
#pragma once

#include <QtCore/QObject>

#include <atomic>
#include <memory>
#include <vector>

#include "fat/self_test.h"

class CQuillonDlg;
class DeveloperTools;
class QThread;
class QWidget;
class WidgetHold;

class SelfTestWorker : public QObject {
    Q_OBJECT
public:
    SelfTestWorker(FatVolume& volume, int iterations);

    // On the worker's thread: the whole test, then Finished.
    void Run();
    // From any thread: the test stops after the iteration under way.
    void Cancel() { cancelled_ = true; }
    // What Run gave; read once its thread has ended.
    const fat::SelfTestResult& Result() const { return result_; }

signals:
    void IterationDone(int done, int total);
    void Finished(const fat::SelfTestResult& result);

private:
    FatVolume& volume_;
    const int iterations_;
    std::atomic<bool> cancelled_{false};
    fat::SelfTestResult result_;
};

class DialogSelfTest : public QObject {
    Q_OBJECT
public:
    DialogSelfTest(CQuillonDlg& dialog, DeveloperTools& tools);
    // Cancels a running test and waits for its thread; shows nothing.
    ~DialogSelfTest() override;

    // The Write Delete Test button: starts the test on the engine's mounted
    // default volume, or says in the status line why it cannot.
    void OnWriteDeleteTest();
    // The Cancel button beside the progress.
    void OnCancel();
    // Cancels a running test, waits for its thread and shows the outcome at
    // once (the dialog is closing).
    void Stop();
    bool Running() const { return thread_ != nullptr; }

    // How many iterations a run has; tests run a few.
    int iterations = fat::kSelfTestDefaultIterations;

signals:
    // A run has ended and its outcome is shown.
    void Ended();

private:
    void OnIterationDone(int run, int done);
    void OnFinished(int run, const fat::SelfTestResult& result);
    // Back to idle: the thread is gone, the widgets are given back and the
    // counts and the way the run ended are shown.
    void Finish(fat::SelfTestResult result);
    std::vector<QWidget*> HeldWidgets() const;

    CQuillonDlg& dialog_;
    DeveloperTools& tools_;
    std::unique_ptr<SelfTestWorker> worker_;
    std::unique_ptr<QThread> thread_;
    std::unique_ptr<WidgetHold> hold_;
    int run_total_ = 0;
    // Numbers the runs, so a signal still queued from a run that Stop has
    // already ended is not taken for the next run's.
    int run_number_ = 0;
};
