#include "ui/qt/dialog_volume_explorer.h"

#include <QtWidgets/QTreeWidget>

#include <cstring>

#include "ui/qt/developer_tools.h"
#include "ui/volume_text.h"

namespace {

enum ListColumnIndex { kNameColumn, kSizeColumn, kTypeColumn, kDateColumn };

bool IsDotEntry(const FatEntryInfo& entry) { return entry.name[0] == '.'; }

QString EntryName(const FatEntryInfo& entry) {
    return QString::fromUtf8(entry.name, static_cast<qsizetype>(strnlen(entry.name, sizeof entry.name)));
}

QTreeWidgetItem* ListRow(const FatEntryInfo& entry) {
    auto* row = new QTreeWidgetItem;
    row->setText(kNameColumn, EntryName(entry));
    if (!entry.is_directory)
        row->setText(kSizeColumn, QString::number(entry.size));
    row->setTextAlignment(kSizeColumn, Qt::AlignRight | Qt::AlignVCenter);
    row->setText(kTypeColumn, entry.is_directory ? QStringLiteral("File folder") : QStringLiteral("File"));
    row->setText(kDateColumn, QString::fromStdString(VolumeDateText(entry.write_date, entry.write_time)));
    return row;
}

}  // namespace

void DialogVolumeExplorer::ClearVolumeView() {
    tools_.ExplorerList->clear();
    tools_.ExplorerTree->clear();
}

void DialogVolumeExplorer::ShowVolumeListing(const FatEntryInfoList& entries) {
    tools_.ExplorerList->clear();
    for (const FatEntryInfo& entry : entries) {
        if (!IsDotEntry(entry))
            tools_.ExplorerList->addTopLevelItem(ListRow(entry));
    }
}

// One placeholder child per subfolder gives the folder its expand button.
void DialogVolumeExplorer::ShowVolumeFolder(const std::string& name, const FatEntryInfoList& contents) {
    auto* folder = new QTreeWidgetItem(QStringList{QString::fromStdString(name)});
    for (const FatEntryInfo& entry : contents) {
        if (entry.is_directory && !IsDotEntry(entry))
            folder->addChild(new QTreeWidgetItem);
    }
    tools_.ExplorerTree->addTopLevelItem(folder);
    tools_.ExplorerTree->sortItems(0, Qt::AscendingOrder);
}
