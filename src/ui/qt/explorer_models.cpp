#include "ui/qt/explorer_models.h"

#include <QtCore/QDir>
#include <QtCore/QFileInfo>
#include <QtWidgets/QApplication>
#include <QtWidgets/QFileIconProvider>
#include <QtWidgets/QStyle>

#include <algorithm>

namespace {

constexpr QDir::Filters kLocalEntries = QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System;
constexpr QDir::Filters kLocalFolders = QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System;

QString FromUtf8(const std::string& text) { return QString::fromStdString(text); }

// Every entry of a local folder, in the order the file system gives them
// (the list sorts its rows itself); none when it cannot be read.
QFileInfoList LocalEntries(const QString& path, QDir::Filters filters) {
    return QDir(path).entryInfoList(filters, QDir::NoSort);
}

QString LocalChildPath(const QString& folder, const QString& name) {
    return FromUtf8(JoinItemPath(folder.toStdString(), name.toStdString()));
}

// The closed folder, and the open one while the item is selected.
QIcon FolderIcon(bool open_when_selected) {
    QStyle* style = QApplication::style();
    QIcon icon = style->standardIcon(QStyle::SP_DirClosedIcon);
    if (!open_when_selected) return icon;
    const QIcon open = style->standardIcon(QStyle::SP_DirOpenIcon);
    QIcon both;
    for (const QSize& size : icon.availableSizes()) {
        both.addPixmap(icon.pixmap(size), QIcon::Normal);
        both.addPixmap(open.pixmap(size), QIcon::Selected);
    }
    return both.isNull() ? icon : both;
}

}  // namespace

// ---- ExplorerListModel -------------------------------------------------------

ExplorerListModel::ExplorerListModel(QObject* parent)
    : QAbstractTableModel(parent),
      folder_icon_(QFileIconProvider().icon(QAbstractFileIconProvider::Folder)),
      file_icon_(QFileIconProvider().icon(QAbstractFileIconProvider::File)) {}

int ExplorerListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int ExplorerListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QString ExplorerListModel::Text(const ExplorerRow& row, int column) {
    switch (column) {
    case NameColumn: return FromUtf8(row.name);
    case SizeColumn: return FromUtf8(row.size_text);
    case TypeColumn: return FromUtf8(row.type_text);
    case DateColumn: return FromUtf8(row.date_text);
    default: return {};
    }
}

QVariant ExplorerListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const ShownRow& shown = rows_[static_cast<std::size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole: return Text(shown.row, index.column());
    case Qt::DecorationRole: return index.column() == NameColumn ? QVariant(shown.icon) : QVariant();
    case Qt::TextAlignmentRole:
        if (index.column() == SizeColumn) return QVariant(Qt::AlignRight | Qt::AlignVCenter);
        return {};
    default: return {};
    }
}

QVariant ExplorerListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal) return QAbstractTableModel::headerData(section, orientation, role);
    if (role == Qt::TextAlignmentRole && section == SizeColumn) return QVariant(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole) return {};
    switch (section) {
    case NameColumn: return QStringLiteral("Name");
    case SizeColumn: return QStringLiteral("Size");
    case TypeColumn: return QStringLiteral("Type");
    case DateColumn: return QStringLiteral("Date Modified");
    default: return {};
    }
}

ExplorerListModel::ShownRow ExplorerListModel::VolumeShownRow(ExplorerRow row) const {
    const QIcon& icon = row.is_folder ? folder_icon_ : file_icon_;
    return ShownRow{std::move(row), icon};
}

bool ExplorerListModel::FillVolumeList(const FatEntryInfoList& records) {
    std::vector<ExplorerRow> rows = VolumeRows(records);
    const bool shows_folder = HasFolderRow(rows);
    std::vector<ShownRow> shown;
    shown.reserve(rows.size());
    for (ExplorerRow& row : rows) shown.push_back(VolumeShownRow(std::move(row)));
    Replace(std::move(shown));
    return shows_folder;
}

void ExplorerListModel::FillLocalList(const QString& folder) {
    if (folder.isEmpty()) return;
    const QFileIconProvider provider;
    std::vector<ExplorerRow> rows;
    std::vector<QIcon> icons;
    for (const QFileInfo& info : LocalEntries(folder, kLocalEntries)) {
        rows.push_back(LocalRow(info.fileName().toStdString(), info.isDir(), static_cast<std::uint64_t>(info.size()),
                                provider.type(info).toStdString(), info.lastModified().toSecsSinceEpoch()));
        icons.push_back(provider.icon(info));
    }
    // Sorted by index, so each row keeps its own icon.
    std::vector<std::size_t> order(rows.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&rows](std::size_t a, std::size_t b) { return CompareListRows(rows[a], rows[b]); });
    std::vector<ShownRow> shown;
    shown.reserve(rows.size());
    for (std::size_t i : order) shown.push_back(ShownRow{std::move(rows[i]), icons[i]});
    Replace(std::move(shown));
}

void ExplorerListModel::Clear() { Replace({}); }

void ExplorerListModel::AppendVolumeRow(const FatEntryInfo& entry) {
    if (std::optional<ExplorerRow> row = VolumeRow(entry)) Append(VolumeShownRow(std::move(*row)));
}

void ExplorerListModel::AppendLocalRow(const QString& path) {
    const QFileInfo info(path);
    const QFileIconProvider provider;
    Append(ShownRow{LocalRow(info.fileName().toStdString(), info.isDir(), static_cast<std::uint64_t>(info.size()),
                             provider.type(info).toStdString(), info.lastModified().toSecsSinceEpoch()),
                    provider.icon(info)});
}

int ExplorerListModel::FindRow(const QString& name) const {
    const std::string wanted = name.toStdString();
    const auto found = std::find_if(rows_.begin(), rows_.end(), [&](const ShownRow& shown) { return shown.row.name == wanted; });
    return found == rows_.end() ? -1 : static_cast<int>(found - rows_.begin());
}

// One reset for the whole fill, so views redraw once.
void ExplorerListModel::Replace(std::vector<ShownRow> rows) {
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
}

void ExplorerListModel::Append(ShownRow row) {
    const int at = rowCount();
    beginInsertRows(QModelIndex(), at, at);
    rows_.push_back(std::move(row));
    endInsertRows();
}

// ---- ExplorerTreeModel -------------------------------------------------------

ExplorerTreeModel::ExplorerTreeModel(QObject* parent)
    : QStandardItemModel(parent),
      folder_icon_(FolderIcon(true)),
      closed_folder_icon_(FolderIcon(false)),
      drive_icon_(QFileIconProvider().icon(QAbstractFileIconProvider::Drive)) {}

QStandardItem* ExplorerTreeModel::NewItem(const QString& text, std::uint32_t flags, const QIcon& icon) const {
    auto* item = new QStandardItem(icon, text);
    item->setEditable(false);
    SetFlags(item, flags);
    return item;
}

QStandardItem* ExplorerTreeModel::AddVolumeRoot(int drive_number) {
    QStandardItem* root = NewItem(FromUtf8(DevicePathOfDrive(drive_number)), TREE_ITEM_ROOT | TREE_ITEM_VOLUME_FOLDER,
                                  drive_icon_);
    invisibleRootItem()->appendRow(root);
    return root;
}

QStandardItem* ExplorerTreeModel::AddLocalRoot(const QString& path) {
    QStandardItem* root = NewItem(path, TREE_ITEM_ROOT, drive_icon_);
    invisibleRootItem()->appendRow(root);
    AddPlaceholder(root);
    return root;
}

// Before the first sibling whose name sorts after it, as a tree keeps
// names in order while they come in.
void ExplorerTreeModel::InsertSorted(QStandardItem* parent, QStandardItem* child) {
    const std::string name = child->text().toStdString();
    int at = 0;
    while (at < parent->rowCount() && !TreeNameLess(name, parent->child(at)->text().toStdString())) ++at;
    parent->insertRow(at, child);
}

QStandardItem* ExplorerTreeModel::AddFolder(QStandardItem* parent, const QString& name, std::uint32_t flags) {
    QStandardItem* folder = NewItem(name, flags, folder_icon_);
    InsertSorted(parent, folder);
    return folder;
}

QStandardItem* ExplorerTreeModel::AddPlaceholder(QStandardItem* parent) {
    const bool sorted = PlaceholderIsSorted(Flags(parent));
    QStandardItem* placeholder = NewItem(QString(), 0, sorted ? folder_icon_ : closed_folder_icon_);
    if (sorted) {
        InsertSorted(parent, placeholder);
    } else {
        parent->appendRow(placeholder);
    }
    return placeholder;
}

void ExplorerTreeModel::AddFolderPlaceholders(QStandardItem* item, const FatEntryInfoList& records) {
    for (std::size_t i = FolderPlaceholderCount(records); i > 0; --i) AddPlaceholder(item);
}

void ExplorerTreeModel::AddVolumeSubfolders(QStandardItem* item, const std::string& engine_folder,
                                            const FatEntryInfoList& records, const VolumeLister& list_folder) {
    for (const std::string& name : ListedFolderNames(records)) {
        QStandardItem* child = AddFolder(item, FromUtf8(name), TREE_ITEM_VOLUME_FOLDER);
        AddFolderPlaceholders(child, list_folder(engine_folder + name));
    }
}

int ExplorerTreeModel::AddLocalSubfolders(QStandardItem* item, const QString& path) {
    const QFileInfo folder(path);
    if (!folder.isDir() || !folder.isReadable()) {
        // A drive without its medium may have one later: let it be opened again.
        if (HasTreeFlag(Flags(item), TREE_ITEM_ROOT)) {
            SetFlags(item, Flags(item) & ~TREE_ITEM_EXPANDED);
            AddPlaceholder(item);
        }
        return 0;
    }
    int added = 0;
    for (const QFileInfo& info : LocalEntries(path, kLocalFolders)) {
        QStandardItem* child = AddFolder(item, info.fileName(), 0);
        AddPlaceholderIfSubfolders(child, LocalChildPath(path, info.fileName()));
        ++added;
    }
    return added;
}

void ExplorerTreeModel::AddPlaceholderIfSubfolders(QStandardItem* item, const QString& path) {
    if (!LocalEntries(path, kLocalFolders).isEmpty()) AddPlaceholder(item);
}

void ExplorerTreeModel::SyncLocalChildren(QStandardItem* item, const QString& path) {
    std::vector<std::string> wanted;
    for (const QFileInfo& info : LocalEntries(path, kLocalEntries)) {
        if (IsTreeListedLocalEntry(info.fileName().toStdString(), info.isDir())) wanted.push_back(info.fileName().toStdString());
    }
    std::vector<std::string> existing;
    for (int row = 0; row < item->rowCount(); ++row) existing.push_back(item->child(row)->text().toStdString());
    const ChildSync sync = SyncChildNames(existing, wanted);
    for (auto index = sync.delete_indexes.rbegin(); index != sync.delete_indexes.rend(); ++index)
        item->removeRow(static_cast<int>(*index));
    for (const std::string& name : sync.add_names) {
        QStandardItem* child = AddFolder(item, FromUtf8(name), 0);
        AddPlaceholderIfSubfolders(child, LocalChildPath(path, FromUtf8(name)));
    }
}

void ExplorerTreeModel::DeleteTreeChildren(QStandardItem* item) {
    if (item->rowCount() > 0) item->removeRows(0, item->rowCount());
}

bool ExplorerTreeModel::BeginFirstExpansion(QStandardItem* item) {
    if (HasTreeFlag(Flags(item), TREE_ITEM_EXPANDED)) return false;
    DeleteTreeChildren(item);
    SetFlags(item, Flags(item) | TREE_ITEM_EXPANDED);
    return true;
}

std::uint32_t ExplorerTreeModel::Flags(const QStandardItem* item) {
    return item ? item->data(FlagsRole).toUInt() : 0;
}

void ExplorerTreeModel::SetFlags(QStandardItem* item, std::uint32_t flags) { item->setData(flags, FlagsRole); }

bool ExplorerTreeModel::IsPlaceholder(const QStandardItem* item) {
    return item && item->text().isEmpty() && Flags(item) == 0;
}

QString ExplorerTreeModel::BuildItemPath(const QStandardItem* item) {
    std::vector<TreeItemStep> chain;
    for (const QStandardItem* step = item; step; step = step->parent())
        chain.push_back(TreeItemStep{step->text().toStdString(), Flags(step)});
    return FromUtf8(::BuildItemPath(chain));
}
