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
class QTreeWidget;

class DeveloperTools : public QWidget {
    Q_OBJECT
public:
    explicit DeveloperTools(QWidget* owner);

    QTreeWidget* ExplorerTree;
    QTreeWidget* ExplorerList;
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

private:
    QWidget* BuildExplorerGroup();
    QWidget* BuildSectorGroup();
    QWidget* BuildEngineGroup();
    QWidget* BuildMarkerGroup();
};
