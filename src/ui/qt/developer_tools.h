// The developer's controls of the main dialog: the explorer of the camera's
// hidden volume, the sector tools, the engine self-test and the two marker
// buttons, with the status line their commands report on. They live in a
// window of their own that the program shows only in developer mode; the
// dialog owns it and wires the commands.
#pragma once

#include <QtWidgets/QWidget>

#include <utility>
#include <vector>

class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTreeView;

// Disables widgets for as long as it lives and gives each its own state
// back afterwards.
class WidgetHold {
public:
    explicit WidgetHold(const std::vector<QWidget*>& widgets);
    ~WidgetHold();
    WidgetHold(const WidgetHold&) = delete;
    WidgetHold& operator=(const WidgetHold&) = delete;

private:
    std::vector<std::pair<QWidget*, bool>> held_;
};

class DeveloperTools : public QWidget {
    Q_OBJECT
public:
    explicit DeveloperTools(QWidget* owner);

    QTreeView* ExplorerTree;
    // The list in report form: a row per entry, no tree decoration.
    QTreeView* ExplorerList;
    QPushButton* RefreshButton;
    QLabel* StatusText;

    QLineEdit* StartSectorEdit;
    QLineEdit* ReadSectorEdit;
    QLineEdit* WriteSectorEdit;
    QLineEdit* WriteDataEdit;
    QLineEdit* SectorCountEdit;
    QPushButton* ReadButton;
    QPushButton* WriteButton;
    QPushButton* EidReadbackButton;

    QPushButton* WriteDeleteTestButton;
    QLabel* RightCountText;
    QLabel* TotalCountText;
    // Iterations done of the self-test's total, and its Cancel; both only
    // while the test runs.
    QProgressBar* SelfTestProgress;
    QPushButton* CancelSelfTestButton;
    QPushButton* CopyToConsoleButton;

    QPushButton* UpdateAppOnlyButton;
    QPushButton* UpdateAppDataButton;

    // The list's column widths; called once the list has its model.
    void SizeExplorerColumns();
    void SetExplorerEnabled(bool enabled);
    // Everything here whose command reads or writes the camera's volume or
    // disks: held while one of those commands runs off the dialog's thread.
    std::vector<QWidget*> VolumeCommandWidgets() const;
    // Shows the self-test's progress and Cancel (running) or hides them.
    void ShowSelfTestRunning(bool running, int total);
    void SetSelfTestProgress(int done);

private:
    QWidget* explorer_group_ = nullptr;
    QWidget* BuildExplorerGroup();
    QWidget* BuildSectorGroup();
    QWidget* BuildEngineGroup();
    QWidget* BuildMarkerGroup();
};
