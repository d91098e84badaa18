#include "desktop_fixture.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QDeadlineTimer>
#include <QtCore/QDir>
#include <QtCore/QThread>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QProgressBar>

#include <filesystem>

#include "support/test_support.h"

namespace desktoptest {

namespace fs = std::filesystem;

namespace {
constexpr int kWaitLimitMilliseconds = 60000;
constexpr const char* kShippedFiles[] = {"OT.txt",           "title.bmp",        "cam.bmp",
                                         "instruction1.bmp", "instruction2.bmp", "instruction3.bmp"};
}  // namespace

std::string DesktopTest::BuiltGfxDirectory() { return QUILLON_GFX_DIR; }

void DesktopTest::TearDown() {
    if (dialog_)
        WaitUntil([this] { return dialog_->ScreenNumber != kScreenCopying; });
    dialog_.reset();
    platform_.reset();
}

void DesktopTest::MakeProgramFolder(const ProgramSetup& setup) {
    app_dir_ = scratch_ + "/app";
    const fs::path gfx = fs::path(app_dir_) / "GFX_DATA";
    fs::create_directories(gfx);
    for (const char* name : kShippedFiles) {
        if (!setup.text_table && std::string(name) == "OT.txt")
            continue;
        fs::copy_file(fs::path(BuiltGfxDirectory()) / name, gfx / name);
    }
    if (setup.update_size) {
        std::vector<std::uint8_t> update(*setup.update_size);
        for (std::size_t index = 0; index < update.size(); ++index)
            update[index] = static_cast<std::uint8_t>(index * 7 + 3);
        testsupport::WriteFileBytes((gfx / "APP_DATA.BIN").string(), update);
    }
}

void DesktopTest::MakeCamera(const ProgramSetup& setup) {
    if (!setup.camera_attached) {
        platform_ = std::make_unique<testsupport::ScopedPlatform>(std::make_unique<platform::SimulatedPlatform>());
        platform_->Get().SetAdministrator(setup.administrator);
        return;
    }
    camera_dir_ = scratch_ + "/camera";
    fs::create_directories(camera_dir_);
    if (setup.user_folder)
        fs::create_directories(camera_dir_ + "/user");
    testsupport::MakeSystemImage(camera_dir_ + "/system.img", setup.state_word, setup.hidden_volume_bytes);
    nlohmann::json manifest = testsupport::ExampleCameraManifest();
    manifest["admin"] = setup.administrator;
    if (setup.user_free)
        manifest["drives"][0]["free_bytes"] = *setup.user_free;
    platform_ = testsupport::InstallCamera(camera_dir_, manifest);
}

void DesktopTest::Prepare(const ProgramSetup& setup) {
    scratch_ = testsupport::ScratchDir();
    MakeProgramFolder(setup);
    MakeCamera(setup);
    dialog_ = std::make_unique<CQuillonDlg>(app_dir_);
    dialog_->SetMessageBoxes(std::make_unique<ScriptedBoxes>(boxes_));
    QObject::connect(dialog_->ProgressBar, &QProgressBar::valueChanged, [this](int position) {
        progress_.push_back(position);
        if (on_progress)
            on_progress(position);
    });
    QObject::connect(dialog_.get(), &QDialog::finished, [this] { dialog_finished_ = true; });
}

bool DesktopTest::Start(const ProgramSetup& setup) {
    Prepare(setup);
    const bool running = dialog_->OnInitDialog();
    if (running)
        dialog_->show();
    return running;
}

bool DesktopTest::WaitUntil(const std::function<bool()>& condition) {
    QDeadlineTimer limit(kWaitLimitMilliseconds);
    while (!condition() && !limit.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        QThread::msleep(1);
    }
    return condition();
}

void DesktopTest::RunUpdate() {
    dialog_->OnStart();
    ASSERT_TRUE(WaitUntil([this] { return dialog_->ScreenNumber != kScreenCopying; }));
}

std::string DesktopTest::TextOf(const char* key) const { return LookupText(dialog_->Texts, key); }

void DesktopTest::SaveScreenshot(const std::string& name) {
    QDir().mkpath(QStringLiteral(QUILLON_SCREENSHOT_DIR));
    const QString path = QStringLiteral(QUILLON_SCREENSHOT_DIR "/%1.png").arg(QString::fromStdString(name));
    EXPECT_TRUE(dialog_->grab().save(path)) << path.toStdString();
}

void DesktopTest::SaveMessageScreenshot(const std::string& name, const QString& text) {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Quillon"), text, QMessageBox::Ok, dialog_.get());
    box.show();
    QCoreApplication::processEvents();
    QDir().mkpath(QStringLiteral(QUILLON_SCREENSHOT_DIR));
    const QString path = QStringLiteral(QUILLON_SCREENSHOT_DIR "/%1.png").arg(QString::fromStdString(name));
    EXPECT_TRUE(box.grab().save(path)) << path.toStdString();
}

}  // namespace desktoptest
