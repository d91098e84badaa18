#include "ui/qt/dialog_volume_explorer.h"

#include <QtCore/QDir>
#include <QtCore/QItemSelectionModel>
#include <QtWidgets/QHeaderView>
#include <QtWidgets/QLabel>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QTreeView>

#include <algorithm>

#include "device/platform/platform.h"
#include "device/sector_io.h"
#include "fat/engine.h"
#include "fat/file.h"
#include "fat/volume.h"
#include "ui/explorer_rules.h"
#include "ui/qt/developer_tools.h"
#include "ui/qt/explorer_file_commands.h"
#include "ui/qt/quillon_dlg.h"

namespace {

constexpr char kFirstDriveLetter = 'C';
constexpr char kLastDriveLetter = 'Z';
// "C:\" and "/": the roots the platform can say a disk for.
constexpr qsizetype kDriveRootMaxLength = 3;

QString FromUtf8(const std::string& text) { return QString::fromStdString(text); }

// Empty when the path is longer than the engine's buffers: a cut path
// would name another folder.
FatEntryInfoList ListVolumeFolder(const std::string& engine_folder) {
    FatEntryInfoList records;
    const std::optional<std::string> path = ToSingleByte(QString::fromStdString(engine_folder).toStdU16String());
    if (path) FatListDirectory(records, path->c_str());
    return records;
}

// The label takes no mnemonic and breaks lines at "\n" alone, so what the
// rules escape for mnemonic labels is shown as it was meant to read.
QString LabelText(const std::string& info_text) {
    QString text = FromUtf8(info_text);
    text.replace(QStringLiteral("&&"), QStringLiteral("&"));
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return text;
}

std::vector<QString> LocalRootPaths() {
    std::vector<QString> roots;
#ifdef _WIN32
    for (const QFileInfo& drive : QDir::drives()) roots.push_back(QDir::toNativeSeparators(drive.absoluteFilePath()));
#else
    roots.push_back(QDir::rootPath());
    QString home = QDir::homePath();
    if (!home.endsWith(QLatin1Char('/'))) home += QLatin1Char('/');
    if (home != QDir::rootPath()) roots.push_back(home);
#endif
    return roots;
}

}  // namespace

DialogVolumeExplorer::DialogVolumeExplorer(CQuillonDlg& dialog, DeveloperTools& tools)
    : dialog_(dialog), tools_(tools) {
    tools_.ExplorerTree->setModel(&tree_);
    tools_.ExplorerList->setModel(&list_);
    tools_.SizeExplorerColumns();
    connect(tools_.ExplorerTree->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) {
                if (!quiet_) OnTreeSelChanged(current);
            });
    connect(tools_.ExplorerTree, &QTreeView::expanded, this, [this](const QModelIndex& index) {
        if (!quiet_ && OnTreeItemExpanding(index)) tools_.ExplorerTree->collapse(index);
    });
    connect(tools_.RefreshButton, &QPushButton::clicked, this, &DialogVolumeExplorer::OnRefresh);
    commands_ = std::make_unique<ExplorerFileCommands>(dialog_, tools_, *this);
}

DialogVolumeExplorer::~DialogVolumeExplorer() = default;

QStandardItem* DialogVolumeExplorer::SelectedItem() const {
    return tree_.itemFromIndex(tools_.ExplorerTree->currentIndex());
}

void DialogVolumeExplorer::SelectQuietly(QStandardItem* item) {
    quiet_ = true;
    tools_.ExplorerTree->setCurrentIndex(item ? item->index() : QModelIndex());
    quiet_ = false;
}

QStandardItem* DialogVolumeExplorer::FindVolumeRoot(int drive_number) const {
    const QString text = FromUtf8(DevicePathOfDrive(drive_number));
    for (int row = 0; row < tree_.rowCount(); ++row) {
        QStandardItem* item = tree_.item(row);
        if (item->text() == text && HasTreeFlag(ExplorerTreeModel::Flags(item), TREE_ITEM_VOLUME_FOLDER)) return item;
    }
    return nullptr;
}

// Volume roots come first, in the order they were found; local roots after.
QStandardItem* DialogVolumeExplorer::VolumeRoot(int drive_number) {
    if (QStandardItem* found = FindVolumeRoot(drive_number)) return found;
    tree_.AddVolumeRoot(drive_number);
    int volume_roots = 0;
    while (volume_roots < tree_.rowCount() - 1 &&
           HasTreeFlag(ExplorerTreeModel::Flags(tree_.item(volume_roots)), TREE_ITEM_VOLUME_FOLDER))
        ++volume_roots;
    QList<QStandardItem*> row = tree_.takeRow(tree_.rowCount() - 1);
    tree_.insertRow(volume_roots, row);
    return row.front();
}

void DialogVolumeExplorer::AddLocalRoots() {
    for (const QString& path : LocalRootPaths()) tree_.AddLocalRoot(path);
}

// Discovery lists the volume's top level and its folders under the root:
// what the root's first expansion would build, so it counts as done.
void DialogVolumeExplorer::ClearVolumeView() {
    list_.Clear();
    QStandardItem* root = VolumeRoot(dialog_.Device.PhysicalDriveNumber);
    SelectQuietly(root);
    tree_.DeleteTreeChildren(root);
    ExplorerTreeModel::SetFlags(root, ExplorerTreeModel::Flags(root) | TREE_ITEM_EXPANDED);
    quiet_ = true;
    tools_.ExplorerTree->expand(root->index());
    quiet_ = false;
}

void DialogVolumeExplorer::ShowVolumeListing(const FatEntryInfoList& entries) { list_.FillVolumeList(entries); }

void DialogVolumeExplorer::ShowVolumeFolder(const std::string& name, const FatEntryInfoList& contents) {
    QStandardItem* root = VolumeRoot(dialog_.Device.PhysicalDriveNumber);
    QStandardItem* folder = tree_.AddFolder(root, FromUtf8(name), TREE_ITEM_VOLUME_FOLDER);
    tree_.AddFolderPlaceholders(folder, contents);
}

void DialogVolumeExplorer::AddVolumeDrive(int drive_number) {
    if (std::find(extra_drives_.begin(), extra_drives_.end(), drive_number) == extra_drives_.end())
        extra_drives_.push_back(drive_number);
}

void DialogVolumeExplorer::OnRefresh() {
    // The update worker reads the device record while it copies.
    if (dialog_.ScreenNumber == kScreenCopying) return;
    SelectQuietly(nullptr);
    tree_.removeRows(0, tree_.rowCount());
    list_.Clear();
    ShowInfoText({});
    DeviceRecord& device = dialog_.Device;
    device.DevicePath.clear();
    device.UserDriveRoot.clear();
    const bool mounted = DetectDevice(device, this);
    QStandardItem* first_extra = nullptr;
    for (int drive : extra_drives_) {
        QStandardItem* root = VolumeRoot(drive);
        if (!first_extra) first_extra = root;
    }
    AddLocalRoots();
    if (!mounted && first_extra) tools_.ExplorerTree->setCurrentIndex(first_extra->index());
}

void DialogVolumeExplorer::ShowInfoText(const std::string& info_text) {
    tools_.StatusText->setText(LabelText(info_text));
}

void DialogVolumeExplorer::OnTreeSelChanged(const QModelIndex& current) {
    QStandardItem* item = tree_.itemFromIndex(current);
    if (!item) return;
    std::string info_text;
    if (HasTreeFlag(ExplorerTreeModel::Flags(item), TREE_ITEM_NO_LISTING)) {
        list_.Clear();
        ShowInfoText(info_text);
        return;
    }
    DeviceRecord& device = dialog_.Device;
    const QString path = ExplorerTreeModel::BuildItemPath(item);
    device.DevicePath = path.toStdString();
    if (!IsDeviceVolumePath(device.DevicePath)) {
        list_.FillLocalList(path);
        if (!path.isEmpty() && path.size() <= kDriveRootMaxLength) {
            const platform::DriveType type = platform::CurrentPlatform().GetDriveType(device.DevicePath);
            FindDiskOfVolume(device.DevicePath, type, device.DiskInterfacePath, device.ParentDeviceId);
            info_text = LocalDriveInfoText(device.DiskInterfacePath, device.ParentDeviceId);
        }
    } else if (IsUnlistedDrivePath(device.DevicePath)) {
        info_text = UnlistedDriveInfoText(info_text);
    } else {
        SelectVolumeFolder(item, device.DevicePath, info_text);
    }
    ShowInfoText(info_text);
}

// The identity of the disk behind the volume's root, through a drive letter
// on that disk; empty when no letter lies on it.
std::string DialogVolumeExplorer::VolumeRootInfoText(const std::string& path) {
    const std::optional<int> drive_number = PhysicalDriveNumberOf(path);
    if (!drive_number) return {};
    platform::Platform& platform = platform::CurrentPlatform();
    DeviceRecord& device = dialog_.Device;
    for (char letter = kFirstDriveLetter; letter <= kLastDriveLetter; ++letter) {
        const std::string name = VolumeDeviceName(letter);
        std::uint32_t number = 0;
        if (!platform.OpenDevice(name, platform::DeviceAccess::Query) || !platform.DeviceNumber(name, &number) ||
            number != static_cast<std::uint32_t>(*drive_number))
            continue;
        const std::string root = DriveRoot(letter);
        FindDiskOfVolume(root, platform.GetDriveType(root), device.DiskInterfacePath, device.ParentDeviceId);
        return DeviceVolumeInfoText(device.DiskInterfacePath, device.ParentDeviceId);
    }
    return {};
}

void DialogVolumeExplorer::SelectVolumeFolder(QStandardItem* item, const std::string& path, std::string& info_text) {
    list_.Clear();
    const std::string engine_folder = ToVolumePath(path);
    if (engine_folder == "/") info_text = VolumeRootInfoText(path);
    bool mounted = true;
    if (HasTreeFlag(ExplorerTreeModel::Flags(item), TREE_ITEM_ROOT)) {
        dialog_.DoDataExchange(true);
        MediaDevicePath = DriveNameOf(path);
        MediaStartSector = dialog_.StartSectorText.toStdString();
        FatResetFiles();
        mounted = FatMountMedia() == kFatMountOk;
    }
    tree_.DeleteTreeChildren(item);
    if (!mounted) return;
    if (!FitsEnginePath(engine_folder)) {
        info_text = PathTooLongText(engine_folder.size());
        return;
    }
    const FatEntryInfoList records = ListVolumeFolder(engine_folder);
    if (list_.FillVolumeList(records)) tree_.AddVolumeSubfolders(item, engine_folder, records, ListVolumeFolder);
}

bool DialogVolumeExplorer::OnTreeItemExpanding(const QModelIndex& index) {
    QStandardItem* item = tree_.itemFromIndex(index);
    if (!item || !tree_.BeginFirstExpansion(item)) return false;
    const QString path = ExplorerTreeModel::BuildItemPath(item);
    if (HasTreeFlag(ExplorerTreeModel::Flags(item), TREE_ITEM_VOLUME_FOLDER)) {
        const std::string device_path = path.toStdString();
        if (IsUnlistedDrivePath(device_path)) return false;
        const std::string engine_folder = ToVolumePath(device_path);
        tree_.AddVolumeSubfolders(item, engine_folder, ListVolumeFolder(engine_folder), ListVolumeFolder);
        return false;
    }
    return tree_.AddLocalSubfolders(item, path) == 0;
}

void DialogVolumeExplorer::RefreshLocalView() {
    const QString current_folder = FromUtf8(dialog_.Device.DevicePath);
    if (current_folder.isEmpty()) return;
    list_.FillLocalList(current_folder);
    QStandardItem* item = SelectedItem();
    if (item && !HasTreeFlag(ExplorerTreeModel::Flags(item), TREE_ITEM_NO_LISTING))
        tree_.SyncLocalChildren(item, ExplorerTreeModel::BuildItemPath(item));
}

namespace {

// The selected item stands for the listed folder only while the current
// folder is its path (the unlisted first disk keeps another folder's rows).
QStandardItem* ItemOfCurrentFolder(QStandardItem* item, const std::string& device_path) {
    if (!item || ExplorerTreeModel::BuildItemPath(item).toStdString() != device_path) return nullptr;
    return item;
}

}  // namespace

void DialogVolumeExplorer::RereadVolumeFolder() {
    const std::string& path = dialog_.Device.DevicePath;
    if (!IsDeviceVolumePath(path) || IsUnlistedDrivePath(path)) return;
    const std::string engine_folder = ToVolumePath(path);
    const FatEntryInfoList records = ListVolumeFolder(engine_folder);
    list_.FillVolumeList(records);
    if (QStandardItem* item = ItemOfCurrentFolder(SelectedItem(), path)) {
        tree_.DeleteTreeChildren(item);
        tree_.AddVolumeSubfolders(item, engine_folder, records, ListVolumeFolder);
    }
}

bool DialogVolumeExplorer::AppendVolumeEntry(const std::string& volume_path) {
    FatEntryInfo info{};
    if (fat::DefaultVolume().Lookup(volume_path, &info) != fat::Result::Ok) return false;
    const QString name = FromUtf8(EntryName(info));
    if (list_.FindRow(name) >= 0) return false;
    list_.AppendVolumeRow(info);
    QStandardItem* item = ItemOfCurrentFolder(SelectedItem(), dialog_.Device.DevicePath);
    if (item && info.is_directory && !IsHiddenName(EntryName(info))) {
        QStandardItem* folder = tree_.AddFolder(item, name, TREE_ITEM_VOLUME_FOLDER);
        tree_.AddFolderPlaceholders(folder, ListVolumeFolder(volume_path + "/"));
    }
    return true;
}
