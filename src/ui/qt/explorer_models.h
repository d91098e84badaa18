// The explorer's models for Qt's views: the list of the current folder and
// the tree of roots and folders. They only hold and present; what is shown
// and in which order comes from ui/explorer_rules.h.
#pragma once

#include <QtCore/QAbstractTableModel>
#include <QtCore/QString>
#include <QtGui/QIcon>
#include <QtGui/QStandardItemModel>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fat/listing.h"
#include "ui/explorer_rules.h"

// The list of the current folder, in report form: Name, Size, Type, Date
// Modified. Each fill replaces every row and sorts once at its end.
class ExplorerListModel : public QAbstractTableModel {
    Q_OBJECT

public:
    enum Column { NameColumn, SizeColumn, TypeColumn, DateColumn, ColumnCount };

    explicit ExplorerListModel(QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

    // The listed records of a volume folder; true when a folder was shown.
    // An empty list (a folder that could not be listed) shows no rows.
    bool FillVolumeList(const FatEntryInfoList& records);
    // The entries of a local folder with the platform's icons and type
    // names. An empty path keeps the rows as they are; a folder that
    // cannot be read shows no rows.
    void FillLocalList(const QString& folder);
    void Clear();

    // A row added after a fill (an imported entry), placed last without
    // sorting again, as the user watches the import happen.
    void AppendVolumeRow(const FatEntryInfo& entry);
    void AppendLocalRow(const QString& path);

    const ExplorerRow& Row(int row) const { return rows_[static_cast<std::size_t>(row)].row; }
    // The row of that name, or -1.
    int FindRow(const QString& name) const;

private:
    struct ShownRow {
        ExplorerRow row;
        QIcon icon;
    };
    void Replace(std::vector<ShownRow> rows);
    void Append(ShownRow row);
    ShownRow VolumeShownRow(ExplorerRow row) const;
    static QString Text(const ExplorerRow& row, int column);

    std::vector<ShownRow> rows_;
    QIcon folder_icon_;
    QIcon file_icon_;
};

// The tree: root items (a drive path ending in its separator) and folder
// items below them, each with its TREE_ITEM_* flags. Folders not yet
// expanded get placeholders, empty items that give them an expand button.
class ExplorerTreeModel : public QStandardItemModel {
    Q_OBJECT

public:
    // The item's TREE_ITEM_* word.
    static constexpr int FlagsRole = Qt::UserRole + 1;

    explicit ExplorerTreeModel(QObject* parent = nullptr);

    // "PHYSICALDRIVE%d\": the FAT volume's root.
    QStandardItem* AddVolumeRoot(int drive_number);
    // A local root: a drive ("C:\"), the file system root, a home folder.
    // It gets a placeholder, so its folders are read only when opened.
    QStandardItem* AddLocalRoot(const QString& path);

    // A folder child, sorted among its siblings by name.
    QStandardItem* AddFolder(QStandardItem* parent, const QString& name, std::uint32_t flags);
    // Sorted (volume folders) or last (local folders), as the parent's kind
    // asks.
    QStandardItem* AddPlaceholder(QStandardItem* parent);
    // One placeholder per listed folder among a volume folder's records.
    void AddFolderPlaceholders(QStandardItem* item, const FatEntryInfoList& records);
    // The listed folders of a volume folder's records as children, each
    // with placeholders for its own folders; `list_folder` lists an engine
    // folder path ("/DCIM/" ends in "/"), empty when it cannot.
    using VolumeLister = std::function<FatEntryInfoList(const std::string& engine_folder)>;
    void AddVolumeSubfolders(QStandardItem* item, const std::string& engine_folder,
                             const FatEntryInfoList& records, const VolumeLister& list_folder);
    // The subfolders of the local folder at `path` as children, each with a
    // placeholder when it has folders of its own; the number added.
    int AddLocalSubfolders(QStandardItem* item, const QString& path);
    // A placeholder when the local folder at `path` has a subfolder.
    void AddPlaceholderIfSubfolders(QStandardItem* item, const QString& path);
    // Brings a local folder item's children in line with the folder on
    // disk: children still there stay (expanded state included).
    void SyncLocalChildren(QStandardItem* item, const QString& path);
    void DeleteTreeChildren(QStandardItem* item);

    // True once, at the item's first expansion: its children are then
    // deleted and it is marked TREE_ITEM_EXPANDED, for the caller to fill.
    bool BeginFirstExpansion(QStandardItem* item);

    static std::uint32_t Flags(const QStandardItem* item);
    static void SetFlags(QStandardItem* item, std::uint32_t flags);
    static bool IsPlaceholder(const QStandardItem* item);
    // The item's path (BuildItemPath); empty for an item without a root.
    static QString BuildItemPath(const QStandardItem* item);

private:
    QStandardItem* NewItem(const QString& text, std::uint32_t flags, const QIcon& icon) const;
    static void InsertSorted(QStandardItem* parent, QStandardItem* child);

    QIcon folder_icon_;       // closed, open while selected
    QIcon closed_folder_icon_;  // closed in every state
    QIcon drive_icon_;
};
