#include "ui/qt/developer_tools.h"

#include <QtWidgets/QFormLayout>
#include <QtWidgets/QGridLayout>
#include <QtWidgets/QGroupBox>
#include <QtWidgets/QHBoxLayout>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QProgressBar>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QTreeView>
#include <QtWidgets/QVBoxLayout>

#include <iterator>

#include "ui/qt/control_ids.h"

namespace {

// Name, Size, Type, Date Modified, as the list's model names them.
constexpr int kListColumnWidths[] = {120, 74, 80, 88};
// The list's columns were sized for a small font; give them room for today's.
constexpr double kColumnWidthFactor = 1.5;
constexpr int kStatusMinimumHeight = 56;
constexpr int kSectorEditMinimumWidth = 96;
const QSize kToolsWindowSize(940, 580);

template <typename Widget>
Widget* Named(Widget* widget, ControlId id) {
    widget->setObjectName(ControlName(id));
    return widget;
}

QPushButton* Button(const char* text, ControlId id, QWidget* parent) {
    auto* button = Named(new QPushButton(QString::fromLatin1(text), parent), id);
    button->setAutoDefault(false);
    return button;
}

QLineEdit* Edit(ControlId id, QWidget* parent) {
    auto* edit = Named(new QLineEdit(parent), id);
    edit->setMinimumWidth(kSectorEditMinimumWidth);
    return edit;
}

QLabel* Label(const char* text, ControlId id, QWidget* parent) {
    return Named(new QLabel(QString::fromLatin1(text), parent), id);
}

// The column widths are set once the list has its model, which brings the
// columns (SizeExplorerColumns).
QTreeView* NewExplorerList(QWidget* parent) {
    auto* list = Named(new QTreeView(parent), IDC_EXPLORER_LIST);
    list->setRootIsDecorated(false);
    list->setItemsExpandable(false);
    list->setUniformRowHeights(true);
    list->setAllColumnsShowFocus(true);
    list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list->setSelectionBehavior(QAbstractItemView::SelectRows);
    list->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list->setContextMenuPolicy(Qt::CustomContextMenu);
    // Drops reach the view through its viewport.
    list->setAcceptDrops(true);
    list->viewport()->setAcceptDrops(true);
    list->setDropIndicatorShown(false);
    return list;
}

}  // namespace

WidgetHold::WidgetHold(const std::vector<QWidget*>& widgets) {
    for (QWidget* widget : widgets) {
        held_.emplace_back(widget, widget->isEnabled());
        widget->setEnabled(false);
    }
}

WidgetHold::~WidgetHold() {
    for (auto [widget, enabled] : held_)
        widget->setEnabled(enabled);
}

DeveloperTools::DeveloperTools(QWidget* owner) : QWidget(owner, Qt::Window) {
    setObjectName(QStringLiteral("DeveloperTools"));
    setWindowTitle(QStringLiteral("Quillon developer tools"));

    StatusText = Named(new QLabel(this), IDC_STATUS_TEXT);
    StatusText->setFrameShape(QFrame::StyledPanel);
    StatusText->setMinimumHeight(kStatusMinimumHeight);
    StatusText->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    StatusText->setWordWrap(true);
    // Identifiers shown here hold "&"; as plain text without a buddy the
    // label shows every character as it is.
    StatusText->setTextFormat(Qt::PlainText);
    StatusText->setTextInteractionFlags(Qt::TextSelectableByMouse);

    auto* tools_row = new QHBoxLayout;
    tools_row->addWidget(BuildSectorGroup());
    auto* right_column = new QVBoxLayout;
    right_column->addWidget(BuildEngineGroup());
    right_column->addWidget(BuildMarkerGroup());
    tools_row->addLayout(right_column);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(BuildExplorerGroup(), 1);
    layout->addLayout(tools_row);
    layout->addWidget(new QLabel(QStringLiteral("Status:"), this));
    layout->addWidget(StatusText);
    resize(kToolsWindowSize);
}

QWidget* DeveloperTools::BuildExplorerGroup() {
    auto* group = new QGroupBox(QStringLiteral("Explorer"), this);
    explorer_group_ = group;
    ExplorerTree = Named(new QTreeView(group), IDC_EXPLORER_TREE);
    ExplorerTree->setHeaderHidden(true);
    ExplorerTree->setEditTriggers(QAbstractItemView::NoEditTriggers);
    ExplorerTree->setSelectionMode(QAbstractItemView::SingleSelection);
    ExplorerList = NewExplorerList(group);
    RefreshButton = Button("Refresh", IDC_REFRESH, group);

    auto* grid = new QGridLayout(group);
    grid->addWidget(ExplorerTree, 0, 0);
    grid->addWidget(ExplorerList, 0, 1);
    grid->addWidget(RefreshButton, 1, 1, Qt::AlignRight);
    grid->setColumnStretch(0, 1);
    grid->setColumnStretch(1, 2);
    return group;
}

QWidget* DeveloperTools::BuildSectorGroup() {
    auto* group = new QGroupBox(QStringLiteral("Sectors"), this);
    StartSectorEdit = Edit(IDC_START_SECTOR, group);
    ReadSectorEdit = Edit(IDC_READ_SECTOR, group);
    SectorCountEdit = Edit(IDC_SECTOR_COUNT, group);
    WriteSectorEdit = Edit(IDC_WRITE_SECTOR, group);
    WriteDataEdit = Edit(IDC_WRITE_DATA, group);
    WriteDataEdit->setPlaceholderText(QStringLiteral("text to write"));
    ReadButton = Button("Read", IDC_READ_BUTTON, group);
    WriteButton = Button("Write", IDC_WRITE_BUTTON, group);
    EidReadbackButton = Button("EID Readback", IDC_EID_READBACK, group);

    auto* grid = new QGridLayout(group);
    grid->addWidget(Label("Start Sector:", IDC_START_SECTOR_LABEL, group), 0, 0);
    grid->addWidget(StartSectorEdit, 0, 1);
    grid->addWidget(Label("Read Sector:", IDC_READ_SECTOR_LABEL, group), 1, 0);
    grid->addWidget(ReadSectorEdit, 1, 1);
    grid->addWidget(Label("No. of Size (Sector)", IDC_SECTOR_COUNT_LABEL, group), 1, 2);
    grid->addWidget(SectorCountEdit, 1, 3);
    grid->addWidget(ReadButton, 1, 4);
    grid->addWidget(Label("Write Sector:", IDC_WRITE_SECTOR_LABEL, group), 2, 0);
    grid->addWidget(WriteSectorEdit, 2, 1);
    grid->addWidget(WriteDataEdit, 2, 2, 1, 2);
    grid->addWidget(WriteButton, 2, 4);
    grid->addWidget(EidReadbackButton, 3, 4);
    return group;
}

QWidget* DeveloperTools::BuildEngineGroup() {
    auto* group = new QGroupBox(QStringLiteral("Engine"), this);
    WriteDeleteTestButton = Button("Write Delete Test", IDC_WRITE_DELETE_TEST, group);
    RightCountText = Label("Right Cnt:", IDC_RIGHT_COUNT, group);
    TotalCountText = Label("Total Cnt:", IDC_TOTAL_COUNT, group);
    CopyToConsoleButton = Button("Copy File To Console", IDC_COPY_TO_CONSOLE, group);
    SelfTestProgress = new QProgressBar(group);
    SelfTestProgress->setObjectName(QStringLiteral("SelfTestProgress"));
    SelfTestProgress->setFormat(QStringLiteral("%v of %m"));
    SelfTestProgress->hide();
    CancelSelfTestButton = new QPushButton(QStringLiteral("Cancel"), group);
    CancelSelfTestButton->setObjectName(QStringLiteral("SelfTestCancel"));
    CancelSelfTestButton->setAutoDefault(false);
    CancelSelfTestButton->hide();

    auto* grid = new QGridLayout(group);
    grid->addWidget(WriteDeleteTestButton, 0, 0);
    grid->addWidget(RightCountText, 0, 1);
    grid->addWidget(TotalCountText, 0, 2);
    grid->addWidget(SelfTestProgress, 1, 0, 1, 2);
    grid->addWidget(CancelSelfTestButton, 1, 2);
    grid->addWidget(CopyToConsoleButton, 2, 0);
    return group;
}

QWidget* DeveloperTools::BuildMarkerGroup() {
    auto* group = new QGroupBox(QStringLiteral("Update marker"), this);
    UpdateAppOnlyButton = Button("UPDATEAPPONLY", IDC_UPDATE_APP_ONLY, group);
    UpdateAppDataButton = Button("UPDATEAPPDATA", IDC_UPDATE_APP_DATA, group);
    auto* row = new QHBoxLayout(group);
    row->addWidget(UpdateAppOnlyButton);
    row->addWidget(UpdateAppDataButton);
    return group;
}

void DeveloperTools::SizeExplorerColumns() {
    for (int index = 0; index < static_cast<int>(std::size(kListColumnWidths)); ++index)
        ExplorerList->setColumnWidth(index, static_cast<int>(kListColumnWidths[index] * kColumnWidthFactor));
}

void DeveloperTools::SetExplorerEnabled(bool enabled) { explorer_group_->setEnabled(enabled); }

std::vector<QWidget*> DeveloperTools::VolumeCommandWidgets() const {
    return {explorer_group_,     CopyToConsoleButton, WriteDeleteTestButton, ReadButton,
            WriteButton,         EidReadbackButton,   UpdateAppOnlyButton,   UpdateAppDataButton};
}

void DeveloperTools::ShowSelfTestRunning(bool running, int total) {
    if (running) {
        SelfTestProgress->setRange(0, total);
        SelfTestProgress->setValue(0);
    }
    SelfTestProgress->setVisible(running);
    CancelSelfTestButton->setVisible(running);
    CancelSelfTestButton->setEnabled(running);
}

void DeveloperTools::SetSelfTestProgress(int done) { SelfTestProgress->setValue(done); }
