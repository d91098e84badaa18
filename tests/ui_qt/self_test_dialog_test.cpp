// The developer window's Write Delete Test, clicked headless on a simulated
// camera's hidden volume: it runs off the dialog's thread while the window
// shows its progress, holds the commands that use the volume, shows the two
// counts when it ends, and stops for Cancel and for closing the program.
#include <QtWidgets/QLabel>
#include <QtWidgets/QProgressBar>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QTreeView>

#include <vector>

#include "desktop_fixture.h"
#include "device/camera_layout.h"
#include "device/sector_io.h"
#include "fat/engine.h"
#include "support/test_support.h"
#include "ui/qt/developer_tools.h"
#include "ui/qt/self_test_worker.h"

namespace desktoptest {
namespace {

// Room for both test files (3584000 and 307200 bytes).
constexpr std::uint64_t kHiddenVolumeBytes = 16u << 20;
constexpr int kFewIterations = 3;

class SelfTestDialogTest : public DesktopTest {
protected:
    // The program with its developer window open on the camera, whose
    // hidden volume discovery has mounted.
    void OpenOnCamera() {
        ASSERT_TRUE(Start(ProgramSetup().HiddenVolume(kHiddenVolumeBytes)));
        image_ = camera_dir_ + "/system.img";
        Dialog().ShowDeveloperTools();
        ASSERT_TRUE(fat::DefaultVolume().IsMounted());
        QObject::connect(Tools().SelfTestProgress, &QProgressBar::valueChanged, [this](int done) {
            if (!SelfTest().Running()) return;
            seen_while_running_.push_back(done);
            if (on_done && done > 0) on_done(done);
        });
    }

    DeveloperTools& Tools() { return *Dialog().Tools; }
    DialogSelfTest& SelfTest() { return Dialog().SelfTest(); }
    // Clicks the button and runs the dialog's events until the test has ended.
    void RunTest(int iterations) {
        SelfTest().iterations = iterations;
        Tools().WriteDeleteTestButton->click();
        ASSERT_TRUE(SelfTest().Running());
        ASSERT_TRUE(WaitUntil([this] { return !SelfTest().Running(); }));
    }
    std::vector<QWidget*> VolumeWidgets() {
        return {Tools().ReadButton,        Tools().WriteButton,          Tools().EidReadbackButton,
                Tools().ExplorerTree,      Tools().CopyToConsoleButton,  Tools().WriteDeleteTestButton,
                Tools().UpdateAppDataButton, Dialog().StartButton};
    }
    // The first count the test showed, from "Right Cnt1: N".
    int FirstCount() { return Tools().RightCountText->text().section(QLatin1Char(' '), -1).toInt(); }

    std::string image_;
    std::vector<int> seen_while_running_;
    // Called on the dialog's thread for each iteration done while the test runs.
    std::function<void(int)> on_done;
};

TEST_F(SelfTestDialogTest, RunsOffTheDialogThreadAndShowsBothCounts) {
    OpenOnCamera();
    SelfTest().iterations = kFewIterations;
    Tools().WriteDeleteTestButton->click();

    // Started, not yet ended: the click returned while the test runs.
    ASSERT_TRUE(SelfTest().Running());
    for (QWidget* widget : VolumeWidgets()) EXPECT_FALSE(widget->isEnabled()) << widget->objectName().toStdString();
    EXPECT_TRUE(Tools().CancelSelfTestButton->isEnabled());
    EXPECT_FALSE(Tools().SelfTestProgress->isHidden());
    EXPECT_EQ(Tools().SelfTestProgress->maximum(), kFewIterations);

    ASSERT_TRUE(WaitUntil([this] { return !SelfTest().Running(); }));
    // Each iteration's progress reached the window while the test still ran.
    EXPECT_EQ(seen_while_running_, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(Tools().RightCountText->text(), QStringLiteral("Right Cnt1: 3"));
    EXPECT_EQ(Tools().TotalCountText->text(), QStringLiteral("Right Cnt2: 3"));
    EXPECT_EQ(Tools().StatusText->text(), QString());
    for (QWidget* widget : VolumeWidgets()) EXPECT_TRUE(widget->isEnabled()) << widget->objectName().toStdString();
    EXPECT_TRUE(Tools().SelfTestProgress->isHidden());
    EXPECT_TRUE(Tools().CancelSelfTestButton->isHidden());
    // Both files were deleted again, and the volume holds together.
    EXPECT_EQ(testsupport::Fsck(image_, std::uint64_t{camera::kHiddenVolumeStartSector} * kSectorSize).exit_code, 0);
}

TEST_F(SelfTestDialogTest, CancelStopsTheTestAndSaysSo) {
    OpenOnCamera();
    on_done = [this](int) { Tools().CancelSelfTestButton->click(); };
    RunTest(fat::kSelfTestDefaultIterations);

    const int done = FirstCount();
    EXPECT_GE(done, 1);
    EXPECT_LT(done, fat::kSelfTestDefaultIterations);
    EXPECT_EQ(Tools().TotalCountText->text(), QStringLiteral("Right Cnt2: %1").arg(done));
    EXPECT_TRUE(Tools().StatusText->text().contains(QStringLiteral("cancelled"))) << Tools().StatusText->text().toStdString();
    EXPECT_TRUE(Tools().WriteDeleteTestButton->isEnabled());
}

// The close box ends the program; the test's thread is stopped and waited
// for first.
TEST_F(SelfTestDialogTest, ClosingTheProgramStopsARunningTest) {
    OpenOnCamera();
    bool closed = false;
    on_done = [this, &closed](int) {
        if (closed) return;
        closed = true;
        Dialog().close();
    };
    SelfTest().iterations = fat::kSelfTestDefaultIterations;
    Tools().WriteDeleteTestButton->click();
    ASSERT_TRUE(WaitUntil([this] { return Dialog().Ended(); }));
    EXPECT_FALSE(SelfTest().Running());
    EXPECT_LT(FirstCount(), fat::kSelfTestDefaultIterations);
    EXPECT_TRUE(Tools().StatusText->text().contains(QStringLiteral("cancelled")));
}

TEST_F(SelfTestDialogTest, WithoutAMountedVolumeNothingRuns) {
    ASSERT_TRUE(Start(ProgramSetup().HiddenVolume(kHiddenVolumeBytes)));
    fat::DefaultVolume().Unmount();  // an earlier test's discovery may have mounted it
    Tools().WriteDeleteTestButton->click();
    EXPECT_FALSE(SelfTest().Running());
    EXPECT_TRUE(Tools().StatusText->text().contains(QStringLiteral("no volume is mounted")))
        << Tools().StatusText->text().toStdString();
    EXPECT_EQ(Tools().RightCountText->text(), QStringLiteral("Right Cnt:"));
    EXPECT_TRUE(Tools().WriteDeleteTestButton->isEnabled());
}

}  // namespace
}  // namespace desktoptest
