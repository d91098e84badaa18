// Start in the dialog: the whole update run through the window, its
// progress, the refusals that keep the first screen and the ones that end
// the program.
#include <QtTest/QTest>
#include <QtWidgets/QLabel>
#include <QtWidgets/QProgressBar>
#include <QtWidgets/QPushButton>

#include <algorithm>
#include <filesystem>

#include "desktop_fixture.h"
#include "support/test_support.h"
#include "ui/qt/developer_tools.h"
#include "ui/qt/dialog_volume_explorer.h"
#include "update/update_run.h"

namespace desktoptest {
namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }

TEST_F(DesktopTest, StartRunsTheUpdateToTheFinalScreen) {
    ASSERT_TRUE(Start());
    SaveScreenshot("run1_start");
    bool shot_while_copying = false;
    on_progress = [&](int position) {
        if (position > 0 && position < 90 && !shot_while_copying) {
            // The worker waits for this call, so the copying screen is what the user sees now.
            EXPECT_EQ(Dialog().ScreenNumber, kScreenCopying);
            EXPECT_FALSE(Dialog().StartButton->isVisible());
            EXPECT_TRUE(Dialog().ProgressBar->isVisible());
            SaveScreenshot("run2_copying");
            shot_while_copying = true;
        }
    };
    RunUpdate();

    EXPECT_EQ(progress_, (std::vector<int>{0, 49, 75, 84, 90, 92, 94, 100, 98}));
    EXPECT_TRUE(shot_while_copying);
    EXPECT_EQ(Dialog().ScreenNumber, kScreenFinished);
    EXPECT_TRUE(Dialog().StartButton->isVisible());
    EXPECT_FALSE(Dialog().ProgressBar->isVisible());
    EXPECT_EQ(Dialog().StartButton->text(), Q(TextOf(text_key::kFinishCaption)));
    EXPECT_TRUE(Dialog().StartButton->hasFocus());
    EXPECT_TRUE(boxes_.messages.empty());
    EXPECT_TRUE(boxes_.questions.empty());
    EXPECT_TRUE(Dialog().Run().MarkerReadBack());
    EXPECT_EQ(testsupport::ReadFileBytes(camera_dir_ + "/user/APP_DATA.BIN"),
              testsupport::ReadFileBytes(app_dir_ + "/GFX_DATA/APP_DATA.BIN"));
    SaveScreenshot("run3_finished");
    EXPECT_FALSE(Dialog().findChild<QLabel*>(QStringLiteral("FinalWarning"))->isVisible());

    EXPECT_FALSE(Dialog().Ended());
    Dialog().StartButton->click();
    EXPECT_TRUE(Dialog().Ended());
    EXPECT_TRUE(dialog_finished_);
}

TEST_F(DesktopTest, QuestionAnsweredYesRunsTheUpdate) {
    ASSERT_TRUE(Start(ProgramSetup().StateWord(2)));
    boxes_.answer_yes = true;
    RunUpdate();
    EXPECT_EQ(boxes_.questions, std::vector<QString>{Q(TextOf(text_key::kUpdateAgainQuestion))});
    EXPECT_EQ(Dialog().ScreenNumber, kScreenFinished);
    EXPECT_FALSE(Dialog().Ended());
}

struct RefusalCase {
    const char* name;
    ProgramSetup setup;
    bool answer_yes;
    const char* message_key;   // the text table's text, or null
    const char* fixed_message; // a fixed text, or null
    bool ends;
    const char* detail = nullptr;  // part of the box's second paragraph
};
void PrintTo(const RefusalCase& c, std::ostream* os) { *os << c.name; }

class RefusalTest : public DesktopTest, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(RefusalTest, StartRefuses) {
    const RefusalCase& c = GetParam();
    ASSERT_TRUE(Start(c.setup));
    boxes_.answer_yes = c.answer_yes;
    Dialog().OnStart();

    std::vector<QString> expected;
    if (c.message_key)
        expected.push_back(Q(TextOf(c.message_key)));
    if (c.fixed_message)
        expected.push_back(QString::fromLatin1(c.fixed_message));
    ASSERT_EQ(boxes_.messages.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        // The text as it stands, then what this run found out, if anything.
        const QStringList paragraphs = boxes_.messages[i].split(QStringLiteral("\n\n"));
        EXPECT_EQ(paragraphs.front(), expected[i]);
        if (c.detail) {
            ASSERT_EQ(paragraphs.size(), 2);
            EXPECT_TRUE(paragraphs.back().contains(QString::fromLatin1(c.detail))) << paragraphs.back().toStdString();
        }
    }
    EXPECT_EQ(Dialog().Ended(), c.ends);
    EXPECT_EQ(Dialog().ScreenNumber, kScreenStart);
    EXPECT_TRUE(progress_.empty()) << "no worker may start";
    if (!c.ends) {
        EXPECT_TRUE(Dialog().StartButton->isVisible());
        EXPECT_FALSE(std::filesystem::exists(camera_dir_ + "/user/APP_DATA.BIN"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusalTest,
    ::testing::Values(
        RefusalCase{"camera_not_found", ProgramSetup().NoCamera(), true, text_key::kCameraNotFound, nullptr, false},
        RefusalCase{"update_file_missing", ProgramSetup().UpdateSize(std::nullopt), true, nullptr, kFilesMissingText, false,
                    "GFX_DATA/APP_DATA.BIN"},
        RefusalCase{"update_file_empty", ProgramSetup().UpdateSize(0), true, nullptr, kFilesMissingText, false},
        RefusalCase{"free_space_equals_size", ProgramSetup().UserFree(100000), true, text_key::kNotEnoughSpace, nullptr,
                    false, "free: 100000 bytes, needed: more than 100000 bytes"},
        RefusalCase{"state_word_3", ProgramSetup().StateWord(3), true, text_key::kCameraRefused, nullptr, true,
                    "state word 3"},
        RefusalCase{"state_read_failed", ProgramSetup().StateWord(0xAA), true, text_key::kCameraRefused, nullptr, true},
        RefusalCase{"question_answered_no", ProgramSetup().StateWord(2), false, nullptr, nullptr, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DesktopTest, RefusedStartCanBePressedAgain) {
    ASSERT_TRUE(Start(ProgramSetup().UserFree(100000)));
    Dialog().OnStart();
    ASSERT_EQ(boxes_.messages.size(), 1u);
    platform_->Get().AddDrive([&] {
        platform::SimulatedDrive user = platform_->Get().Drives().at('E');
        user.free_bytes = 1u << 30;
        return user;
    }());
    RunUpdate();
    EXPECT_EQ(Dialog().ScreenNumber, kScreenFinished);
}

// A copy that fails is no update: no marker, no eject, back to the first
// screen with a message, and Start works again.
TEST_F(DesktopTest, FailedCopyReturnsToTheFirstScreen) {
    ASSERT_TRUE(Start(ProgramSetup().NoUserFolder()));
    RunUpdate();
    ASSERT_EQ(boxes_.messages.size(), 1u);
    EXPECT_TRUE(boxes_.messages[0].startsWith(QString::fromLatin1(kCopyFailedText)));
    SaveScreenshot("ending_copy_failed");
    SaveMessageScreenshot("ending_copy_failed_message", boxes_.messages[0]);
    EXPECT_EQ(Dialog().ScreenNumber, kScreenStart);
    EXPECT_TRUE(Dialog().StartButton->isVisible());
    EXPECT_FALSE(Dialog().ProgressBar->isVisible());
    EXPECT_FALSE(Dialog().Run().MarkerReadBack());
    EXPECT_FALSE(Dialog().Ended());

    std::filesystem::create_directories(camera_dir_ + "/user");
    RunUpdate();
    EXPECT_EQ(Dialog().ScreenNumber, kScreenFinished);
}

// A marker that does not read back: the run says the update was not
// completed, does not eject, and the first screen comes back with Start.
TEST_F(DesktopTest, MarkerNotKeptEndsOnTheFirstScreen) {
    ASSERT_TRUE(Start());
    // The example camera's system disk is physical drive 3.
    platform_->Get().MapPhysicalDrive(3, "/dev/full");
    RunUpdate();
    ASSERT_EQ(boxes_.messages.size(), 1u);
    EXPECT_TRUE(boxes_.messages[0].startsWith(QString::fromLatin1(kMarkerFailedText)));
    EXPECT_EQ(Dialog().ScreenNumber, kScreenStart);
    EXPECT_TRUE(Dialog().StartButton->isVisible());
    EXPECT_TRUE(Dialog().StartButton->hasFocus());
    EXPECT_FALSE(Dialog().Run().Succeeded());
    EXPECT_EQ(std::count_if(progress_.begin(), progress_.end(), [](int p) { return p > kProgressCopyEnd; }), 0)
        << "no eject";
    SaveScreenshot("ending_marker_failed");
    SaveMessageScreenshot("ending_marker_failed_message", boxes_.messages[0]);
}

// The update is on the camera but the camera was not ejected: the final
// screen says so under its picture, beside where the log is.
TEST_F(DesktopTest, EjectThatFailsWarnsOnTheFinalScreen) {
    ASSERT_TRUE(Start());
    platform::SimulatedDrive user = platform_->Get().Drives().at('E');
    user.eject = {false, platform::kAlwaysFails, platform::kAlwaysFails, platform::kAlwaysFails};
    platform_->Get().AddDrive(user);
    RunUpdate();
    ASSERT_EQ(Dialog().ScreenNumber, kScreenFinished);
    EXPECT_TRUE(Dialog().Run().Succeeded());
    ASSERT_EQ(boxes_.messages.size(), 1u);
    EXPECT_TRUE(boxes_.messages[0].startsWith(QString::fromLatin1(kEjectFailedText)));
    auto* warning = Dialog().findChild<QLabel*>(QStringLiteral("FinalWarning"));
    auto* log = Dialog().findChild<QLabel*>(QStringLiteral("LogNotice"));
    ASSERT_NE(warning, nullptr);
    ASSERT_NE(log, nullptr);
    EXPECT_TRUE(warning->isVisible());
    EXPECT_TRUE(warning->text().startsWith(QString::fromLatin1(kEjectFailedText)));
    EXPECT_TRUE(log->isVisible());
    EXPECT_FALSE(Dialog().Run().LogPath().empty());
    EXPECT_TRUE(log->text().contains(QString::fromStdString(Dialog().Run().LogPath())));
    SaveScreenshot("ending_eject_failed");
    SaveMessageScreenshot("ending_eject_failed_message", boxes_.messages[0]);

    // The next run starts without the old warning.
    Dialog().StartButton->click();
    EXPECT_TRUE(Dialog().Ended());
}

// Enter and Space press the focused button; Esc and Enter never end the
// dialog by themselves.
TEST_F(DesktopTest, KeyboardPressesTheFocusedButton) {
    ASSERT_TRUE(Start(ProgramSetup().UserFree(100000)));
    Dialog().activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&Dialog()));
    ASSERT_TRUE(Dialog().StartButton->hasFocus());
    QTest::keyClick(&Dialog(), Qt::Key_Escape);
    EXPECT_FALSE(Dialog().Ended());
    QTest::keyClick(Dialog().StartButton, Qt::Key_Return);
    ASSERT_TRUE(WaitUntil([this] { return boxes_.messages.size() == 1; })) << "Enter pressed Start";
    QTest::keyClick(Dialog().StartButton, Qt::Key_Space);
    ASSERT_TRUE(WaitUntil([this] { return boxes_.messages.size() == 2; })) << "Space pressed Start";
    EXPECT_FALSE(Dialog().Ended());
    EXPECT_TRUE(Dialog().StartButton->toolTip().contains(QStringLiteral("F1")));
}

// Discovery mounts the hidden volume; the developer tools show its top level.
TEST_F(DesktopTest, StartShowsTheHiddenVolumeToTheDeveloperTools) {
    constexpr std::uint64_t kHiddenVolumeBytes = 16u << 20;
    Prepare(ProgramSetup().HiddenVolume(kHiddenVolumeBytes));
    const std::string image = testsupport::Quote(camera_dir_ + "/system.img");
    for (const char* folder : {"/DCIM", "/DCIM/100CAM", "/LOG"})
        ASSERT_EQ(testsupport::Cli("--image " + image + " mkdir " + folder).exit_code, 0) << folder;
    ASSERT_TRUE(Dialog().OnInitDialog());
    RunUpdate();

    const ExplorerListModel& list = Dialog().Explorer().List();
    QStringList listed;
    for (int row = 0; row < list.rowCount(); ++row)
        listed << list.data(list.index(row, ExplorerListModel::NameColumn)).toString();
    EXPECT_EQ(listed, (QStringList{QStringLiteral("DCIM"), QStringLiteral("LOG")}));
    // The folders hang under the root of the camera's system disk.
    ExplorerTreeModel& tree = Dialog().Explorer().Tree();
    ASSERT_EQ(tree.rowCount(), 1);
    QStandardItem* root = tree.item(0);
    EXPECT_EQ(root->text(), QStringLiteral("PHYSICALDRIVE3\\"));
    ASSERT_EQ(root->rowCount(), 2);
    EXPECT_EQ(root->child(0)->text(), QStringLiteral("DCIM"));
    EXPECT_EQ(root->child(0)->rowCount(), 1) << "DCIM has one folder to expand into";
    EXPECT_EQ(root->child(1)->rowCount(), 0);
}

}  // namespace
}  // namespace desktoptest
