// The program's only window: three full-window screens drawn from the
// pictures in GFX_DATA, the Start button and the progress bar. The developer
// tools belong to the dialog too, in a window of their own that only
// developer mode shows.
#pragma once

#include <QtWidgets/QDialog>

#include <memory>
#include <string>

#include "device/device_record.h"
#include "texts/text_table.h"
#include "ui/qt/screen_layout.h"
#include "update/update_window.h"

class DeveloperTools;
class DialogSectorTools;
class DialogSelfTest;
class DialogUpdateWindow;
class DialogVolumeExplorer;
class MessageBoxes;
class QLabel;
class QProgressBar;
class QPushButton;
class UpdateRun;

class CQuillonDlg : public QDialog {
    Q_OBJECT
public:
    // exe_directory: the program's folder, whose GFX_DATA holds the texts,
    // the pictures and the update file; gfx_directory, when not empty, names
    // another folder to take them from.
    explicit CQuillonDlg(std::string exe_directory, std::string gfx_directory = {}, QWidget* parent = nullptr);
    ~CQuillonDlg() override;

    // Replaces the message boxes (tests answer them themselves).
    void SetMessageBoxes(std::unique_ptr<MessageBoxes> boxes);
    MessageBoxes& Boxes() { return *boxes_; }
    // Shows the developer tools in their own window beside the dialog; on
    // opening, their explorer looks for the camera.
    void ShowDeveloperTools();
    // The developer tools' explorer of the hidden volume and local folders.
    DialogVolumeExplorer& Explorer() { return *explorer_; }
    // The sector tools (Read, Write, EID Readback) and the Write Delete Test.
    DialogSectorTools& SectorTools() { return *sector_tools_; }
    DialogSelfTest& SelfTest() { return *self_test_; }
    // A short line under the screens that says where the devices come from.
    void SetDeviceNotice(const QString& text);

    // Start-up: loads the texts, shows screen 1 and checks the user's rights.
    // Returns false when start-up already ended the dialog.
    bool OnInitDialog();
    // Start-up, then the dialog's own event loop until it ends.
    int DoModal();

    // The OK action: edit contents into their fields, then the dialog ends.
    void OnOK();
    bool Ended() const { return ended_; }

    // Draws the given screen: pictures, control visibility and captions.
    void SetScreen(int screen);
    void SetProgress(const UpdateProgress& progress);
    // A warning the final screen shows under its picture (the camera could
    // not be ejected); cleared when the first screen shows again.
    void SetFinalWarning(const QString& text);
    // Whether start-up ended the dialog (no text table, no rights): the
    // program then ends with a failure status.
    bool StartUpFailed() const { return start_up_failed_; }
    // Shows the current screen's controls; the pictures follow on the next paint.
    void PaintScreen();
    QString Text(const char* key) const;

    // Handlers of the message map.
    void OnStart();
    void OnUpdateAppOnly();
    void OnUpdateAppData();
    void OnAbout();

    // The fields the edits exchange with, filled from the settings before
    // start-up (data exchange: DoDataExchange).
    QString StartSectorText;
    QString ReadSectorText;
    QString WriteSectorText;
    QString SectorCountText;
    QString WriteDataText;
    // true: edits into fields; false: fields into edits.
    void DoDataExchange(bool saving);

    // The run behind Start; tests look at its outcome.
    const UpdateRun& Run() const { return *update_run_; }

    // The folder of the running program; Read saves its dump file there.
    std::string ExeDirectory;
    std::string GfxDirectory;
    TextTable Texts;
    DeviceRecord Device;
    int ScreenNumber = kScreenStart;

    QPushButton* StartButton;
    QProgressBar* ProgressBar;
    DeveloperTools* Tools;

protected:
    void paintEvent(QPaintEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void reject() override;

private:
    void CreateControls();
    void ConnectMessageMap();
    void AddAboutCommand();
    void LoadTexts();
    void CheckAdministrator();
    // A marker button: sets its marker on the camera's system disk, or
    // refuses when no camera has been found.
    void SetMarker(std::string (*set_marker)(int physical_drive_number));

    std::unique_ptr<MessageBoxes> boxes_;
    std::unique_ptr<DialogVolumeExplorer> explorer_;
    std::unique_ptr<DialogSectorTools> sector_tools_;
    // After the explorer: a running test is stopped before the explorer goes.
    std::unique_ptr<DialogSelfTest> self_test_;
    std::unique_ptr<DialogUpdateWindow> update_window_;
    std::unique_ptr<UpdateRun> update_run_;
    void ShowFinalNotice();
    QString PicturePath(const char* name) const;
    const char* InstructionPicture() const;
    // Where the current screen's pictures go.
    ScreenLayout CurrentLayout() const;

    QLabel* device_notice_ = nullptr;
    QLabel* final_warning_label_ = nullptr;
    QLabel* log_notice_ = nullptr;
    QString final_warning_;
    bool ended_ = false;
    bool start_up_failed_ = false;
};
