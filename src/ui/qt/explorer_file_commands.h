// The explorer's file commands in the developer window: files dropped onto
// the list and the console copy import into the current volume folder; the
// list's context menu deletes, renames and saves its selected rows, on the
// volume or in a local folder. What a command decides comes from
// ui/explorer_commands.h; this only wires it to the widgets.
//
// A copy runs on a thread of its own while the dialog's thread shows its
// progress and answers its questions; the explorer is disabled meanwhile,
// so the volume is touched by one thread at a time.
#pragma once

#include <QtCore/QObject>
#include <QtCore/QString>
#include <QtCore/QStringList>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ui/explorer_commands.h"

class CQuillonDlg;
class DeveloperTools;
class DialogVolumeExplorer;
class QMenu;
class QPoint;
class QProgressDialog;
class QWidget;

// The file dialogs the commands open, replaceable so a test can answer them.
class ExplorerFileDialogs {
public:
    virtual ~ExplorerFileDialogs() = default;
    // The local file the console copy imports; empty when cancelled.
    virtual QString OpenPath(QWidget* parent) = 0;
    // Where a save goes, offered `suggested` first; empty when cancelled.
    // The dialog has asked already when the chosen file exists.
    virtual QString SavePath(QWidget* parent, const QString& suggested) = 0;
    // The name typed for the entry now called `old_name`; empty when the
    // edit was cancelled.
    virtual QString NewName(QWidget* parent, const QString& old_name) = 0;
};

class WindowFileDialogs : public ExplorerFileDialogs {
public:
    QString OpenPath(QWidget* parent) override;
    QString SavePath(QWidget* parent, const QString& suggested) override;
    QString NewName(QWidget* parent, const QString& old_name) override;
};

class ExplorerFileCommands : public QObject {
    Q_OBJECT
public:
    ExplorerFileCommands(CQuillonDlg& dialog, DeveloperTools& tools, DialogVolumeExplorer& explorer);
    ~ExplorerFileCommands() override;

    void SetFileDialogs(std::unique_ptr<ExplorerFileDialogs> dialogs);

    // Local files and folders into the current volume folder, one row each.
    void OnDropFiles(const QStringList& local_paths);
    void OnCopyFileToConsole();

    void OnListRightClick(const QPoint& position);
    QMenu* ContextMenu() const { return context_menu_; }
    // With Shift held, local entries are deleted for good instead of going
    // to the trash.
    void OnFileDelete();
    void DeleteSelected(bool for_good);
    void OnFileRename();
    void OnFileSave();

    // A drop is taken at once and imported right after, off the drag's own
    // event; busy from then until the copy has ended.
    bool Busy() const { return busy_; }
    // What the progress dialog's Cancel does: the copy stops at its next chunk.
    void CancelTransfer() { cancelled_ = true; }
    // Called on the dialog's thread at every chunk of a copy (tests cancel
    // from here).
    std::function<void(const TransferProgress&)> on_progress;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    using Work = std::function<ExplorerResult(const TransferControl&)>;
    // Runs `work` on its own thread and waits for it in an event loop; the
    // progress shows in a progress dialog, and in the window's caption when
    // `caption` is set.
    ExplorerResult RunTransfer(const QString& label, bool caption, const Work& work);
    bool ShowProgress(const TransferProgress& progress, bool caption);
    bool AskReplace(const std::string& existing);

    void ImportPaths(const QStringList& local_paths, bool caption);
    bool AcceptsDrop(const QEvent* event) const;

    // The current folder as the engine names it, or empty when the list
    // shows no volume folder.
    std::string CurrentVolumeFolder() const;
    QString CurrentLocalFolder() const;
    // The selected rows' names, in list order.
    QStringList SelectedNames() const;

    void DeleteOnVolume(const std::string& folder, const QStringList& names);
    void DeleteLocal(const QString& folder, const QStringList& names, bool for_good);
    void RenameOnVolume(const std::string& folder, const QString& old_name, const QString& new_name);
    void RenameLocal(const QString& folder, const QString& old_name, const QString& new_name);
    void SaveFromVolume(const std::string& folder, const QStringList& names);
    void SaveLocal(const QString& folder, const QStringList& names);
    void ShowSaveStatus(bool saved);
    QString SuggestedSavePath(const std::string& name) const;

    QWidget* Window() const;
    void Inform(const QString& text);

    CQuillonDlg& dialog_;
    DeveloperTools& tools_;
    DialogVolumeExplorer& explorer_;
    std::unique_ptr<ExplorerFileDialogs> dialogs_;
    QMenu* context_menu_ = nullptr;
    QProgressDialog* progress_dialog_ = nullptr;
    bool busy_ = false;
    std::atomic<bool> cancelled_{false};
};
