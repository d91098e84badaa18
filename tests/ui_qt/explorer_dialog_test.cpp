// The developer window's explorer: discovery when the window opens, the
// tree's selection and expansion over a small hidden volume made at test
// time, the remount at the Start Sector field, the computer's own folders,
// and a disk image given instead of a camera.
#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtTest/QTest>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QTreeView>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "desktop_fixture.h"
#include "device/sector_io.h"
#include "support/test_support.h"
#include "ui/explorer_rules.h"
#include "ui/qt/control_ids.h"
#include "ui/qt/developer_tools.h"
#include "ui/qt/dialog_volume_explorer.h"

namespace desktoptest {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kHiddenVolumeBytes = 16u << 20;
const QString kCameraRoot = QStringLiteral("PHYSICALDRIVE3\\");
const char kSystemInterface[] =
    "\\\\?\\usbstor#disk&ven_brenx&prod_system&rev_2.12#1634&1#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
const char kCameraParent[] = "USB\\VID_E4D2&PID_3A17\\1634";

// A 64-bit FNV-1a of the whole file, read in pieces: the system image is
// mostly a sparse hole, too big to hold twice for a comparison.
std::uint64_t FileDigest(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::uint64_t hash = 14695981039346656037ull;
    std::vector<char> chunk(1 << 20);
    while (in) {
        in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
        for (std::streamsize i = 0; i < in.gcount(); ++i) {
            hash ^= static_cast<unsigned char>(chunk[static_cast<std::size_t>(i)]);
            hash *= 1099511628211ull;
        }
    }
    return hash;
}

class ExplorerDialogTest : public DesktopTest {
protected:
    // A camera whose hidden volume holds
    //   /DCIM/100CAM/RAW/, /DCIM/100CAM/p1.jpg, /DCIM/a.txt (0 bytes),
    //   /DCIM/b.bin (1025 bytes), /DCIM/.x, /LOG/run.log
    // made with the command-line tool on the image before the dialog starts.
    void PrepareCamera(const ProgramSetup& setup = ProgramSetup()) {
        Prepare(ProgramSetup(setup).HiddenVolume(kHiddenVolumeBytes));
        image_ = camera_dir_ + "/system.img";
        for (const char* folder : {"/DCIM", "/DCIM/100CAM", "/DCIM/100CAM/RAW", "/LOG"})
            ASSERT_EQ(Cli("mkdir " + std::string(folder)).exit_code, 0) << folder;
        const std::string files = scratch_ + "/files";
        fs::create_directories(files);
        testsupport::WriteFileBytes(files + "/a.txt", {});
        testsupport::WriteFileBytes(files + "/b.bin", std::vector<std::uint8_t>(1025, 0x5A));
        testsupport::WriteFileBytes(files + "/.x", {1});
        testsupport::WriteFileBytes(files + "/p1.jpg", std::vector<std::uint8_t>(3000, 0x11));
        testsupport::WriteFileBytes(files + "/run.log", {'o', 'k'});
        for (auto [file, folder] : {std::pair{"a.txt", "/DCIM"}, std::pair{"b.bin", "/DCIM"}, std::pair{".x", "/DCIM"},
                                    std::pair{"p1.jpg", "/DCIM/100CAM"}, std::pair{"run.log", "/LOG"}})
            ASSERT_EQ(Cli("put " + testsupport::Quote(files + "/" + file) + " " + folder).exit_code, 0) << file;
    }

    testsupport::RunResult Cli(const std::string& command) {
        return testsupport::Cli("--image " + testsupport::Quote(image_) + " " + command);
    }

    void OpenTools() {
        ASSERT_TRUE(Dialog().OnInitDialog());
        Dialog().show();
        Dialog().ShowDeveloperTools();
    }

    DialogVolumeExplorer& Explorer() { return Dialog().Explorer(); }
    ExplorerTreeModel& Tree() { return Explorer().Tree(); }
    QTreeView* TreeView() { return Dialog().Tools->ExplorerTree; }

    QStandardItem* TopItem(const QString& text) {
        for (int row = 0; row < Tree().rowCount(); ++row)
            if (Tree().item(row)->text() == text) return Tree().item(row);
        return nullptr;
    }
    static QStandardItem* Child(QStandardItem* item, const QString& text) {
        for (int row = 0; item && row < item->rowCount(); ++row)
            if (item->child(row)->text() == text) return item->child(row);
        return nullptr;
    }
    static QStringList ChildTexts(QStandardItem* item) {
        QStringList texts;
        for (int row = 0; row < item->rowCount(); ++row) texts << item->child(row)->text();
        return texts;
    }
    QStringList ListColumn(int column) {
        const ExplorerListModel& list = Explorer().List();
        QStringList texts;
        for (int row = 0; row < list.rowCount(); ++row) texts << list.data(list.index(row, column)).toString();
        return texts;
    }
    void Select(QStandardItem* item) { TreeView()->setCurrentIndex(item->index()); }
    QString StatusShown() { return Dialog().Tools->StatusText->text(); }
    QString DevicePath() { return QString::fromStdString(Dialog().Device.DevicePath); }

    std::string image_;
};

// Opening the window finds the camera, mounts its hidden volume and shows
// its top level, beside the computer's own roots; nothing is written.
TEST_F(ExplorerDialogTest, OpeningTheWindowFindsTheCameraWithoutWritingToIt) {
    PrepareCamera();
    const std::uint64_t before = FileDigest(image_);
    OpenTools();

    QStandardItem* root = Tree().item(0);
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(root->text(), kCameraRoot);
    EXPECT_EQ(ExplorerTreeModel::Flags(root) & (TREE_ITEM_ROOT | TREE_ITEM_VOLUME_FOLDER),
              TREE_ITEM_ROOT | TREE_ITEM_VOLUME_FOLDER);
    EXPECT_EQ(ChildTexts(root), (QStringList{QStringLiteral("DCIM"), QStringLiteral("LOG")}));
    EXPECT_EQ(Child(root, QStringLiteral("DCIM"))->rowCount(), 1) << "one placeholder for 100CAM";
    EXPECT_EQ(Child(root, QStringLiteral("LOG"))->rowCount(), 0);
    EXPECT_TRUE(TreeView()->isExpanded(root->index()));
    EXPECT_EQ(ListColumn(ExplorerListModel::NameColumn), (QStringList{QStringLiteral("DCIM"), QStringLiteral("LOG")}));
    EXPECT_EQ(DevicePath(), kCameraRoot);
    EXPECT_EQ(Dialog().Device.PhysicalDriveNumber, 3);

    // The local roots follow the volume's: the file system root and home.
    QString home = QDir::homePath();
    if (!home.endsWith(QLatin1Char('/'))) home += QLatin1Char('/');
    for (const QString& local : {QStringLiteral("/"), home}) {
        QStandardItem* item = TopItem(local);
        ASSERT_NE(item, nullptr) << local.toStdString();
        EXPECT_GT(item->row(), root->row());
        EXPECT_EQ(ExplorerTreeModel::Flags(item) & (TREE_ITEM_ROOT | TREE_ITEM_VOLUME_FOLDER), TREE_ITEM_ROOT);
    }

    EXPECT_EQ(FileDigest(image_), before) << "discovery only reads";
    EXPECT_FALSE(fs::exists(camera_dir_ + "/user/APP_DATA.BIN"));
    EXPECT_TRUE(boxes_.messages.empty());
    EXPECT_TRUE(boxes_.questions.empty());

    // Refresh builds the same tree again, from a fresh discovery.
    ASSERT_EQ(Cli("mkdir /NEW").exit_code, 0);
    Dialog().Tools->RefreshButton->click();
    EXPECT_EQ(ChildTexts(Tree().item(0)),
              (QStringList{QStringLiteral("DCIM"), QStringLiteral("LOG"), QStringLiteral("NEW")}));
    EXPECT_EQ(TopItem(QStringLiteral("/"))->row(), 1) << "one volume root, once";
}

// Selecting a folder lists it, makes it the current folder and rebuilds
// its children with one more level of placeholders.
TEST_F(ExplorerDialogTest, SelectingAVolumeFolderListsItAndRebuildsItsChildren) {
    PrepareCamera();
    OpenTools();
    QStandardItem* dcim = Child(Tree().item(0), QStringLiteral("DCIM"));
    ASSERT_NE(dcim, nullptr);
    Select(dcim);

    EXPECT_EQ(DevicePath(), QStringLiteral("PHYSICALDRIVE3\\DCIM"));
    EXPECT_EQ(ListColumn(ExplorerListModel::NameColumn),
              (QStringList{QStringLiteral("100CAM"), QStringLiteral("a.txt"), QStringLiteral("b.bin")}));
    EXPECT_EQ(ListColumn(ExplorerListModel::SizeColumn), (QStringList{QString(), QStringLiteral("0KB"), QStringLiteral("2KB")}));
    EXPECT_EQ(ListColumn(ExplorerListModel::TypeColumn),
              (QStringList{QStringLiteral("File Folder"), QStringLiteral("Unknown File"), QStringLiteral("Unknown File")}));
    ASSERT_EQ(ChildTexts(dcim), QStringList{QStringLiteral("100CAM")});
    EXPECT_EQ(dcim->child(0)->rowCount(), 1) << "100CAM gets a placeholder for RAW";
    EXPECT_EQ(ExplorerTreeModel::Flags(dcim->child(0)), TREE_ITEM_VOLUME_FOLDER);
    EXPECT_EQ(StatusShown(), QString()) << "only a root shows a disk's identity";

    // A folder of files only gets no children.
    QStandardItem* log = Child(Tree().item(0), QStringLiteral("LOG"));
    Select(log);
    EXPECT_EQ(ListColumn(ExplorerListModel::NameColumn), QStringList{QStringLiteral("run.log")});
    EXPECT_EQ(log->rowCount(), 0);
    EXPECT_EQ(DevicePath(), QStringLiteral("PHYSICALDRIVE3\\LOG"));
}

// The first expansion replaces the placeholders by the folders; later ones
// keep what is there. A volume folder's expansion is never refused.
TEST_F(ExplorerDialogTest, FirstExpansionFillsTheFolders) {
    PrepareCamera();
    OpenTools();
    QStandardItem* dcim = Child(Tree().item(0), QStringLiteral("DCIM"));
    TreeView()->expand(dcim->index());
    EXPECT_TRUE(ExplorerTreeModel::Flags(dcim) & TREE_ITEM_EXPANDED);
    ASSERT_EQ(ChildTexts(dcim), QStringList{QStringLiteral("100CAM")});
    QStandardItem* cam = dcim->child(0);
    EXPECT_EQ(cam->rowCount(), 1);

    TreeView()->expand(cam->index());
    EXPECT_EQ(ChildTexts(cam), QStringList{QStringLiteral("RAW")});
    QStandardItem* raw = cam->child(0);
    TreeView()->expand(raw->index());
    EXPECT_EQ(raw->rowCount(), 0);
    EXPECT_TRUE(TreeView()->isExpanded(raw->index())) << "not refused";
    EXPECT_EQ(ExplorerTreeModel::BuildItemPath(raw), QStringLiteral("PHYSICALDRIVE3\\DCIM\\100CAM\\RAW"));

    // Expanded once: closing and opening again keeps the children as they are.
    TreeView()->collapse(dcim->index());
    TreeView()->expand(dcim->index());
    ASSERT_EQ(dcim->rowCount(), 1);
    EXPECT_EQ(dcim->child(0), cam);
    EXPECT_EQ(ChildTexts(cam), QStringList{QStringLiteral("RAW")});

    // Selecting rebuilds them: 100CAM comes back unexpanded, with its placeholder.
    Select(dcim);
    ASSERT_EQ(ChildTexts(dcim), QStringList{QStringLiteral("100CAM")});
    EXPECT_EQ(ExplorerTreeModel::Flags(dcim->child(0)), TREE_ITEM_VOLUME_FOLDER);
    EXPECT_TRUE(ExplorerTreeModel::IsPlaceholder(dcim->child(0)->child(0)));
    EXPECT_TRUE(ExplorerTreeModel::Flags(dcim) & TREE_ITEM_EXPANDED) << "selection keeps the flag";
}

// Selecting the root mounts the volume again at the Start Sector field's
// sector; a sector where no volume starts lists nothing.
TEST_F(ExplorerDialogTest, SelectingTheRootRemountsAtTheStartSectorField) {
    PrepareCamera();
    OpenTools();
    QStandardItem* root = Tree().item(0);
    Select(Child(root, QStringLiteral("LOG")));

    Dialog().Tools->StartSectorEdit->setText(QStringLiteral("0x20000"));
    Select(root);
    EXPECT_EQ(MediaStartSector, "0x20000");
    EXPECT_EQ(MediaDevicePath, "PHYSICALDRIVE3");
    EXPECT_EQ(Dialog().StartSectorText, QStringLiteral("0x20000"));
    EXPECT_EQ(Explorer().List().rowCount(), 0);
    EXPECT_EQ(root->rowCount(), 0);
    EXPECT_TRUE(boxes_.messages.empty()) << "a failed remount shows no box";

    Dialog().Tools->StartSectorEdit->setText(QStringLiteral("262144"));
    Select(TopItem(QStringLiteral("/")));
    Select(root);
    EXPECT_EQ(MediaStartSector, "262144");
    EXPECT_EQ(ListColumn(ExplorerListModel::NameColumn), (QStringList{QStringLiteral("DCIM"), QStringLiteral("LOG")}));
    EXPECT_EQ(ChildTexts(root), (QStringList{QStringLiteral("DCIM"), QStringLiteral("LOG")}));
    EXPECT_EQ(DevicePath(), kCameraRoot);
}

// The root's info text names the disk behind it; the identifiers hold "&",
// and the status line shows each one once.
TEST_F(ExplorerDialogTest, RootInfoTextShowsEachAmpersandOnce) {
    PrepareCamera();
    OpenTools();
    Select(Child(Tree().item(0), QStringLiteral("DCIM")));
    Select(Tree().item(0));

    QLabel* status = Dialog().findChild<QLabel*>(ControlName(IDC_STATUS_TEXT));
    ASSERT_EQ(status, Dialog().Tools->StatusText);
    EXPECT_EQ(status->textFormat(), Qt::PlainText);
    EXPECT_EQ(status->buddy(), nullptr) << "no mnemonic: the text is shown as it stands";
    EXPECT_EQ(status->text(), QStringLiteral("Psp - ") + QString::fromLatin1(kSystemInterface) +
                                  QStringLiteral("\n\nSp - ") + QString::fromLatin1(kCameraParent) + QStringLiteral("\n"));
    EXPECT_FALSE(status->text().contains(QStringLiteral("&&")));
    EXPECT_EQ(Dialog().Device.ParentDeviceId, kCameraParent);
    Dialog().Tools->grab().save(QStringLiteral(QUILLON_SCREENSHOT_DIR "/explorer_root_info.png"));
}

// The computer's first disk is never listed: selecting it keeps the list
// and the tree as they are and says why.
TEST_F(ExplorerDialogTest, FirstDiskIsNeverListed) {
    PrepareCamera();
    nlohmann::json manifest = testsupport::ExampleCameraManifest();
    manifest["drives"][1]["device_number"] = 0;
    manifest["interfaces"][1]["device_number"] = 0;
    manifest["physical_drives"][0]["number"] = 0;
    platform_.reset();
    platform_ = testsupport::InstallCamera(camera_dir_, manifest);
    OpenTools();

    QStandardItem* root = Tree().item(0);
    ASSERT_EQ(root->text(), QStringLiteral("PHYSICALDRIVE0\\"));
    QStandardItem* dcim = Child(root, QStringLiteral("DCIM"));
    ASSERT_NE(dcim, nullptr);
    Select(dcim);
    const QStringList listed = ListColumn(ExplorerListModel::NameColumn);
    const QStringList children = ChildTexts(root);
    ASSERT_FALSE(listed.isEmpty());

    Select(root);
    EXPECT_EQ(StatusShown(), QStringLiteral("\nToo many file to expand, it can't list all"));
    EXPECT_EQ(ListColumn(ExplorerListModel::NameColumn), listed);
    EXPECT_EQ(ChildTexts(root), children);
    EXPECT_EQ(DevicePath(), QStringLiteral("PHYSICALDRIVE0\\"));

    TreeView()->collapse(root->index());
    TreeView()->expand(root->index());
    EXPECT_EQ(ChildTexts(root), children) << "expanding adds nothing";
    EXPECT_TRUE(TreeView()->isExpanded(root->index())) << "and is not refused";
}

// The home root as a local folder tree: expansion, selection, the refusal
// of a folder without folders, and the refresh after a change on disk.
TEST_F(ExplorerDialogTest, LocalFoldersExpandSelectAndRefresh) {
    PrepareCamera();
    const std::string home = scratch_ + "/home";
    for (const char* folder : {"alpha/inner", "beta"}) fs::create_directories(home + "/" + folder);
    testsupport::WriteFileBytes(home + "/notes.txt", {'n'});
    testsupport::WriteFileBytes(home + "/alpha/fsImg.bin", {0});
    // The run's log goes under the home folder unless told otherwise.
    struct ScopedVariable {
        const char* name;
        QByteArray saved;
        bool had;
        ScopedVariable(const char* variable, const std::string& value)
            : name(variable), saved(qgetenv(variable)), had(qEnvironmentVariableIsSet(variable)) {
            qputenv(name, QByteArray::fromStdString(value));
        }
        ~ScopedVariable() {
            if (had) qputenv(name, saved);
            else qunsetenv(name);
        }
    };
    const ScopedVariable home_variable("HOME", home);
    const ScopedVariable state_variable("XDG_STATE_HOME", scratch_ + "/state");
    OpenTools();

    QStandardItem* home_root = TopItem(QString::fromStdString(home + "/"));
    ASSERT_NE(home_root, nullptr);
    EXPECT_EQ(home_root->rowCount(), 1) << "a placeholder until opened";
    TreeView()->expand(home_root->index());
    ASSERT_EQ(ChildTexts(home_root), (QStringList{QStringLiteral("alpha"), QStringLiteral("beta")}));
    QStandardItem* alpha = home_root->child(0);
    QStandardItem* beta = home_root->child(1);
    EXPECT_EQ(alpha->rowCount(), 1);
    EXPECT_EQ(beta->rowCount(), 0);
    EXPECT_EQ(ExplorerTreeModel::Flags(alpha), 0u);

    TreeView()->expand(beta->index());
    EXPECT_FALSE(TreeView()->isExpanded(beta->index())) << "a folder without folders does not open";

    Select(alpha);
    EXPECT_EQ(DevicePath(), QString::fromStdString(home + "/alpha"));
    EXPECT_EQ(ListColumn(ExplorerListModel::NameColumn), (QStringList{QStringLiteral("inner"), QStringLiteral("fsImg.bin")}));

    // A folder made and one removed outside: the refresh shows both changes,
    // and the volume image file is offered in the tree beside the folders.
    fs::remove_all(home + "/alpha/inner");
    fs::create_directories(home + "/alpha/later/deeper");
    Explorer().RefreshLocalView();
    EXPECT_EQ(ListColumn(ExplorerListModel::NameColumn), (QStringList{QStringLiteral("later"), QStringLiteral("fsImg.bin")}));
    QStringList children = ChildTexts(alpha);
    children.sort();
    EXPECT_EQ(children, (QStringList{QStringLiteral("fsImg.bin"), QStringLiteral("later")}));
    EXPECT_EQ(Child(alpha, QStringLiteral("later"))->rowCount(), 1);
}

// A refresh without a current folder keeps the list as it is.
TEST_F(ExplorerDialogTest, RefreshWithoutCurrentFolderKeepsTheList) {
    PrepareCamera();
    OpenTools();
    const QStringList listed = ListColumn(ExplorerListModel::NameColumn);
    ASSERT_FALSE(listed.isEmpty());
    Dialog().Device.DevicePath.clear();
    Explorer().RefreshLocalView();
    EXPECT_EQ(ListColumn(ExplorerListModel::NameColumn), listed);
}

// A plain volume image given to the program: no camera is found, so the
// window mounts the image's drive at the Start Sector field and lists it.
TEST_F(ExplorerDialogTest, DiskImageDriveIsMountedAtTheStartSector) {
    Prepare(ProgramSetup().NoCamera());
    image_ = scratch_ + "/volume.img";
    ASSERT_EQ(testsupport::Cli("--image " + testsupport::Quote(image_) + " --start 0 format --size 8M --fs fat16")
                  .exit_code,
              0);
    for (const char* folder : {"/PHOTOS", "/PHOTOS/2014.05 trip"})
        ASSERT_EQ(testsupport::Cli("--image " + testsupport::Quote(image_) + " --start 0 mkdir " +
                                   testsupport::Quote(folder))
                      .exit_code,
                  0)
            << folder;
    platform_->Get().MapPhysicalDrive(1, image_);
    Dialog().StartSectorText = QStringLiteral("0");
    Explorer().AddVolumeDrive(1);
    OpenTools();

    QStandardItem* root = Tree().item(0);
    ASSERT_EQ(root->text(), QStringLiteral("PHYSICALDRIVE1\\"));
    EXPECT_EQ(TreeView()->currentIndex(), root->index());
    EXPECT_EQ(ListColumn(ExplorerListModel::NameColumn), QStringList{QStringLiteral("PHOTOS")});
    ASSERT_EQ(ChildTexts(root), QStringList{QStringLiteral("PHOTOS")});
    TreeView()->expand(root->child(0)->index());
    EXPECT_EQ(ChildTexts(root->child(0)), QStringList{QStringLiteral("2014.05 trip")});
    EXPECT_EQ(MediaStartSector, "0");
    EXPECT_EQ(StatusShown(), QString()) << "no drive letter lies on an image";
}

// The picture a developer sees: the camera's volume open in the tree, a
// folder selected and listed.
TEST_F(ExplorerDialogTest, ScreenshotOfTheVolumeTree) {
    PrepareCamera();
    OpenTools();
    QStandardItem* dcim = Child(Tree().item(0), QStringLiteral("DCIM"));
    TreeView()->expand(dcim->index());
    TreeView()->expand(dcim->child(0)->index());
    Select(dcim);
    QCoreApplication::processEvents();
    QDir().mkpath(QStringLiteral(QUILLON_SCREENSHOT_DIR));
    EXPECT_TRUE(Dialog().Tools->grab().save(QStringLiteral(QUILLON_SCREENSHOT_DIR "/explorer_volume_tree.png")));
}

}  // namespace
}  // namespace desktoptest
