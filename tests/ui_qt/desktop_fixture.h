// A desktop program under test: its folder with GFX_DATA (the built texts and
// pictures, and an update file), a simulated camera, and the main dialog with
// message boxes that the test answers.
#pragma once

#include <gtest/gtest.h>

#include <QtCore/QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/camera_fixture.h"
#include "ui/qt/message_boxes.h"
#include "ui/qt/quillon_dlg.h"

namespace desktoptest {

// What the boxes showed, and how the test answers the Yes/No question.
struct BoxLog {
    std::vector<QString> messages;
    std::vector<QString> questions;
    bool answer_yes = true;
};

class ScriptedBoxes : public MessageBoxes {
public:
    explicit ScriptedBoxes(BoxLog& log) : log_(log) {}
    void Inform(QWidget*, const QString& text) override { log_.messages.push_back(text); }
    bool AskYesNo(QWidget*, const QString& text) override {
        log_.questions.push_back(text);
        return log_.answer_yes;
    }

private:
    BoxLog& log_;
};

// The program and camera a test starts with; by default a ready camera and
// a 100000-byte update file.
struct ProgramSetup {
    bool camera_attached = true;
    bool administrator = true;
    std::uint32_t state_word = 0;
    bool text_table = true;
    bool user_folder = true;                            // the user volume's root exists
    std::optional<std::uint64_t> user_free;             // free bytes of the user volume
    std::optional<std::uint64_t> update_size = 100000;  // none: no APP_DATA.BIN
    std::uint64_t hidden_volume_bytes = 0;              // 0: no hidden FAT volume

    ProgramSetup& NoCamera() { camera_attached = false; return *this; }
    ProgramSetup& NotAdministrator() { administrator = false; return *this; }
    ProgramSetup& StateWord(std::uint32_t word) { state_word = word; return *this; }
    ProgramSetup& NoTextTable() { text_table = false; return *this; }
    ProgramSetup& NoUserFolder() { user_folder = false; return *this; }
    ProgramSetup& UserFree(std::uint64_t bytes) { user_free = bytes; return *this; }
    ProgramSetup& UpdateSize(std::optional<std::uint64_t> bytes) { update_size = bytes; return *this; }
    ProgramSetup& HiddenVolume(std::uint64_t bytes) { hidden_volume_bytes = bytes; return *this; }
};

class DesktopTest : public ::testing::Test {
protected:
    void TearDown() override;

    // Builds the program folder and the camera and creates the dialog
    // (not yet started up).
    void Prepare(const ProgramSetup& setup);
    // Prepare, then the dialog's start-up; false when start-up ended it.
    bool Start(const ProgramSetup& setup = {});
    CQuillonDlg& Dialog() { return *dialog_; }

    // Runs the dialog's events until the condition holds (or a generous
    // limit passes, so a broken run fails instead of hanging).
    bool WaitUntil(const std::function<bool()>& condition);
    // Presses Start and waits until the worker has left the copying screen.
    void RunUpdate();
    // Called (on the dialog's thread) at every progress position.
    std::function<void(int)> on_progress;

    std::string TextOf(const char* key) const;
    // The built texts and pictures.
    static std::string BuiltGfxDirectory();
    // Saves a picture of the dialog under the build folder.
    void SaveScreenshot(const std::string& name);
    // Saves a picture of the message box the dialog showed with this text
    // (the test's boxes record the text; this draws it as the program does).
    void SaveMessageScreenshot(const std::string& name, const QString& text);

    std::string scratch_;
    std::string app_dir_;
    std::string camera_dir_;
    BoxLog boxes_;
    std::vector<int> progress_;
    // Declared before the dialog: the dialog (and its worker) ends first.
    std::unique_ptr<testsupport::ScopedPlatform> platform_;
    std::unique_ptr<CQuillonDlg> dialog_;
    bool dialog_finished_ = false;

private:
    void MakeProgramFolder(const ProgramSetup& setup);
    void MakeCamera(const ProgramSetup& setup);
};

}  // namespace desktoptest
