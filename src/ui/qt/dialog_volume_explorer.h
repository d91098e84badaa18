// The developer window's explorer: the tree of roots and folders and the
// list of the current folder, over the explorer's models. Discovery fills
// the camera's volume in through the VolumeExplorer calls; the tree's
// selection and expansion browse it and the computer's own folders.
//
// Everything here runs on the dialog's thread; the engine's default volume
// is the one the tree shows.
#pragma once

#include <QtCore/QObject>
#include <QtCore/QString>

#include <memory>
#include <string>
#include <vector>

#include "device/discovery.h"
#include "ui/qt/explorer_models.h"

class CQuillonDlg;
class DeveloperTools;
class ExplorerFileCommands;
class QModelIndex;
class QStandardItem;

class DialogVolumeExplorer : public QObject, public VolumeExplorer {
    Q_OBJECT
public:
    DialogVolumeExplorer(CQuillonDlg& dialog, DeveloperTools& tools);
    ~DialogVolumeExplorer() override;

    ExplorerTreeModel& Tree() { return tree_; }
    ExplorerListModel& List() { return list_; }
    // Drop, console copy and the list's context menu.
    ExplorerFileCommands& Commands() { return *commands_; }

    // What discovery calls: the camera's root, emptied, then its top level.
    void ClearVolumeView() override;
    void ShowVolumeListing(const FatEntryInfoList& entries) override;
    void ShowVolumeFolder(const std::string& name, const FatEntryInfoList& contents) override;

    // A physical drive the tree offers whatever discovery finds (a disk
    // image given on the command line); it is mounted at the Start Sector
    // field when discovery mounts nothing.
    void AddVolumeDrive(int drive_number);

    // A fresh tree: discovery (which reads the camera and mounts its hidden
    // volume, and writes nothing), the extra drives, the local roots.
    void OnRefresh();
    void OnTreeSelChanged(const QModelIndex& current);
    // True when the expansion is refused (a local folder without folders).
    bool OnTreeItemExpanding(const QModelIndex& index);
    // Lists the current local folder again and brings the selected item's
    // children in line with what is on disk.
    void RefreshLocalView();

    // The tree's selected item, or null.
    QStandardItem* SelectedItem() const;

    // After a change on the volume: the current volume folder listed again,
    // and the selected item's folders with it.
    void RereadVolumeFolder();
    // A row for the entry a command made at `volume_path` in the current
    // folder (and a tree item for a folder); false when its name is listed
    // already or it cannot be found, for the caller to re-read the folder.
    bool AppendVolumeEntry(const std::string& volume_path);

private:
    QStandardItem* VolumeRoot(int drive_number);
    QStandardItem* FindVolumeRoot(int drive_number) const;
    void AddLocalRoots();
    // Selection changes the program makes itself are not the user's.
    void SelectQuietly(QStandardItem* item);
    void ShowInfoText(const std::string& info_text);
    // The device volume folder `path` of `item`: listed, its folders as
    // children (after a remount at the Start Sector field for a root).
    void SelectVolumeFolder(QStandardItem* item, const std::string& path, std::string& info_text);
    std::string VolumeRootInfoText(const std::string& path);

    CQuillonDlg& dialog_;
    DeveloperTools& tools_;
    ExplorerTreeModel tree_;
    ExplorerListModel list_;
    std::vector<int> extra_drives_;
    bool quiet_ = false;
    std::unique_ptr<ExplorerFileCommands> commands_;
};
