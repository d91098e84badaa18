// The main dialog without an update run: start-up, the screens' controls and
// texts, close requests, Enter and Esc, About and the developer tools.
#include <QtCore/QDir>
#include <QtCore/QTimer>
#include <QtTest/QTest>
#include <QtGui/QKeyEvent>
#include <QtWidgets/QApplication>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QProgressBar>
#include <QtWidgets/QPushButton>

#include "desktop_fixture.h"
#include "support/test_support.h"
#include "ui/qt/control_ids.h"
#include "ui/qt/developer_tools.h"
#include "update/marker.h"

namespace desktoptest {
namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }

TEST_F(DesktopTest, StartUpShowsTheFirstScreen) {
    ASSERT_TRUE(Start());
    EXPECT_EQ(Dialog().ScreenNumber, kScreenStart);
    EXPECT_TRUE(Dialog().StartButton->isVisible());
    EXPECT_FALSE(Dialog().ProgressBar->isVisible());
    EXPECT_EQ(Dialog().StartButton->text(), Q(TextOf(text_key::kStartCaption)));
    EXPECT_EQ(Dialog().windowTitle(), Q(TextOf(text_key::kWindowTitle)));
    EXPECT_FALSE(Dialog().windowTitle().isEmpty());
    EXPECT_TRUE(boxes_.messages.empty());
    EXPECT_FALSE(Dialog().Tools->isVisible()) << "developer tools show only in developer mode";
    EXPECT_EQ(Dialog().size(), QSize(758, 494));
}

TEST_F(DesktopTest, DeviceNoticeShowsUnderTheScreens) {
    ASSERT_TRUE(Start(ProgramSetup().NoCamera()));
    auto* notice = Dialog().findChild<QLabel*>(QStringLiteral("DeviceNotice"));
    ASSERT_NE(notice, nullptr);
    EXPECT_FALSE(notice->isVisible());
    Dialog().SetDeviceNotice(QStringLiteral("No camera can be found: start with --camera FILE."));
    EXPECT_TRUE(notice->isVisible());
    EXPECT_FALSE(notice->geometry().intersects(Dialog().StartButton->geometry()));
    SaveScreenshot("screen1_device_notice");
}

TEST_F(DesktopTest, ControlsCarryTheirIdsAsNames) {
    ASSERT_TRUE(Start());
    EXPECT_EQ(Dialog().findChild<QPushButton*>(ControlName(IDC_START)), Dialog().StartButton);
    EXPECT_EQ(Dialog().findChild<QProgressBar*>(ControlName(IDC_PROGRESS)), Dialog().ProgressBar);
    EXPECT_EQ(Dialog().findChild<QLabel*>(ControlName(IDC_STATUS_TEXT)), Dialog().Tools->StatusText);
    EXPECT_NE(Dialog().findChild<QPushButton*>(ControlName(IDC_UPDATE_APP_DATA)), nullptr);
}

struct ScreenCase {
    int screen;
    bool start_visible;
    bool progress_visible;
    const char* start_caption_key;
};
void PrintTo(const ScreenCase& c, std::ostream* os) { *os << "screen " << c.screen; }

class ScreenTest : public DesktopTest, public ::testing::WithParamInterface<ScreenCase> {};

TEST_P(ScreenTest, ShowsTheScreensControls) {
    const ScreenCase& c = GetParam();
    ASSERT_TRUE(Start());
    Dialog().SetScreen(c.screen);
    EXPECT_EQ(Dialog().StartButton->isVisible(), c.start_visible);
    EXPECT_EQ(Dialog().ProgressBar->isVisible(), c.progress_visible);
    if (c.start_caption_key) {
        EXPECT_EQ(Dialog().StartButton->text(), Q(TextOf(c.start_caption_key)));
    }
    if (c.progress_visible) {
        EXPECT_EQ(Dialog().ProgressBar->minimum(), 0);
        EXPECT_EQ(Dialog().ProgressBar->maximum(), 100);
        EXPECT_EQ(Dialog().ProgressBar->value(), 0);
    }
    SaveScreenshot("screen" + std::to_string(c.screen));
    Dialog().SetScreen(kScreenStart);
}

INSTANTIATE_TEST_SUITE_P(Screens, ScreenTest,
                         ::testing::Values(ScreenCase{kScreenStart, true, false, text_key::kStartCaption},
                                           ScreenCase{kScreenCopying, false, true, nullptr},
                                           ScreenCase{kScreenFinished, true, false, text_key::kFinishCaption}),
                         [](const auto& info) { return "screen" + std::to_string(info.param.screen); });

// A repaint of the copying screen leaves a running progress bar alone.
TEST_F(DesktopTest, RepaintKeepsTheProgress) {
    ASSERT_TRUE(Start());
    Dialog().SetScreen(kScreenCopying);
    Dialog().SetProgress({40});
    Dialog().repaint();
    EXPECT_EQ(Dialog().ProgressBar->value(), 40);
    Dialog().SetScreen(kScreenStart);
}

TEST_F(DesktopTest, UnknownScreenIsReported) {
    ASSERT_TRUE(Start());
    Dialog().SetScreen(7);
    Dialog().repaint();
    EXPECT_EQ(boxes_.messages, std::vector<QString>{QStringLiteral("Error update Screen 7")});
    Dialog().SetScreen(kScreenStart);
}

TEST_F(DesktopTest, MissingPicturesStillPaint) {
    Prepare({});
    std::filesystem::remove(app_dir_ + "/GFX_DATA/cam.bmp");
    std::filesystem::remove(app_dir_ + "/GFX_DATA/title.bmp");
    ASSERT_TRUE(Dialog().OnInitDialog());
    Dialog().show();
    SaveScreenshot("missing_title_and_camera");
    const QImage shot = Dialog().grab().toImage();
    // Without title and camera the instruction picture starts in the top left
    // corner: its step badge (a teal disc around 48, 50) is where the title was.
    EXPECT_EQ(shot.pixelColor(32, 50), QColor(0x2A, 0x9D, 0x8F));
    EXPECT_TRUE(boxes_.messages.empty());
}

TEST_F(DesktopTest, EmptyTextTableLeavesCaptionsEmpty) {
    Prepare({});
    testsupport::WriteFileBytes(app_dir_ + "/GFX_DATA/OT.txt", {});
    ASSERT_TRUE(Dialog().OnInitDialog());
    EXPECT_TRUE(Dialog().StartButton->text().isEmpty());
    EXPECT_TRUE(Dialog().windowTitle().isEmpty());
}

struct StartUpCase {
    const char* name;
    bool text_table;
    bool administrator;
    bool ends;
    std::vector<const char*> messages;  // fixed texts, or "OT0" for the text table's
};
void PrintTo(const StartUpCase& c, std::ostream* os) { *os << c.name; }

class StartUpTest : public DesktopTest, public ::testing::WithParamInterface<StartUpCase> {};

TEST_P(StartUpTest, EndsOnlyWhenItMust) {
    const StartUpCase& c = GetParam();
    ProgramSetup setup;
    setup.text_table = c.text_table;
    setup.administrator = c.administrator;
    EXPECT_EQ(Start(setup), !c.ends);
    EXPECT_EQ(Dialog().Ended(), c.ends);
    std::vector<QString> expected;
    for (const char* message : c.messages)
        expected.push_back(std::string(message) == "OT0" ? Q(TextOf(text_key::kNotAdministrator)) : Q(message));
    ASSERT_EQ(boxes_.messages.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(boxes_.messages[i].split(QStringLiteral("\n\n")).front(), expected[i]);
    // A missing table names the file it looked for; start-up that ended the
    // dialog is a failure the program's exit status reports.
    if (!c.text_table) {
        EXPECT_TRUE(boxes_.messages.front().endsWith(QStringLiteral("/GFX_DATA/OT.txt")));
    }
    EXPECT_EQ(Dialog().StartUpFailed(), c.ends);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, StartUpTest,
    ::testing::Values(StartUpCase{"ready", true, true, false, {}},
                      StartUpCase{"not_administrator", true, false, true, {"OT0"}},
                      StartUpCase{"text_table_missing", false, true, true, {"OT.TXT is missing"}},
                      // The administrator text then comes from an empty table.
                      StartUpCase{"both", false, false, true, {"OT.TXT is missing", ""}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DesktopTest, AdministratorTextIsNotAFormatString) {
    Prepare(ProgramSetup().NotAdministrator());
    const std::u16string table = u"***OT0\r\nNeeds 100%% rights %s %n\r\n";
    std::vector<std::uint8_t> bytes;
    for (char16_t unit : table) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    testsupport::WriteFileBytes(app_dir_ + "/GFX_DATA/OT.txt", bytes);
    EXPECT_FALSE(Dialog().OnInitDialog());
    EXPECT_EQ(boxes_.messages, std::vector<QString>{QStringLiteral("Needs 100% rights %s %n")});
}

TEST_F(DesktopTest, EditsShowTheSettings) {
    Prepare({});
    Dialog().StartSectorText = QStringLiteral("0x40000");
    Dialog().SectorCountText = QStringLiteral("8");
    ASSERT_TRUE(Dialog().OnInitDialog());
    EXPECT_EQ(Dialog().Tools->StartSectorEdit->text(), QStringLiteral("0x40000"));
    EXPECT_EQ(Dialog().Tools->SectorCountEdit->text(), QStringLiteral("8"));
    Dialog().Tools->ReadSectorEdit->setText(QStringLiteral("262144"));
    Dialog().OnOK();
    EXPECT_EQ(Dialog().ReadSectorText, QStringLiteral("262144"));
}

struct CloseCase {
    int screen;
    bool ends;
};
void PrintTo(const CloseCase& c, std::ostream* os) { *os << "screen " << c.screen; }

class CloseTest : public DesktopTest, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(CloseTest, CloseBoxEndsExceptWhileCopying) {
    ASSERT_TRUE(Start());
    Dialog().SetScreen(GetParam().screen);
    Dialog().close();
    EXPECT_EQ(Dialog().Ended(), GetParam().ends);
    EXPECT_EQ(dialog_finished_, GetParam().ends);
    Dialog().SetScreen(kScreenStart);
}

INSTANTIATE_TEST_SUITE_P(Screens, CloseTest,
                         ::testing::Values(CloseCase{kScreenStart, true}, CloseCase{kScreenCopying, false},
                                           CloseCase{kScreenFinished, true}),
                         [](const auto& info) { return "screen" + std::to_string(info.param.screen); });

TEST_F(DesktopTest, EnterAndEscapeDoNothing) {
    ASSERT_TRUE(Start(ProgramSetup().NoCamera()));
    for (int screen : {kScreenStart, kScreenFinished}) {
        Dialog().SetScreen(screen);
        Dialog().StartButton->setFocus();
        for (int key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
            for (QWidget* target : {static_cast<QWidget*>(&Dialog()), static_cast<QWidget*>(Dialog().StartButton)}) {
                QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
                QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier);
                QApplication::sendEvent(target, &press);
                QApplication::sendEvent(target, &release);
            }
        }
        EXPECT_FALSE(Dialog().Ended()) << "screen " << screen;
        EXPECT_TRUE(boxes_.messages.empty()) << "Start was pressed on screen " << screen;
    }
    Dialog().SetScreen(kScreenStart);
}

TEST_F(DesktopTest, F1OpensTheAboutBox) {
    ASSERT_TRUE(Start());
    Dialog().activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&Dialog()));
    QString title;
    QStringList lines;
    // The box runs its own event loop; answer it from there.
    QTimer answer;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto* about = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (!about)
            return;
        title = about->windowTitle();
        for (QLabel* label : about->findChildren<QLabel*>())
            if (!label->text().isEmpty())
                lines << label->text();
        about->accept();
        answer.stop();
    });
    answer.start(10);
    QTest::keyClick(Dialog().StartButton, Qt::Key_F1);
    answer.stop();
    EXPECT_EQ(title, QStringLiteral("About Quillon"));
    EXPECT_TRUE(lines.contains(QStringLiteral("Quillon, Version 1.0")));
    EXPECT_TRUE(lines.contains(QStringLiteral("Press F1 at any time to open this box.")));
    EXPECT_EQ(lines.size(), 3);
    EXPECT_FALSE(Dialog().Ended());
}

TEST_F(DesktopTest, DeveloperModeShowsTheTools) {
    ASSERT_TRUE(Start());
    Dialog().ShowDeveloperTools();
    EXPECT_TRUE(Dialog().Tools->isVisible());
    EXPECT_TRUE(Dialog().Tools->UpdateAppDataButton->isEnabled());
    QDir().mkpath(QStringLiteral(QUILLON_SCREENSHOT_DIR));
    EXPECT_TRUE(Dialog().Tools->grab().save(QStringLiteral(QUILLON_SCREENSHOT_DIR "/developer_tools.png")));
}

struct MarkerCase {
    const char* name;
    int drive;
    ControlId button;
    const char* outcome;
    const char* marker;  // what the sector then holds, or null
};
void PrintTo(const MarkerCase& c, std::ostream* os) { *os << c.name; }

class MarkerButtonTest : public DesktopTest, public ::testing::WithParamInterface<MarkerCase> {};

TEST_P(MarkerButtonTest, ReportsInTheStatusLine) {
    const MarkerCase& c = GetParam();
    ASSERT_TRUE(Start());
    Dialog().Device.PhysicalDriveNumber = c.drive;
    Dialog().findChild<QPushButton*>(ControlName(c.button))->click();
    EXPECT_EQ(Dialog().Tools->StatusText->text(), QString::fromLatin1(c.outcome));
    if (c.marker) {
        const std::vector<std::uint8_t> sector =
            testsupport::ReadSector(camera_dir_ + "/system.img", camera::kUpdateMarkerSector);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(sector.data())), c.marker);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Buttons, MarkerButtonTest,
    ::testing::Values(MarkerCase{"app_data", 3, IDC_UPDATE_APP_DATA, "Success\n", "UPDATEAPPDATA"},
                      MarkerCase{"app_only", 3, IDC_UPDATE_APP_ONLY, "Success\n", "UPDATEAPPONLY"},
                      MarkerCase{"no_drive_found_yet", 255, IDC_UPDATE_APP_DATA,
                                 "No camera has been found yet: the marker is not written. Refresh the explorer first.",
                                 nullptr}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace desktoptest
