#include "ui/qt/self_test_worker.h"

#include <QtCore/QMetaType>
#include <QtCore/QString>
#include <QtCore/QThread>
#include <QtWidgets/QLabel>
#include <QtWidgets/QPushButton>

#include <algorithm>

#include "fat/engine.h"
#include "ui/qt/developer_tools.h"
#include "ui/qt/dialog_volume_explorer.h"
#include "ui/qt/quillon_dlg.h"

namespace {

const QString kNotMountedText =
    QStringLiteral("Write Delete Test: no volume is mounted. Open the camera's volume in the explorer first.");
const QString kUpdateRunningText = QStringLiteral("Write Delete Test: not while the update is being copied.");
const QString kCancelledText = QStringLiteral("Write Delete Test cancelled after %1 of %2 iterations.");
const QString kStoppedText = QStringLiteral("Write Delete Test stopped after %1 of %2 iterations: %3");

QString FromUtf8(const std::string& text) { return QString::fromStdString(text); }

// A run that went all the way says so through its counts alone.
QString EndText(const fat::SelfTestResult& result, int total) {
    if (!result.stopped_because.empty())
        return kStoppedText.arg(result.iterations_run).arg(total).arg(FromUtf8(result.stopped_because));
    if (result.cancelled)
        return kCancelledText.arg(result.iterations_run).arg(total);
    return {};
}

}  // namespace

SelfTestWorker::SelfTestWorker(FatVolume& volume, int iterations) : volume_(volume), iterations_(iterations) {}

// The ERROR lines go to standard output as they happen: the hooks' print
// stays unset.
void SelfTestWorker::Run() {
    fat::SelfTestHooks hooks;
    hooks.progress = [this](int done, int total) {
        emit IterationDone(done, total);
        return !cancelled_;
    };
    result_ = fat::RunWriteDeleteTest(volume_, iterations_, hooks);
    emit Finished(result_);
}

DialogSelfTest::DialogSelfTest(CQuillonDlg& dialog, DeveloperTools& tools) : dialog_(dialog), tools_(tools) {
    // The result crosses from the worker's thread in a queued signal.
    qRegisterMetaType<fat::SelfTestResult>();
}

DialogSelfTest::~DialogSelfTest() {
    if (!Running())
        return;
    worker_->Cancel();
    thread_->wait();
}

std::vector<QWidget*> DialogSelfTest::HeldWidgets() const {
    std::vector<QWidget*> widgets = tools_.VolumeCommandWidgets();
    // Start would look for the camera again and mount the volume anew.
    widgets.push_back(dialog_.StartButton);
    return widgets;
}

void DialogSelfTest::OnWriteDeleteTest() {
    if (Running())
        return;
    // The update worker shows the volume to the explorer when it ends,
    // which mounts it again.
    if (dialog_.ScreenNumber == kScreenCopying) {
        tools_.StatusText->setText(kUpdateRunningText);
        return;
    }
    if (!fat::DefaultVolume().IsMounted()) {
        tools_.StatusText->setText(kNotMountedText);
        return;
    }
    tools_.StatusText->clear();
    run_total_ = std::max(iterations, 1);
    const int run = ++run_number_;
    hold_ = std::make_unique<WidgetHold>(HeldWidgets());
    tools_.ShowSelfTestRunning(true, run_total_);

    worker_ = std::make_unique<SelfTestWorker>(FatTheVolume(), run_total_);
    connect(worker_.get(), &SelfTestWorker::IterationDone, this,
            [this, run](int done, int) { OnIterationDone(run, done); });
    connect(worker_.get(), &SelfTestWorker::Finished, this,
            [this, run](const fat::SelfTestResult& result) { OnFinished(run, result); });
    thread_.reset(QThread::create([worker = worker_.get()] { worker->Run(); }));
    thread_->start();
}

void DialogSelfTest::OnCancel() {
    if (!Running())
        return;
    worker_->Cancel();
    // Pressed once is enough; the test ends after the iteration under way.
    tools_.CancelSelfTestButton->setEnabled(false);
}

void DialogSelfTest::Stop() {
    if (!Running())
        return;
    worker_->Cancel();
    thread_->wait();
    Finish(worker_->Result());
}

void DialogSelfTest::OnIterationDone(int run, int done) {
    if (run == run_number_ && Running())
        tools_.SetSelfTestProgress(done);
}

void DialogSelfTest::OnFinished(int run, const fat::SelfTestResult& result) {
    if (run != run_number_ || !Running())
        return;
    thread_->wait();
    Finish(result);
}

// Taken by value: the result may live in the worker, which goes first.
void DialogSelfTest::Finish(fat::SelfTestResult result) {
    thread_.reset();
    worker_.reset();
    hold_.reset();
    tools_.ShowSelfTestRunning(false, 0);
    tools_.RightCountText->setText(FromUtf8(fat::FirstCountText(result.first_file_count)));
    tools_.TotalCountText->setText(FromUtf8(fat::SecondCountText(result.second_file_count)));
    tools_.StatusText->setText(EndText(result, run_total_));
    dialog_.DoDataExchange(true);
    // A test file that could not be deleted is still there.
    dialog_.Explorer().RereadVolumeFolder();
    emit Ended();
}
