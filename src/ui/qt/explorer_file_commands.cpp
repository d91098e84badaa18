#include "ui/qt/explorer_file_commands.h"

#include <QtCore/QDir>
#include <QtCore/QEventLoop>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QItemSelectionModel>
#include <QtCore/QMimeData>
#include <QtCore/QThread>
#include <QtCore/QUrl>
#include <QtGui/QDropEvent>
#include <QtGui/QGuiApplication>
#include <QtWidgets/QFileDialog>
#include <QtWidgets/QInputDialog>
#include <QtWidgets/QLabel>
#include <QtWidgets/QMenu>
#include <QtWidgets/QProgressDialog>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QTreeView>

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <utility>

#include "device/platform/sim/sim_platform.h"
#include "fat/engine.h"
#include "transfer/local_names.h"
#include "ui/explorer_rules.h"
#include "ui/qt/developer_tools.h"
#include "ui/qt/dialog_volume_explorer.h"
#include "ui/qt/message_boxes.h"
#include "ui/qt/quillon_dlg.h"

namespace fs = std::filesystem;

namespace {

// A copy that ends within this time never shows its progress dialog.
constexpr int kProgressDelayMilliseconds = 500;
constexpr int kProgressSteps = 1000;

const QString kDeleteOneText = QStringLiteral("Are you sure you want to delete '%1'?");
const QString kDeleteSeveralText = QStringLiteral("Are you sure you want to delete file?");
const QString kSaveFailedText = QStringLiteral("Save false!");
const QString kSaveCompletedText = QStringLiteral("Save completed");

QString FromUtf8(const std::string& text) { return QString::fromStdString(text); }

fs::path LocalPath(const QString& path) { return fs::path(path.toStdWString()); }

int ProgressValue(std::uint64_t done, std::uint64_t total) {
    if (total == 0 || done >= total) return kProgressSteps;
    return static_cast<int>(static_cast<long double>(done) * kProgressSteps / static_cast<long double>(total));
}

// A folder copied with what is inside it; an existing destination is
// merged into, its files replaced only when `replace` says so.
bool CopyLocalTree(const fs::path& from, const fs::path& to, bool replace, std::string* problem) {
    std::error_code error;
    const auto options = fs::copy_options::recursive |
                         (replace ? fs::copy_options::overwrite_existing : fs::copy_options::skip_existing);
    fs::copy(from, to, options, error);
    if (error) *problem = error.message();
    return !error;
}

bool IsInside(const fs::path& inner, const fs::path& outer) {
    std::error_code error;
    const fs::path a = fs::weakly_canonical(inner, error);
    const fs::path b = fs::weakly_canonical(outer, error);
    auto [end_b, end_a] = std::mismatch(b.begin(), b.end(), a.begin(), a.end());
    return end_b == b.end();
}

}  // namespace

// ---- The real dialogs ------------------------------------------------------

QString WindowFileDialogs::OpenPath(QWidget* parent) {
    return QFileDialog::getOpenFileName(parent, QStringLiteral("Copy File To Console"));
}

QString WindowFileDialogs::SavePath(QWidget* parent, const QString& suggested) {
    return QFileDialog::getSaveFileName(parent, QStringLiteral("Save As"), suggested);
}

QString WindowFileDialogs::NewName(QWidget* parent, const QString& old_name) {
    bool confirmed = false;
    const QString name = QInputDialog::getText(parent, QStringLiteral("Rename"), QStringLiteral("New name:"),
                                               QLineEdit::Normal, old_name, &confirmed);
    return confirmed ? name : QString();
}

// ---- Wiring ----------------------------------------------------------------

ExplorerFileCommands::ExplorerFileCommands(CQuillonDlg& dialog, DeveloperTools& tools, DialogVolumeExplorer& explorer)
    : dialog_(dialog), tools_(tools), explorer_(explorer), dialogs_(std::make_unique<WindowFileDialogs>()) {
    tools_.ExplorerList->viewport()->installEventFilter(this);
    connect(tools_.CopyToConsoleButton, &QPushButton::clicked, this, &ExplorerFileCommands::OnCopyFileToConsole);
    connect(tools_.ExplorerList, &QWidget::customContextMenuRequested, this, &ExplorerFileCommands::OnListRightClick);

    context_menu_ = new QMenu(QStringLiteral("File"), &tools_);
    context_menu_->setObjectName(QStringLiteral("ExplorerContextMenu"));
    connect(context_menu_->addAction(QStringLiteral("Delete")), &QAction::triggered, this,
            &ExplorerFileCommands::OnFileDelete);
    connect(context_menu_->addAction(QStringLiteral("Rename")), &QAction::triggered, this,
            &ExplorerFileCommands::OnFileRename);
    connect(context_menu_->addAction(QStringLiteral("Save")), &QAction::triggered, this,
            &ExplorerFileCommands::OnFileSave);
    context_menu_->addSeparator();
}

ExplorerFileCommands::~ExplorerFileCommands() = default;

void ExplorerFileCommands::SetFileDialogs(std::unique_ptr<ExplorerFileDialogs> dialogs) {
    dialogs_ = std::move(dialogs);
}

QWidget* ExplorerFileCommands::Window() const { return &tools_; }

void ExplorerFileCommands::Inform(const QString& text) { dialog_.Boxes().Inform(Window(), text); }

std::string ExplorerFileCommands::CurrentVolumeFolder() const {
    const std::string& path = dialog_.Device.DevicePath;
    if (!IsDeviceVolumePath(path) || IsUnlistedDrivePath(path) || !fat::DefaultVolume().IsMounted()) return {};
    return ToVolumePath(path);
}

QString ExplorerFileCommands::CurrentLocalFolder() const {
    const std::string& path = dialog_.Device.DevicePath;
    if (path.empty() || IsDeviceVolumePath(path)) return {};
    return FromUtf8(path);
}

QStringList ExplorerFileCommands::SelectedNames() const {
    QModelIndexList rows = tools_.ExplorerList->selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    QStringList names;
    for (const QModelIndex& row : rows) names << FromUtf8(explorer_.List().Row(row.row()).name);
    return names;
}

// The images the simulated disks are read from: an import of one of them
// would copy the volume into itself.
// ---- Copies on their own thread --------------------------------------------

ExplorerResult ExplorerFileCommands::RunTransfer(const QString& label, bool caption, const Work& work) {
    busy_ = true;
    cancelled_ = false;
    // Whatever touches the volume or the disks waits for the copy.
    std::vector<QWidget*> busy_widgets = tools_.VolumeCommandWidgets();
    busy_widgets.push_back(dialog_.StartButton);
    const WidgetHold held(busy_widgets);
    QProgressDialog progress(label, QStringLiteral("Cancel"), 0, kProgressSteps, Window());
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(kProgressDelayMilliseconds);
    progress.setAutoReset(false);
    progress.setAutoClose(false);
    progress.setValue(0);
    connect(&progress, &QProgressDialog::canceled, this, &ExplorerFileCommands::CancelTransfer);
    progress_dialog_ = &progress;

    // The worker waits for each answer, so the dialog's thread alone shows
    // progress and asks questions, and Cancel stops the chunk that follows.
    TransferControl control;
    control.volume_files = platform::InstalledImageFiles();
    control.progress = [this, caption](const TransferProgress& step) {
        bool go_on = false;
        QMetaObject::invokeMethod(this, [&] { go_on = ShowProgress(step, caption); }, Qt::BlockingQueuedConnection);
        return go_on;
    };
    control.replace = [this](const std::string& existing) {
        bool replace = false;
        QMetaObject::invokeMethod(this, [&] { replace = AskReplace(existing); }, Qt::BlockingQueuedConnection);
        return replace;
    };

    ExplorerResult result;
    QEventLoop loop;
    std::unique_ptr<QThread> worker(QThread::create([&] { result = work(control); }));
    connect(worker.get(), &QThread::finished, &loop, &QEventLoop::quit);
    worker->start();
    loop.exec();
    worker->wait();

    progress_dialog_ = nullptr;
    busy_ = false;
    return result;
}

bool ExplorerFileCommands::ShowProgress(const TransferProgress& step, bool caption) {
    const QString text = FromUtf8(step.Caption());
    if (caption) tools_.setWindowTitle(text);
    if (progress_dialog_) {
        progress_dialog_->setLabelText(FromUtf8(step.entry) + QLatin1Char('\n') + text);
        progress_dialog_->setValue(ProgressValue(step.done, step.total));
    }
    if (on_progress) on_progress(step);
    return !cancelled_;
}

bool ExplorerFileCommands::AskReplace(const std::string& existing) {
    return dialog_.Boxes().AskYesNo(Window(),
                                    QStringLiteral("'%1' already exists. Do you want to replace it?").arg(FromUtf8(existing)));
}

// ---- Import ----------------------------------------------------------------

bool ExplorerFileCommands::AcceptsDrop(const QEvent* event) const {
    const QMimeData* data = static_cast<const QDropEvent*>(event)->mimeData();
    if (busy_ || dialog_.ScreenNumber == kScreenCopying || !data || !data->hasUrls() || CurrentVolumeFolder().empty())
        return false;
    const QList<QUrl> urls = data->urls();
    return std::any_of(urls.begin(), urls.end(), [](const QUrl& url) { return url.isLocalFile(); });
}

bool ExplorerFileCommands::eventFilter(QObject* watched, QEvent* event) {
    if (watched != tools_.ExplorerList->viewport()) return QObject::eventFilter(watched, event);
    switch (event->type()) {
        case QEvent::DragEnter:
        case QEvent::DragMove: {
            auto* drag = static_cast<QDropEvent*>(event);
            if (AcceptsDrop(event)) {
                drag->setDropAction(Qt::CopyAction);
                drag->accept();
            } else {
                drag->ignore();
            }
            return true;
        }
        case QEvent::Drop: {
            auto* drop = static_cast<QDropEvent*>(event);
            if (!AcceptsDrop(event)) {
                drop->ignore();
                return true;
            }
            QStringList paths;
            for (const QUrl& url : drop->mimeData()->urls())
                if (url.isLocalFile()) paths << url.toLocalFile();
            drop->setDropAction(Qt::CopyAction);
            drop->accept();
            // The source of the drag waits for this event to end; the copy
            // starts once it has.
            busy_ = true;
            QMetaObject::invokeMethod(this, [this, paths] { OnDropFiles(paths); }, Qt::QueuedConnection);
            return true;
        }
        default: return QObject::eventFilter(watched, event);
    }
}

void ExplorerFileCommands::OnDropFiles(const QStringList& local_paths) {
    busy_ = false;
    ImportPaths(local_paths, false);
}

void ExplorerFileCommands::OnCopyFileToConsole() {
    if (busy_ || dialog_.ScreenNumber == kScreenCopying) return;
    const QString path = dialogs_->OpenPath(Window());
    if (path.isEmpty()) return;
    if (CurrentVolumeFolder().empty()) {
        Inform(QStringLiteral("Select a folder of the camera's volume to copy into."));
        return;
    }
    ImportPaths({path}, true);
}

void ExplorerFileCommands::ImportPaths(const QStringList& local_paths, bool caption) {
    const std::string folder = CurrentVolumeFolder();
    if (folder.empty() || local_paths.isEmpty()) return;
    std::vector<ExplorerResult> results;
    RunTransfer(QStringLiteral("Copying to the volume..."), caption, [&](const TransferControl& control) {
        for (const QString& path : local_paths) {
            results.push_back(ImportLocalPath(fat::DefaultVolume(), LocalPath(path), folder, control));
            if (cancelled_) break;
        }
        return ExplorerResult{};
    });
    // Rows are appended as the user watches them come; a name listed
    // already (a replaced file, a merged folder) or a failure that left part
    // of a folder behind re-reads the folder instead, so it shows what is
    // there, each name once.
    bool reread = false;
    for (const ExplorerResult& result : results) {
        if (result.ok) {
            reread = !explorer_.AppendVolumeEntry(result.entry) || reread;
        } else {
            reread = true;
            if (cancelled_) tools_.StatusText->setText(FromUtf8(result.message));
            else Inform(FromUtf8(result.message));
        }
    }
    if (reread) explorer_.RereadVolumeFolder();
}

// ---- Context menu ----------------------------------------------------------

void ExplorerFileCommands::OnListRightClick(const QPoint& position) {
    context_menu_->popup(tools_.ExplorerList->viewport()->mapToGlobal(position));
}

void ExplorerFileCommands::OnFileDelete() {
    DeleteSelected(QGuiApplication::keyboardModifiers().testFlag(Qt::ShiftModifier));
}

void ExplorerFileCommands::DeleteSelected(bool for_good) {
    if (busy_) return;
    const QStringList names = SelectedNames();
    if (names.isEmpty()) return;
    const QString question = names.size() == 1 ? kDeleteOneText.arg(names.front()) : kDeleteSeveralText;
    const std::string volume_folder = CurrentVolumeFolder();
    const QString local_folder = CurrentLocalFolder();
    if (volume_folder.empty() && local_folder.isEmpty()) return;
    if (!dialog_.Boxes().AskYesNo(Window(), question)) return;
    if (!volume_folder.empty()) DeleteOnVolume(volume_folder, names);
    else DeleteLocal(local_folder, names, for_good);
}

void ExplorerFileCommands::DeleteOnVolume(const std::string& folder, const QStringList& names) {
    for (const QString& name : names) {
        const ExplorerResult result = DeleteVolumeEntry(fat::DefaultVolume(), folder + name.toStdString());
        if (!result.ok) {
            Inform(FromUtf8(result.message));
            break;
        }
    }
    explorer_.RereadVolumeFolder();
}

void ExplorerFileCommands::DeleteLocal(const QString& folder, const QStringList& names, bool for_good) {
    const QDir dir(folder);
    for (const QString& name : names) {
        const QString path = dir.filePath(name);
        const QFileInfo info(path);
        bool done = false;
        if (for_good) done = info.isDir() && !info.isSymLink() ? QDir(path).removeRecursively() : QFile::remove(path);
        else done = QFile::moveToTrash(path);
        if (!done) {
            Inform(for_good ? QStringLiteral("Cannot delete '%1'.").arg(name)
                            : QStringLiteral("Cannot move '%1' to the trash.").arg(name));
            break;
        }
    }
    explorer_.RefreshLocalView();
}

void ExplorerFileCommands::OnFileRename() {
    if (busy_) return;
    const QStringList names = SelectedNames();
    if (names.isEmpty()) return;
    const std::string volume_folder = CurrentVolumeFolder();
    const QString local_folder = CurrentLocalFolder();
    if (volume_folder.empty() && local_folder.isEmpty()) return;
    const QString old_name = names.front();
    const QString new_name = dialogs_->NewName(Window(), old_name);
    if (new_name.isEmpty() || new_name == old_name) return;
    if (!volume_folder.empty()) RenameOnVolume(volume_folder, old_name, new_name);
    else RenameLocal(local_folder, old_name, new_name);
}

void ExplorerFileCommands::RenameOnVolume(const std::string& folder, const QString& old_name, const QString& new_name) {
    const ExplorerResult result =
        RenameVolumeEntry(fat::DefaultVolume(), folder + old_name.toStdString(), new_name.toStdString());
    if (!result.ok) {
        Inform(FromUtf8(result.message));
        return;
    }
    explorer_.RereadVolumeFolder();
}

void ExplorerFileCommands::RenameLocal(const QString& folder, const QString& old_name, const QString& new_name) {
    if (const std::string problem = NewNameCharacterProblem(new_name.toStdString()); !problem.empty()) {
        Inform(FromUtf8(problem));
        return;
    }
    const QDir dir(folder);
    if (!QFile::rename(dir.filePath(old_name), dir.filePath(new_name)))
        Inform(QStringLiteral("Cannot rename '%1' to '%2'.").arg(old_name, new_name));
    explorer_.RefreshLocalView();
}

// ---- Save ------------------------------------------------------------------

QString ExplorerFileCommands::SuggestedSavePath(const std::string& name) const {
    return QDir(FromUtf8(dialog_.ExeDirectory)).filePath(FromUtf8(SafeLocalName(name)));
}

void ExplorerFileCommands::ShowSaveStatus(bool saved) {
    tools_.StatusText->setText(saved ? kSaveCompletedText : kSaveFailedText);
}

void ExplorerFileCommands::OnFileSave() {
    if (busy_) return;
    const QStringList names = SelectedNames();
    if (names.isEmpty()) return;
    const std::string volume_folder = CurrentVolumeFolder();
    const QString local_folder = CurrentLocalFolder();
    if (!volume_folder.empty()) SaveFromVolume(volume_folder, names);
    else if (!local_folder.isEmpty()) SaveLocal(local_folder, names);
}

// Cancel in the Save As dialog ends the command: that entry and the ones
// after it are not saved.
void ExplorerFileCommands::SaveFromVolume(const std::string& folder, const QStringList& names) {
    for (const QString& name : names) {
        const QString chosen = dialogs_->SavePath(Window(), SuggestedSavePath(name.toStdString()));
        if (chosen.isEmpty()) return;
        const std::string source = folder + name.toStdString();
        const fs::path target = LocalPath(chosen);
        const ExplorerResult result =
            RunTransfer(QStringLiteral("Saving %1...").arg(name), false, [&](const TransferControl& control) {
                // The Save As dialog asked about the file chosen; the ones
                // inside a saved folder are asked about here.
                TransferControl own = control;
                own.replace = [&](const std::string& existing) {
                    return LocalPath(FromUtf8(existing)) == target || control.replace(existing);
                };
                return SaveVolumeEntryAs(fat::DefaultVolume(), source, target, own);
            });
        if (!result.ok && cancelled_) {
            tools_.StatusText->setText(FromUtf8(result.message));
            return;
        }
        if (!result.ok) {
            Inform(FromUtf8(result.message));
            ShowSaveStatus(false);
            return;
        }
    }
    ShowSaveStatus(true);
}

void ExplorerFileCommands::SaveLocal(const QString& folder, const QStringList& names) {
    const QDir dir(folder);
    for (const QString& name : names) {
        const QString source = dir.filePath(name);
        const QString chosen = dialogs_->SavePath(Window(), SuggestedSavePath(name.toStdString()));
        if (chosen.isEmpty()) return;
        const QFileInfo from(source);
        const QFileInfo to(chosen);
        bool saved = false;
        std::string problem;
        if (!from.exists() || from.absoluteFilePath() == to.absoluteFilePath()) {
            problem = "it cannot be copied onto itself";
        } else if (from.isDir()) {
            if (IsInside(LocalPath(chosen), LocalPath(source))) problem = "a folder cannot be copied into itself";
            else if (to.exists() && !to.isDir()) problem = "a file of that name is in the way";
            else {
                const bool replace = to.exists() && AskReplace(chosen.toStdString());
                saved = CopyLocalTree(LocalPath(source), LocalPath(chosen), replace, &problem);
            }
        } else {
            // The Save As dialog asked before an existing file is replaced.
            if (to.exists() && !to.isDir()) QFile::remove(chosen);
            saved = QFile::copy(source, chosen);
            if (!saved) problem = "the copy could not be written";
        }
        if (!saved) {
            Inform(QStringLiteral("%1\nCannot save '%2' as %3: %4.")
                       .arg(kSaveFailedText, name, chosen, FromUtf8(problem)));
            ShowSaveStatus(false);
            return;
        }
    }
    ShowSaveStatus(true);
}
