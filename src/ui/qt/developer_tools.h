// The developer's controls of the main dialog: the explorer of the camera's
// hidden volume, the sector tools, the engine self-test and the two marker
// buttons, with the status line their commands report on. They live in a
// window of their own that the program shows only in developer mode; the
// dialog owns it and wires the commands.
#pragma once

#include <QtWidgets/QWidget>

class QLabel;
class QLineEdit;
class QPushButton;
class QTreeView;

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
    QPushButton* CopyToConsoleButton;

    QPushButton* UpdateAppOnlyButton;
    QPushButton* UpdateAppDataButton;

    // The list's column widths; called once the list has its model.
    void SizeExplorerColumns();
    void SetExplorerEnabled(bool enabled);

private:
    QWidget* explorer_group_ = nullptr;
    QWidget* BuildExplorerGroup();
    QWidget* BuildSectorGroup();
    QWidget* BuildEngineGroup();
    QWidget* BuildMarkerGroup();
};
