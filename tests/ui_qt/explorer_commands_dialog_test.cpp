// The explorer's file commands in the developer window, driven headless:
// drops onto the list, the console copy with its file dialog answered by
// the test, the context menu's Delete, Rename and Save on the camera's
// hidden volume and on a local folder. After every change on the volume,
// fsck.fat checks it and mtools reads it back.
#include <QtCore/QCoreApplication>
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QMimeData>
#include <QtCore/QUrl>
#include <QtGui/QAction>
#include <QtGui/QDropEvent>
#include <QtWidgets/QLabel>
#include <QtWidgets/QMenu>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QTreeView>

#include <filesystem>
#include <fstream>

#include "desktop_fixture.h"
#include "device/camera_layout.h"
#include "support/pattern.h"
#include "support/test_support.h"
#include "ui/qt/developer_tools.h"
#include "ui/qt/dialog_volume_explorer.h"
#include "ui/qt/explorer_file_commands.h"

namespace desktoptest {
namespace {

namespace fs = std::filesystem;
using testsupport::Pattern;
using testsupport::Quote;

constexpr std::uint64_t kHiddenVolumeBytes = 16u << 20;
constexpr std::uint64_t kHiddenVolumeOffset = std::uint64_t{camera::kHiddenVolumeStartSector} * 512;
// Four chunks of the console copy: 32768, 32768, 32768 and 1696 bytes.
constexpr std::size_t kChunkedFile = 100000;
// More than the whole hidden volume holds.
constexpr std::uint64_t kTooBigForTheVolume = 20u << 20;

// What the file dialogs would have been answered with, and what they were
// asked.
struct DialogScript {
    QString open_path;
    std::vector<QString> save_paths;  // one per Save As, in turn; empty: Cancel
    QString new_name;
    std::vector<QString> suggested;
    std::vector<QString> renamed;
};

class ScriptedFileDialogs : public ExplorerFileDialogs {
public:
    explicit ScriptedFileDialogs(DialogScript& script) : script_(script) {}
    QString OpenPath(QWidget*) override { return script_.open_path; }
    QString SavePath(QWidget*, const QString& suggested) override {
        script_.suggested.push_back(suggested);
        if (script_.save_paths.empty()) return {};
        QString path = script_.save_paths.front();
        script_.save_paths.erase(script_.save_paths.begin());
        return path;
    }
    QString NewName(QWidget*, const QString& old_name) override {
        script_.renamed.push_back(old_name);
        return script_.new_name;
    }

private:
    DialogScript& script_;
};

class ExplorerCommandsDialogTest : public DesktopTest {
protected:
    // The hidden volume holds /DCIM/100CAM/RAW/, /DCIM/100CAM/p1.jpg,
    // /DCIM/a.txt, /DCIM/b.bin and /LOG/run.log; the window is open on /DCIM.
    void OpenOnDcim() {
        Prepare(ProgramSetup().HiddenVolume(kHiddenVolumeBytes));
        image_ = camera_dir_ + "/system.img";
        local_ = scratch_ + "/local";
        fs::create_directories(local_);
        for (const char* folder : {"/DCIM", "/DCIM/100CAM", "/DCIM/100CAM/RAW", "/LOG"})
            ASSERT_EQ(Cli("mkdir " + std::string(folder)).exit_code, 0) << folder;
        const std::string files = scratch_ + "/files";
        fs::create_directories(files);
        testsupport::WriteFileBytes(files + "/a.txt", {'a'});
        testsupport::WriteFileBytes(files + "/b.bin", Pattern(1025, 1));
        testsupport::WriteFileBytes(files + "/p1.jpg", Pattern(3000, 2));
        testsupport::WriteFileBytes(files + "/run.log", {'o', 'k'});
        for (auto [file, folder] : {std::pair{"a.txt", "/DCIM"}, std::pair{"b.bin", "/DCIM"},
                                    std::pair{"p1.jpg", "/DCIM/100CAM"}, std::pair{"run.log", "/LOG"}})
            ASSERT_EQ(Cli("put " + Quote(files + "/" + file) + " " + folder).exit_code, 0) << file;

        Explorer().Commands().SetFileDialogs(std::make_unique<ScriptedFileDialogs>(script_));
        ASSERT_TRUE(Dialog().OnInitDialog());
        Dialog().show();
        Dialog().ShowDeveloperTools();
        QStandardItem* dcim = Child(Tree().item(0), QStringLiteral("DCIM"));
        ASSERT_NE(dcim, nullptr);
        TreeView()->setCurrentIndex(dcim->index());
        ASSERT_EQ(Names(), (QStringList{QStringLiteral("100CAM"), QStringLiteral("a.txt"), QStringLiteral("b.bin")}));
    }

    testsupport::RunResult Cli(const std::string& command) {
        return testsupport::Cli("--image " + Quote(image_) + " " + command);
    }

    DialogVolumeExplorer& Explorer() { return Dialog().Explorer(); }
    ExplorerFileCommands& Commands() { return Explorer().Commands(); }
    ExplorerTreeModel& Tree() { return Explorer().Tree(); }
    QTreeView* TreeView() { return Dialog().Tools->ExplorerTree; }
    QTreeView* List() { return Dialog().Tools->ExplorerList; }

    static QStandardItem* Child(QStandardItem* item, const QString& text) {
        for (int row = 0; item && row < item->rowCount(); ++row)
            if (item->child(row)->text() == text) return item->child(row);
        return nullptr;
    }
    QStringList Names() {
        const ExplorerListModel& list = Explorer().List();
        QStringList names;
        for (int row = 0; row < list.rowCount(); ++row)
            names << list.data(list.index(row, ExplorerListModel::NameColumn)).toString();
        return names;
    }

    fs::path LocalFile(const std::string& relative, const std::vector<std::uint8_t>& bytes) {
        const fs::path path = fs::path(local_) / relative;
        fs::create_directories(path.parent_path());
        testsupport::WriteFileBytes(path.string(), bytes);
        return path;
    }

    // Enter, move and drop, as a file manager's drag delivers them to the
    // list's viewport; true when all three were accepted.
    bool DropUrls(const std::vector<fs::path>& paths) {
        QMimeData data;
        QList<QUrl> urls;
        for (const fs::path& path : paths) urls << QUrl::fromLocalFile(QString::fromStdString(path.string()));
        data.setUrls(urls);
        QWidget* viewport = List()->viewport();
        const QPoint inside = viewport->rect().center();
        QDragEnterEvent enter(inside, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(viewport, &enter);
        QDragMoveEvent move(inside, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(viewport, &move);
        QDropEvent drop(QPointF(inside), Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(viewport, &drop);
        const bool accepted = enter.isAccepted() && move.isAccepted() && drop.isAccepted();
        EXPECT_EQ(drop.dropAction(), Qt::CopyAction);
        EXPECT_TRUE(WaitUntil([this] { return !Commands().Busy(); }));
        return accepted;
    }

    void SelectRows(const QStringList& names) {
        List()->clearSelection();
        for (const QString& name : names) {
            const int row = Explorer().List().FindRow(name);
            ASSERT_GE(row, 0) << name.toStdString();
            List()->selectionModel()->select(Explorer().List().index(row, 0),
                                             QItemSelectionModel::Select | QItemSelectionModel::Rows);
        }
    }
    QAction* MenuAction(const QString& text) {
        for (QAction* action : Commands().ContextMenu()->actions())
            if (action->text() == text) return action;
        return nullptr;
    }

    void ExpectVolumeClean() {
        const testsupport::RunResult r = testsupport::Fsck(image_, kHiddenVolumeOffset);
        EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
    }
    std::string MtoolsImage() const { return image_ + "@@" + std::to_string(kHiddenVolumeOffset); }
    std::vector<std::uint8_t> MtoolsRead(const std::string& path) {
        const std::string out = scratch_ + "/mtools-out";
        fs::remove(out);
        const testsupport::RunResult r =
            testsupport::Run("mcopy -n -i " + Quote(MtoolsImage()) + " " + Quote("::" + path) + " " + Quote(out));
        EXPECT_EQ(r.exit_code, 0) << path << ": " << r.err;
        return testsupport::ReadFileBytes(out);
    }
    std::string MtoolsDir(const std::string& path) {
        return testsupport::Run("LC_ALL=C.UTF-8 mdir -i " + Quote(MtoolsImage()) + " " + Quote("::" + path)).out;
    }
    bool OnVolume(const std::string& path) {
        return testsupport::Run("mdir -i " + Quote(MtoolsImage()) + " " + Quote("::" + path)).exit_code == 0;
    }

    std::string image_;
    std::string local_;
    DialogScript script_;
};

// Files and a nested folder dropped together: each gets its row at the
// end, the folder its tree item, and everything below it is copied under
// whole names.
TEST_F(ExplorerCommandsDialogTest, DropImportsFilesAndNestedFolders) {
    OpenOnDcim();
    const fs::path photo = LocalFile("photo.bin", Pattern(kChunkedFile, 3));
    const fs::path empty = LocalFile("empty.dat", {});
    LocalFile("2014.05 trip/day one.txt", {'d', '1'});
    LocalFile("2014.05 trip/sub dir.x/Photo Of The Day.jpeg", Pattern(70000, 4));
    fs::create_directories(local_ + "/2014.05 trip/sub dir.x/nothing here");

    EXPECT_TRUE(DropUrls({photo, empty, fs::path(local_) / "2014.05 trip"}));
    EXPECT_TRUE(boxes_.messages.empty()) << boxes_.messages.front().toStdString();
    EXPECT_EQ(Names(), (QStringList{QStringLiteral("100CAM"), QStringLiteral("a.txt"), QStringLiteral("b.bin"),
                                    QStringLiteral("photo.bin"), QStringLiteral("empty.dat"),
                                    QStringLiteral("2014.05 trip")}));
    QStandardItem* dcim = Child(Tree().item(0), QStringLiteral("DCIM"));
    EXPECT_NE(Child(dcim, QStringLiteral("2014.05 trip")), nullptr);
    EXPECT_TRUE(List()->isEnabled()) << "the explorer is given back";

    TreeView()->expand(dcim->index());
    QCoreApplication::processEvents();
    QDir().mkpath(QStringLiteral(QUILLON_SCREENSHOT_DIR));
    EXPECT_TRUE(Dialog().Tools->grab().save(QStringLiteral(QUILLON_SCREENSHOT_DIR "/explorer_after_drop.png")));

    ExpectVolumeClean();
    EXPECT_EQ(MtoolsRead("/DCIM/photo.bin"), Pattern(kChunkedFile, 3));
    EXPECT_TRUE(MtoolsRead("/DCIM/empty.dat").empty());
    EXPECT_EQ(MtoolsRead("/DCIM/2014.05 trip/day one.txt"), (std::vector<std::uint8_t>{'d', '1'}));
    EXPECT_EQ(MtoolsRead("/DCIM/2014.05 trip/sub dir.x/Photo Of The Day.jpeg"), Pattern(70000, 4));
    EXPECT_TRUE(OnVolume("/DCIM/2014.05 trip/sub dir.x/nothing here"));

    // The same folder again merges: nothing new, each name listed once.
    EXPECT_TRUE(DropUrls({fs::path(local_) / "2014.05 trip"}));
    EXPECT_EQ(Names().count(QStringLiteral("2014.05 trip")), 1);
    ExpectVolumeClean();
}

// Drops are taken only where they can go: a volume folder, local files.
TEST_F(ExplorerCommandsDialogTest, DropIsRefusedOutsideTheVolume) {
    OpenOnDcim();
    const fs::path file = LocalFile("x.bin", {1, 2, 3});
    QStandardItem* home = nullptr;
    for (int row = 0; row < Tree().rowCount(); ++row)
        if (Tree().item(row)->text() == QStringLiteral("/")) home = Tree().item(row);
    ASSERT_NE(home, nullptr);
    TreeView()->setCurrentIndex(home->index());
    EXPECT_FALSE(DropUrls({file}));
    EXPECT_FALSE(OnVolume("/x.bin"));
    EXPECT_FALSE(OnVolume("/DCIM/x.bin"));
}

// A dropped file whose name is there already is replaced only when the
// user says so; the list shows the name once either way.
TEST_F(ExplorerCommandsDialogTest, DropOfAnExistingFileAsksBeforeReplacing) {
    for (const bool replace : {true, false}) {
        SCOPED_TRACE(replace ? "replace" : "keep");
        OpenOnDcim();
        boxes_.answer_yes = replace;
        const fs::path newer = LocalFile("b.bin", Pattern(5000, 9));
        EXPECT_TRUE(DropUrls({newer}));
        ASSERT_EQ(boxes_.questions.size(), 1u);
        EXPECT_TRUE(boxes_.questions.front().contains(QStringLiteral("/DCIM/b.bin"))) << boxes_.questions.front().toStdString();
        EXPECT_TRUE(boxes_.messages.empty());
        EXPECT_EQ(Names().count(QStringLiteral("b.bin")), 1);
        EXPECT_EQ(MtoolsRead("/DCIM/b.bin"), replace ? Pattern(5000, 9) : Pattern(1025, 1));
        ExpectVolumeClean();
        TearDown();
        boxes_ = BoxLog();
    }
}

// A file the volume cannot hold: the message names it, no row appears and
// nothing of it stays on the volume.
TEST_F(ExplorerCommandsDialogTest, FailedWriteOnAFullVolumeLeavesNothing) {
    OpenOnDcim();
    const fs::path big = LocalFile("big.bin", {});
    fs::resize_file(big, kTooBigForTheVolume);
    EXPECT_TRUE(DropUrls({big}));
    ASSERT_EQ(boxes_.messages.size(), 1u);
    EXPECT_TRUE(boxes_.messages.front().contains(QStringLiteral("big.bin"))) << boxes_.messages.front().toStdString();
    EXPECT_EQ(Names(), (QStringList{QStringLiteral("100CAM"), QStringLiteral("a.txt"), QStringLiteral("b.bin")}));
    EXPECT_FALSE(OnVolume("/DCIM/big.bin"));
    ExpectVolumeClean();
    EXPECT_EQ(MtoolsRead("/DCIM/b.bin"), Pattern(1025, 1));
}

// The console copy: the file dialog's choice is written in chunks while
// the window's caption counts them; Cancel in the dialog changes nothing.
TEST_F(ExplorerCommandsDialogTest, CopyFileToConsoleShowsWrittenBytesInTheCaption) {
    OpenOnDcim();
    QPushButton* button = Dialog().Tools->CopyToConsoleButton;
    ASSERT_TRUE(button->isEnabled());
    const QString title = Dialog().Tools->windowTitle();
    button->click();
    EXPECT_EQ(Dialog().Tools->windowTitle(), title);
    EXPECT_EQ(Names().size(), 3);

    script_.open_path = QString::fromStdString(LocalFile("console.bin", Pattern(kChunkedFile, 5)).string());
    QStringList captions;
    bool explorer_held = true;
    Commands().on_progress = [&](const TransferProgress&) {
        captions << Dialog().Tools->windowTitle();
        explorer_held = explorer_held && !List()->isEnabled() && !button->isEnabled();
    };
    button->click();
    EXPECT_EQ(captions, (QStringList{QStringLiteral("Written 32768 of 100000 (32%)"),
                                     QStringLiteral("Written 65536 of 100000 (65%)"),
                                     QStringLiteral("Written 98304 of 100000 (98%)"),
                                     QStringLiteral("Written 100000 of 100000 (100%)")}));
    EXPECT_TRUE(explorer_held) << "the volume is the copy's alone while it runs";
    EXPECT_EQ(Dialog().Tools->windowTitle(), QStringLiteral("Written 100000 of 100000 (100%)"));
    EXPECT_TRUE(button->isEnabled());
    EXPECT_EQ(Names().back(), QStringLiteral("console.bin"));
    EXPECT_TRUE(boxes_.messages.empty());
    ExpectVolumeClean();
    EXPECT_EQ(MtoolsRead("/DCIM/console.bin"), Pattern(kChunkedFile, 5));
}

// Cancel in the progress stops the copy at the next chunk: the file in
// hand is removed, no row shows it.
TEST_F(ExplorerCommandsDialogTest, CancelDuringACopyLeavesNoPartialFile) {
    OpenOnDcim();
    script_.open_path = QString::fromStdString(LocalFile("cut.bin", Pattern(kChunkedFile, 6)).string());
    int chunks = 0;
    Commands().on_progress = [&](const TransferProgress&) {
        if (++chunks == 2) Commands().CancelTransfer();
    };
    Dialog().Tools->CopyToConsoleButton->click();
    EXPECT_EQ(chunks, 2);
    EXPECT_FALSE(Names().contains(QStringLiteral("cut.bin")));
    EXPECT_FALSE(OnVolume("/DCIM/cut.bin"));
    EXPECT_TRUE(boxes_.messages.empty()) << "the user cancelled; the status says so";
    EXPECT_TRUE(Dialog().Tools->StatusText->text().contains(QStringLiteral("cancelled")));
    ExpectVolumeClean();
}

// A right click anywhere on the list opens the file menu there, with or
// without a selection; its commands then do nothing without one.
TEST_F(ExplorerCommandsDialogTest, RightClickOpensTheFileMenu) {
    OpenOnDcim();
    QMenu* menu = Commands().ContextMenu();
    QStringList texts;
    for (QAction* action : menu->actions()) texts << (action->isSeparator() ? QStringLiteral("-") : action->text());
    EXPECT_EQ(texts, (QStringList{QStringLiteral("Delete"), QStringLiteral("Rename"), QStringLiteral("Save"),
                                  QStringLiteral("-")}));
    EXPECT_EQ(menu->title(), QStringLiteral("File"));
    List()->clearSelection();
    emit List()->customContextMenuRequested(QPoint(10, 10));
    EXPECT_TRUE(WaitUntil([menu] { return menu->isVisible(); }));
    menu->hide();
    for (const char* command : {"Delete", "Rename", "Save"}) MenuAction(QString::fromLatin1(command))->trigger();
    EXPECT_TRUE(boxes_.questions.empty());
    EXPECT_TRUE(boxes_.messages.empty());
    EXPECT_TRUE(script_.renamed.empty());
    EXPECT_TRUE(script_.suggested.empty());
    EXPECT_EQ(Names().size(), 3);
}

// Delete on the volume: one confirmation naming the row (or the count),
// then files and whole folder trees go, and the folder is listed again.
TEST_F(ExplorerCommandsDialogTest, DeleteRemovesFilesAndFolderTrees) {
    struct Case {
        QStringList rows;
        bool yes;
        QString question;
        std::vector<std::string> gone;
    };
    const Case cases[] = {
        {{QStringLiteral("b.bin")}, true, QStringLiteral("Are you sure you want to delete 'b.bin'?"), {"/DCIM/b.bin"}},
        {{QStringLiteral("100CAM")}, true, QStringLiteral("Are you sure you want to delete '100CAM'?"),
         {"/DCIM/100CAM/RAW", "/DCIM/100CAM/p1.jpg", "/DCIM/100CAM"}},
        {{QStringLiteral("100CAM"), QStringLiteral("a.txt")}, true,
         QStringLiteral("Are you sure you want to delete file?"), {"/DCIM/100CAM", "/DCIM/a.txt"}},
        {{QStringLiteral("a.txt")}, false, QStringLiteral("Are you sure you want to delete 'a.txt'?"), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rows.join(QLatin1Char(',')).toStdString());
        OpenOnDcim();
        boxes_.answer_yes = c.yes;
        SelectRows(c.rows);
        MenuAction(QStringLiteral("Delete"))->trigger();
        EXPECT_EQ(boxes_.questions, std::vector<QString>{c.question});
        EXPECT_TRUE(boxes_.messages.empty());
        for (const std::string& path : c.gone) EXPECT_FALSE(OnVolume(path)) << path;
        for (const QString& row : c.rows) EXPECT_EQ(Names().contains(row), !c.yes) << row.toStdString();
        EXPECT_EQ(Child(Child(Tree().item(0), QStringLiteral("DCIM")), QStringLiteral("100CAM")) != nullptr,
                  !c.yes || !c.rows.contains(QStringLiteral("100CAM")));
        EXPECT_TRUE(OnVolume("/LOG/run.log"));
        ExpectVolumeClean();
        TearDown();
        boxes_ = BoxLog();
    }
}

// Rename through the engine's general rename: long names and short ones,
// files and folders; the row shows the new name, the bytes stay; a name
// the rules refuse says why and changes nothing.
TEST_F(ExplorerCommandsDialogTest, RenameGivesLongAndShortNames) {
    struct Case {
        QString from;
        QString to;
        bool renamed;
    };
    const Case cases[] = {
        {QStringLiteral("b.bin"), QStringLiteral("A much longer name for b.binary"), true},
        {QStringLiteral("a.txt"), QStringLiteral("z.txt"), true},
        {QStringLiteral("100CAM"), QStringLiteral("101 Camera Roll"), true},
        {QStringLiteral("a.txt"), QStringLiteral("a:b"), false},
        {QStringLiteral("a.txt"), QStringLiteral("b.bin"), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.to.toStdString());
        OpenOnDcim();
        const std::vector<std::uint8_t> bytes = c.from == QStringLiteral("100CAM")
                                                    ? MtoolsRead("/DCIM/100CAM/p1.jpg")
                                                    : MtoolsRead("/DCIM/" + c.from.toStdString());
        SelectRows({c.from});
        script_.new_name = c.to;
        MenuAction(QStringLiteral("Rename"))->trigger();
        EXPECT_EQ(script_.renamed, std::vector<QString>{c.from});
        const std::string old_path = "/DCIM/" + c.from.toStdString();
        const std::string new_path = "/DCIM/" + c.to.toStdString();
        if (c.renamed) {
            EXPECT_TRUE(boxes_.messages.empty()) << boxes_.messages.front().toStdString();
            EXPECT_TRUE(Names().contains(c.to));
            EXPECT_FALSE(Names().contains(c.from));
            EXPECT_FALSE(OnVolume(old_path));
            EXPECT_EQ(c.from == QStringLiteral("100CAM") ? MtoolsRead(new_path + "/p1.jpg") : MtoolsRead(new_path),
                      bytes);
        } else {
            ASSERT_EQ(boxes_.messages.size(), 1u);
            EXPECT_TRUE(Names().contains(c.from));
            EXPECT_TRUE(OnVolume(old_path));
            EXPECT_EQ(MtoolsRead(old_path), bytes);
        }
        ExpectVolumeClean();
        TearDown();
        boxes_ = BoxLog();
        script_ = DialogScript();
    }
}

// Save: a file and a folder with what is inside, each through its own Save
// As dialog that starts in the program's folder; Cancel saves nothing.
TEST_F(ExplorerCommandsDialogTest, SaveCopiesFilesAndFoldersToWhereTheUserChose) {
    OpenOnDcim();
    const std::string out = scratch_ + "/saved";
    fs::create_directories(out);
    SelectRows({QStringLiteral("100CAM"), QStringLiteral("b.bin")});
    script_.save_paths = {QString::fromStdString(out + "/camera roll"), QString::fromStdString(out + "/b copy.bin")};
    MenuAction(QStringLiteral("Save"))->trigger();
    EXPECT_TRUE(boxes_.messages.empty()) << boxes_.messages.front().toStdString();
    EXPECT_EQ(script_.suggested, (std::vector<QString>{QString::fromStdString(app_dir_ + "/100CAM"),
                                                       QString::fromStdString(app_dir_ + "/b.bin")}));
    EXPECT_EQ(testsupport::ReadFileBytes(out + "/b copy.bin"), Pattern(1025, 1));
    EXPECT_EQ(testsupport::ReadFileBytes(out + "/camera roll/p1.jpg"), Pattern(3000, 2));
    EXPECT_TRUE(fs::is_directory(out + "/camera roll/RAW"));
    EXPECT_EQ(Dialog().Tools->StatusText->text(), QStringLiteral("Save completed"));

    // Cancel: nothing is written, not even into the program's folder.
    Dialog().Tools->StatusText->setText(QStringLiteral("before"));
    script_ = DialogScript();
    SelectRows({QStringLiteral("a.txt")});
    MenuAction(QStringLiteral("Save"))->trigger();
    EXPECT_EQ(script_.suggested.size(), 1u);
    EXPECT_FALSE(fs::exists(app_dir_ + "/a.txt"));
    EXPECT_EQ(Dialog().Tools->StatusText->text(), QStringLiteral("before"));

    // Cancel in the progress: the copy in hand goes with it.
    script_.save_paths = {QString::fromStdString(out + "/cut.bin")};
    SelectRows({QStringLiteral("b.bin")});
    Commands().on_progress = [this](const TransferProgress&) { Commands().CancelTransfer(); };
    MenuAction(QStringLiteral("Save"))->trigger();
    EXPECT_FALSE(fs::exists(out + "/cut.bin"));
    EXPECT_TRUE(boxes_.messages.empty());
    EXPECT_TRUE(Dialog().Tools->StatusText->text().startsWith(QStringLiteral("Save cancelled")))
        << Dialog().Tools->StatusText->text().toStdString();
    ExpectVolumeClean();
}

// The menu's commands on a local folder: the trash, Shift's delete for
// good, a rename through the file system, a save as a copy.
TEST_F(ExplorerCommandsDialogTest, LocalRowsAreDeletedRenamedAndSaved) {
    OpenOnDcim();
    // The trash of this test's own data folder, not the user's.
    const std::string trash_home = scratch_ + "/data";
    fs::create_directories(trash_home);
    struct TrashHome {
        explicit TrashHome(const std::string& path) { qputenv("XDG_DATA_HOME", QByteArray::fromStdString(path)); }
        ~TrashHome() { qunsetenv("XDG_DATA_HOME"); }
    } trash_home_variable(trash_home);
    LocalFile("keep.txt", {'k'});
    LocalFile("trash me.txt", {'t'});
    LocalFile("tree/inner/deep.bin", {1, 2});
    Dialog().Device.DevicePath = local_;
    Explorer().RefreshLocalView();
    ASSERT_TRUE(Names().contains(QStringLiteral("tree")));

    SelectRows({QStringLiteral("keep.txt")});
    script_.new_name = QStringLiteral("kept.txt");
    MenuAction(QStringLiteral("Rename"))->trigger();
    EXPECT_TRUE(fs::exists(local_ + "/kept.txt"));
    EXPECT_TRUE(Names().contains(QStringLiteral("kept.txt")));
    script_.new_name = QStringLiteral("bad|name");
    SelectRows({QStringLiteral("kept.txt")});
    MenuAction(QStringLiteral("Rename"))->trigger();
    ASSERT_EQ(boxes_.messages.size(), 1u);
    EXPECT_TRUE(boxes_.messages.front().startsWith(QStringLiteral("A file name cannot contain")));
    EXPECT_TRUE(fs::exists(local_ + "/kept.txt"));

    script_.save_paths = {QString::fromStdString(scratch_ + "/copy.txt")};
    MenuAction(QStringLiteral("Save"))->trigger();
    EXPECT_EQ(testsupport::ReadFileBytes(scratch_ + "/copy.txt"), (std::vector<std::uint8_t>{'k'}));
    EXPECT_TRUE(fs::exists(local_ + "/kept.txt"));

    SelectRows({QStringLiteral("tree")});
    Commands().DeleteSelected(true);
    EXPECT_FALSE(fs::exists(local_ + "/tree"));
    EXPECT_FALSE(Names().contains(QStringLiteral("tree")));

    SelectRows({QStringLiteral("trash me.txt")});
    MenuAction(QStringLiteral("Delete"))->trigger();
    EXPECT_FALSE(fs::exists(local_ + "/trash me.txt"));
    EXPECT_FALSE(Names().contains(QStringLiteral("trash me.txt")));
    EXPECT_TRUE(fs::exists(trash_home + "/Trash/files/trash me.txt")) << "kept in the trash";
    EXPECT_EQ(boxes_.questions.size(), 2u);
    EXPECT_EQ(boxes_.messages.size(), 1u) << boxes_.messages.back().toStdString();
}

}  // namespace
}  // namespace desktoptest
