// The explorer's models driven without a window: the list and the tree
// over a small volume made by the engine's formatter, and over a local
// folder made by the test.
#include <gtest/gtest.h>

#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtWidgets/QFileIconProvider>

#include <string>
#include <vector>

#include "fat/engine.h"
#include "support/memory_device.h"
#include "support/test_support.h"
#include "ui/qt/explorer_models.h"

namespace {

constexpr std::uint64_t kVolumeBytes = 32ull << 20;
constexpr int kDrive = 1;

void WriteVolumeFile(fat::Volume& volume, const std::string& path, std::size_t bytes) {
    FatFile* file = nullptr;
    ASSERT_EQ(volume.OpenForWriting(path, "13-05-01 10:30", &file), fat::Result::Ok) << path;
    const std::vector<std::uint8_t> data(bytes, 0x5A);
    std::uint32_t done = 0;
    ASSERT_EQ(volume.Write(file, data.data(), static_cast<std::uint32_t>(data.size()), &done), fat::Result::Ok);
    ASSERT_EQ(volume.Close(file), fat::Result::Ok);
}

// DCIM (with 100 and 101 inside), MISC (empty), a.txt of 0 bytes, b.bin of
// 1025 bytes and the hidden .x.
class VolumeModels : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(device_.Format(false), "");
        mounted_ = fat::Mount(device_, fat::SilentDiagnostics());
        ASSERT_TRUE(mounted_.volume);
        for (const char* folder : {"/DCIM", "/DCIM/100", "/DCIM/101", "/MISC"})
            ASSERT_EQ(Volume().MakeDirectory(folder, "13-05-01 10:30"), fat::Result::Ok) << folder;
        WriteVolumeFile(Volume(), "/b.bin", 1025);
        WriteVolumeFile(Volume(), "/a.txt", 0);
        WriteVolumeFile(Volume(), "/.x", 3);
    }

    fat::Volume& Volume() { return *mounted_.volume; }
    FatEntryInfoList List(const std::string& engine_folder) {
        FatEntryInfoList records;
        Volume().List(engine_folder, &records);
        return records;
    }

    MemoryDevice device_{kVolumeBytes};
    fat::Mounted mounted_;
};

QString Cell(const ExplorerListModel& model, int row, int column, int role = Qt::DisplayRole) {
    return model.data(model.index(row, column), role).toString();
}

std::vector<QStringList> Texts(const ExplorerListModel& model) {
    std::vector<QStringList> rows;
    for (int row = 0; row < model.rowCount(); ++row) {
        QStringList cells;
        for (int column = 0; column < model.columnCount(); ++column) cells << Cell(model, row, column);
        rows.push_back(cells);
    }
    return rows;
}

QStringList ChildTexts(const QStandardItem* item) {
    QStringList texts;
    for (int row = 0; row < item->rowCount(); ++row) texts << item->child(row)->text();
    return texts;
}

TEST_F(VolumeModels, ListShowsTheVolumeFolderSortedWithItsFourColumns) {
    ExplorerListModel model;
    QStringList headers;
    for (int column = 0; column < model.columnCount(); ++column)
        headers << model.headerData(column, Qt::Horizontal).toString();
    EXPECT_EQ(headers, (QStringList{"Name", "Size", "Type", "Date Modified"}));

    EXPECT_TRUE(model.FillVolumeList(List("/")));
    const std::vector<QStringList> expected = {
        {"DCIM", "", "File Folder", "13-05-01 10:30"},
        {"MISC", "", "File Folder", "13-05-01 10:30"},
        {"a.txt", "0KB", "Unknown File", "13-05-01 10:30"},
        {"b.bin", "2KB", "Unknown File", "13-05-01 10:30"},
    };
    EXPECT_EQ(Texts(model), expected);
    EXPECT_EQ(model.data(model.index(3, ExplorerListModel::SizeColumn), Qt::TextAlignmentRole).toInt(),
              static_cast<int>(Qt::AlignRight | Qt::AlignVCenter));
    EXPECT_EQ(model.FindRow("b.bin"), 3);
    EXPECT_EQ(model.FindRow(".x"), -1);

    // The row knows where its entry is, so a command opens it without a search.
    const ExplorerRow& row = model.Row(model.FindRow("b.bin"));
    ASSERT_TRUE(row.location.has_value());
    FatFile* file = nullptr;
    ASSERT_EQ(Volume().OpenListed(*row.location, &file), fat::Result::Ok);
    std::vector<std::uint8_t> data(2048);
    std::uint32_t done = 0;
    EXPECT_EQ(Volume().Read(file, data.data(), static_cast<std::uint32_t>(data.size()), &done), fat::Result::Ok);
    Volume().Close(file);
    EXPECT_EQ(done, 1025u);
}

TEST_F(VolumeModels, ListOfAFolderWithoutFoldersOrOfNothingSaysNoFolderWasShown) {
    ExplorerListModel model;
    ASSERT_EQ(Volume().MakeDirectory("/ONLY", nullptr), fat::Result::Ok);
    WriteVolumeFile(Volume(), "/ONLY/c.jpg", 10);
    EXPECT_FALSE(model.FillVolumeList(List("/ONLY/")));
    EXPECT_EQ(model.rowCount(), 1);

    // A folder that cannot be listed empties the list.
    EXPECT_FALSE(model.FillVolumeList(List("/NO_SUCH/")));
    EXPECT_EQ(model.rowCount(), 0);

    model.FillVolumeList(List("/"));
    FatEntryInfo entry{};
    ASSERT_EQ(Volume().Lookup("/ONLY", &entry), fat::Result::Ok);
    model.AppendVolumeRow(entry);
    EXPECT_EQ(Cell(model, model.rowCount() - 1, ExplorerListModel::NameColumn), "ONLY");
}

TEST_F(VolumeModels, TreeGivesVolumeFoldersTheirFlagsPathsAndOnePlaceholderPerSubfolder) {
    ExplorerTreeModel tree;
    QStandardItem* root = tree.AddVolumeRoot(kDrive);
    EXPECT_EQ(root->text(), "PHYSICALDRIVE1\\");
    EXPECT_EQ(ExplorerTreeModel::Flags(root), TREE_ITEM_ROOT | TREE_ITEM_VOLUME_FOLDER);
    EXPECT_EQ(ExplorerTreeModel::BuildItemPath(root), "PHYSICALDRIVE1\\");

    const ExplorerTreeModel::VolumeLister lister = [this](const std::string& folder) { return List(folder); };
    const std::string root_folder = ToVolumePath(ExplorerTreeModel::BuildItemPath(root).toStdString());
    tree.AddVolumeSubfolders(root, root_folder, List(root_folder), lister);
    ASSERT_EQ(ChildTexts(root), (QStringList{"DCIM", "MISC"}));

    QStandardItem* dcim = root->child(0);
    EXPECT_EQ(ExplorerTreeModel::Flags(dcim), TREE_ITEM_VOLUME_FOLDER);
    EXPECT_EQ(ExplorerTreeModel::BuildItemPath(dcim), "PHYSICALDRIVE1\\DCIM");
    EXPECT_EQ(dcim->rowCount(), 2);
    EXPECT_TRUE(ExplorerTreeModel::IsPlaceholder(dcim->child(0)));
    EXPECT_EQ(root->child(1)->rowCount(), 0);

    // The first expansion clears the placeholders for the real folders; a
    // later one leaves the children as they are.
    ASSERT_TRUE(tree.BeginFirstExpansion(dcim));
    EXPECT_EQ(dcim->rowCount(), 0);
    EXPECT_EQ(ExplorerTreeModel::Flags(dcim), TREE_ITEM_VOLUME_FOLDER | TREE_ITEM_EXPANDED);
    const std::string dcim_folder = ToVolumePath(ExplorerTreeModel::BuildItemPath(dcim).toStdString());
    EXPECT_EQ(dcim_folder, "/DCIM/");
    tree.AddVolumeSubfolders(dcim, dcim_folder, List(dcim_folder), lister);
    EXPECT_EQ(ChildTexts(dcim), (QStringList{"100", "101"}));
    EXPECT_EQ(ExplorerTreeModel::BuildItemPath(dcim->child(1)), "PHYSICALDRIVE1\\DCIM\\101");
    EXPECT_FALSE(tree.BeginFirstExpansion(dcim));
    EXPECT_EQ(dcim->rowCount(), 2);

    // Placeholders of volume folders sort among their siblings: first, as
    // they have no name.
    tree.AddPlaceholder(dcim);
    EXPECT_TRUE(ExplorerTreeModel::IsPlaceholder(dcim->child(0)));
    tree.AddFolder(dcim, "0ab", TREE_ITEM_VOLUME_FOLDER);
    tree.AddFolder(dcim, "0AA", TREE_ITEM_VOLUME_FOLDER);
    EXPECT_EQ(ChildTexts(dcim), (QStringList{"", "0AA", "0ab", "100", "101"}));
    tree.DeleteTreeChildren(dcim);
    EXPECT_EQ(dcim->rowCount(), 0);
}

// A local folder: sub (holding inner), f.txt of 1025 bytes, .hidden.
class LocalModels : public testing::Test {
protected:
    void SetUp() override {
        folder_ = QString::fromStdString(testsupport::ScratchDir());
        ASSERT_TRUE(QDir(folder_).mkpath("sub/inner"));
        WriteLocal("f.txt", 1025);
        WriteLocal(".hidden", 1);
    }
    void WriteLocal(const QString& name, qsizetype bytes) {
        QFile file(QDir(folder_).filePath(name));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_EQ(file.write(QByteArray(bytes, 'q')), bytes);
    }
    QString folder_;
};

TEST_F(LocalModels, ListShowsEveryEntryWithThePlatformsTypeNames) {
    ExplorerListModel model;
    model.FillLocalList(folder_);
    const QFileIconProvider provider;
    const auto type_of = [&](const QString& name) { return provider.type(QFileInfo(QDir(folder_).filePath(name))); };
    ASSERT_EQ(model.rowCount(), 3);
    EXPECT_EQ(Cell(model, 0, ExplorerListModel::NameColumn), "sub");
    EXPECT_EQ(Cell(model, 0, ExplorerListModel::SizeColumn), "");
    EXPECT_EQ(Cell(model, 0, ExplorerListModel::TypeColumn), type_of("sub"));
    const int file_row = model.FindRow("f.txt");
    ASSERT_GE(file_row, 1);
    EXPECT_EQ(Cell(model, file_row, ExplorerListModel::SizeColumn), "2KB");
    EXPECT_EQ(Cell(model, file_row, ExplorerListModel::TypeColumn), type_of("f.txt"));
    EXPECT_EQ(Cell(model, file_row, ExplorerListModel::DateColumn),
              QFileInfo(QDir(folder_).filePath("f.txt")).lastModified().toString("yy-MM-dd HH:mm"));
    EXPECT_GE(model.FindRow(".hidden"), 1);
    EXPECT_FALSE(model.Row(file_row).location.has_value());

    // No path keeps the rows; a folder that cannot be read shows none.
    model.FillLocalList(QString());
    EXPECT_EQ(model.rowCount(), 3);
    model.FillLocalList(QDir(folder_).filePath("missing"));
    EXPECT_EQ(model.rowCount(), 0);
}

TEST_F(LocalModels, TreeOpensLocalFoldersLazilyAndFollowsTheFolderOnRefresh) {
    ExplorerTreeModel tree;
    QStandardItem* root = tree.AddLocalRoot(folder_);
    EXPECT_EQ(ExplorerTreeModel::Flags(root), TREE_ITEM_ROOT);
    ASSERT_EQ(root->rowCount(), 1);
    EXPECT_TRUE(ExplorerTreeModel::IsPlaceholder(root->child(0)));

    ASSERT_TRUE(tree.BeginFirstExpansion(root));
    EXPECT_EQ(tree.AddLocalSubfolders(root, ExplorerTreeModel::BuildItemPath(root)), 1);
    ASSERT_EQ(ChildTexts(root), QStringList{"sub"});
    QStandardItem* sub = root->child(0);
    EXPECT_EQ(ExplorerTreeModel::Flags(sub), 0u);
    EXPECT_EQ(ExplorerTreeModel::BuildItemPath(sub), folder_ + "/sub");
    ASSERT_EQ(sub->rowCount(), 1);
    EXPECT_TRUE(ExplorerTreeModel::IsPlaceholder(sub->child(0)));

    // Local placeholders go after the last sibling.
    tree.AddFolder(sub, "a", 0);
    tree.AddPlaceholder(sub);
    EXPECT_EQ(ChildTexts(sub), (QStringList{"", "a", ""}));

    ASSERT_TRUE(QDir(folder_).mkdir("new"));
    WriteLocal("fsImg.bin", 512);
    tree.SyncLocalChildren(root, ExplorerTreeModel::BuildItemPath(root));
    QStringList children = ChildTexts(root);
    children.sort();
    EXPECT_EQ(children, (QStringList{"fsImg.bin", "new", "sub"}));
    EXPECT_EQ(root->child(ChildTexts(root).indexOf("sub")), sub) << "a child still on disk is kept";
    EXPECT_EQ(sub->rowCount(), 3);
}

TEST_F(LocalModels, AnUnreadableRootCanBeOpenedAgainLater) {
    ExplorerTreeModel tree;
    QStandardItem* root = tree.AddLocalRoot(QDir(folder_).filePath("not-yet"));
    ASSERT_TRUE(tree.BeginFirstExpansion(root));
    EXPECT_EQ(tree.AddLocalSubfolders(root, ExplorerTreeModel::BuildItemPath(root)), 0);
    EXPECT_EQ(ExplorerTreeModel::Flags(root), TREE_ITEM_ROOT);
    ASSERT_EQ(root->rowCount(), 1);
    EXPECT_TRUE(ExplorerTreeModel::IsPlaceholder(root->child(0)));

    ASSERT_TRUE(QDir(folder_).mkpath("not-yet/later"));
    ASSERT_TRUE(tree.BeginFirstExpansion(root));
    EXPECT_EQ(tree.AddLocalSubfolders(root, ExplorerTreeModel::BuildItemPath(root)), 1);
}

}  // namespace
