#include "ui/qt/quillon_dlg.h"

#include <QtGui/QAction>
#include <QtGui/QCloseEvent>
#include <QtGui/QImage>
#include <QtGui/QImageReader>
#include <QtGui/QKeyEvent>
#include <QtGui/QShowEvent>
#include <QtGui/QPainter>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QProgressBar>
#include <QtWidgets/QPushButton>

#include <cstdlib>
#include <ctime>

#include "device/platform/platform.h"
#include "ui/qt/about_dlg.h"
#include "ui/qt/app_icon.h"
#include "ui/qt/control_ids.h"
#include "ui/qt/developer_tools.h"
#include "ui/qt/dialog_sector_tools.h"
#include "ui/qt/dialog_update_window.h"
#include "ui/qt/dialog_volume_explorer.h"
#include "ui/qt/message_boxes.h"
#include "ui/qt/screen_layout.h"
#include "ui/qt/self_test_worker.h"
#include "update/marker.h"
#include "update/rights_text.h"
#include "update/update_run.h"

namespace {

// The dialog was designed in dialog units of an 8-point font, which come to
// 1.5 pixels across and 1.625 pixels down; its client area is 505 x 304 units.
constexpr double kPixelsPerUnitX = 1.5;
constexpr double kPixelsPerUnitY = 1.625;

QRect DialogUnits(int x, int y, int width, int height) {
    return QRect(qRound(x * kPixelsPerUnitX), qRound(y * kPixelsPerUnitY), qRound(width * kPixelsPerUnitX),
                 qRound(height * kPixelsPerUnitY));
}

const QRect kClientArea = DialogUnits(0, 0, 505, 304);
const QRect kStartButtonArea = DialogUnits(213, 260, 96, 18);
const QRect kProgressBarArea = DialogUnits(43, 259, 427, 19);
const QRect kDeviceNoticeArea(8, kClientArea.height() - 22, kClientArea.width() - 16, 18);
// Between the Start button and the device notice.
const QRect kLogNoticeArea(8, kClientArea.height() - 40, kClientArea.width() - 16, 18);
// Where the final screen's picture has its "you can unplug" box, as shares
// of the picture: a warning covers that box.
constexpr double kUnplugBoxLeft = 0.05;
constexpr double kUnplugBoxTop = 0.70;
constexpr double kUnplugBoxWidth = 0.90;
constexpr double kUnplugBoxHeight = 0.21;

constexpr int kProgressMaximum = 100;
const QString kNoCameraForMarkerText =
    QStringLiteral("No camera has been found yet: the marker is not written. Refresh the explorer first.");
const QColor kBandColour(0xFF, 0xFF, 0xFF);

constexpr char kTitlePicture[] = "title.bmp";
constexpr char kCameraPicture[] = "cam.bmp";
constexpr const char* kInstructionPictures[] = {"instruction1.bmp", "instruction2.bmp", "instruction3.bmp"};

bool IsKnownScreen(int screen) { return screen >= kScreenStart && screen <= kScreenFinished; }

// An invalid size (a picture that does not load) is an empty one.
PictureSize SizeOf(const QSize& size) {
    if (!size.isValid() || size.isEmpty())
        return {};
    return {static_cast<std::uint32_t>(size.width()), static_cast<std::uint32_t>(size.height())};
}

QRect ToQRect(const PixelRect& rect) { return QRect(rect.left, rect.top, rect.width, rect.height); }

}  // namespace

CQuillonDlg::CQuillonDlg(std::string exe_directory, std::string gfx_directory, QWidget* parent)
    : QDialog(parent),
      ExeDirectory(std::move(exe_directory)),
      GfxDirectory(gfx_directory.empty() ? ExeDirectory + "/" + kGfxFolderName : std::move(gfx_directory)),
      boxes_(std::make_unique<WindowMessageBoxes>()) {
    setObjectName(QStringLiteral("QuillonDialog"));
    setWindowIcon(QuillonIcon());
    setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFixedSize(kClientArea.size());
    CreateControls();
    explorer_ = std::make_unique<DialogVolumeExplorer>(*this, *Tools);
    update_window_ = std::make_unique<DialogUpdateWindow>(*this);
    update_run_ = std::make_unique<UpdateRun>(*update_window_, Texts, Device, GfxDirectory, explorer_.get());
    sector_tools_ = std::make_unique<DialogSectorTools>(*this, *Tools);
    self_test_ = std::make_unique<DialogSelfTest>(*this, *Tools);
    ConnectMessageMap();
    AddAboutCommand();
}

CQuillonDlg::~CQuillonDlg() = default;

void CQuillonDlg::CreateControls() {
    // OK and Cancel stay hidden and do nothing, so Enter and Esc never end the dialog.
    for (auto [id, text] : {std::pair{IDC_OK, "OK"}, std::pair{IDC_CANCEL, "Cancel"}}) {
        auto* button = new QPushButton(QString::fromLatin1(text), this);
        button->setObjectName(ControlName(id));
        button->setAutoDefault(false);
        button->hide();
    }

    StartButton = new QPushButton(QStringLiteral("Start"), this);
    StartButton->setObjectName(ControlName(IDC_START));
    StartButton->setGeometry(kStartButtonArea);
    StartButton->setAutoDefault(false);
    StartButton->setToolTip(QStringLiteral("Press Enter or Space to start. F1: About Quillon"));

    ProgressBar = new QProgressBar(this);
    ProgressBar->setObjectName(ControlName(IDC_PROGRESS));
    ProgressBar->setGeometry(kProgressBarArea);
    ProgressBar->setTextVisible(true);
    ProgressBar->setAlignment(Qt::AlignCenter);
    ProgressBar->hide();

    final_warning_label_ = new QLabel(this);
    final_warning_label_->setObjectName(QStringLiteral("FinalWarning"));
    final_warning_label_->setWordWrap(true);
    final_warning_label_->setAlignment(Qt::AlignVCenter | Qt::AlignLeft);
    final_warning_label_->setStyleSheet(QStringLiteral(
        "background: #FFF4D6; color: #5A3B00; border-left: 4px solid #D98E04; padding: 4px 8px; font-weight: bold;"));
    final_warning_label_->hide();

    log_notice_ = new QLabel(this);
    log_notice_->setObjectName(QStringLiteral("LogNotice"));
    log_notice_->setGeometry(kLogNoticeArea);
    log_notice_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    log_notice_->setStyleSheet(QStringLiteral("color: #5B6B7A;"));
    log_notice_->hide();

    device_notice_ = new QLabel(this);
    device_notice_->setObjectName(QStringLiteral("DeviceNotice"));
    device_notice_->setGeometry(kDeviceNoticeArea);
    device_notice_->setStyleSheet(QStringLiteral("color: #5B6B7A;"));
    device_notice_->hide();

    Tools = new DeveloperTools(this);
}

void CQuillonDlg::ConnectMessageMap() {
    connect(StartButton, &QPushButton::clicked, this, &CQuillonDlg::OnStart);
    connect(Tools->UpdateAppOnlyButton, &QPushButton::clicked, this, &CQuillonDlg::OnUpdateAppOnly);
    connect(Tools->UpdateAppDataButton, &QPushButton::clicked, this, &CQuillonDlg::OnUpdateAppData);
    DialogSectorTools* sectors = sector_tools_.get();
    connect(Tools->ReadButton, &QPushButton::clicked, sectors, &DialogSectorTools::OnRead);
    connect(Tools->WriteButton, &QPushButton::clicked, sectors, &DialogSectorTools::OnWrite);
    connect(Tools->EidReadbackButton, &QPushButton::clicked, sectors, &DialogSectorTools::OnEidReadback);
    DialogSelfTest* self_test = self_test_.get();
    connect(Tools->WriteDeleteTestButton, &QPushButton::clicked, self_test, &DialogSelfTest::OnWriteDeleteTest);
    connect(Tools->CancelSelfTestButton, &QPushButton::clicked, self_test, &DialogSelfTest::OnCancel);
}

// F1 opens the About box from everywhere; the dialog's context menu offers it
// too, standing in for the window menu that not every platform lets a
// program extend.
void CQuillonDlg::AddAboutCommand() {
    auto* about = new QAction(QStringLiteral("&About Quillon..."), this);
    about->setObjectName(QStringLiteral("AboutAction"));
    about->setShortcut(QKeySequence(Qt::Key_F1));
    about->setShortcutContext(Qt::ApplicationShortcut);
    connect(about, &QAction::triggered, this, &CQuillonDlg::OnAbout);
    addAction(about);
    setContextMenuPolicy(Qt::ActionsContextMenu);
}

void CQuillonDlg::SetMessageBoxes(std::unique_ptr<MessageBoxes> boxes) { boxes_ = std::move(boxes); }

void CQuillonDlg::ShowDeveloperTools() {
    const bool opening = !Tools->isVisible();
    Tools->show();
    // A fresh discovery mounts the volume anew, which the running self-test
    // is using.
    if (opening && !self_test_->Running())
        explorer_->OnRefresh();
    Tools->raise();
}

void CQuillonDlg::SetDeviceNotice(const QString& text) {
    device_notice_->setText(text);
    device_notice_->setVisible(!text.isEmpty());
}

bool CQuillonDlg::OnInitDialog() {
    DoDataExchange(false);
    // EID Readback draws its random bytes from the standard generator.
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    LoadTexts();
    SetScreen(kScreenStart);
    CheckAdministrator();
    return !ended_;
}

int CQuillonDlg::DoModal() {
    if (!OnInitDialog())
        return result();
    return exec();
}

void CQuillonDlg::LoadTexts() {
    const TextTableLoad load = LoadTextTable(TextTablePath(GfxDirectory), Texts);
    if (load.status == TextTableStatus::Missing) {
        boxes_->Inform(this, QString::fromLatin1(kTextTableMissingText) + QStringLiteral("\n\n") +
                                 QString::fromStdString(TextTablePath(GfxDirectory)));
        start_up_failed_ = true;
        OnOK();
    } else if (load.status == TextTableStatus::FormatError) {
        // The texts before the blank line are kept and the program goes on;
        // whoever ships the table learns where it broke.
        qWarning("OT.txt: blank line %d ends the text table there", load.blank_line);
    }
}

void CQuillonDlg::CheckAdministrator() {
    if (platform::CurrentPlatform().IsAdministrator())
        return;
    boxes_->Inform(this, QString::fromStdString(MissingRightsText(Texts)));
    start_up_failed_ = true;
    OnOK();
}

QString CQuillonDlg::Text(const char* key) const { return QString::fromStdString(LookupText(Texts, key)); }

void CQuillonDlg::DoDataExchange(bool saving) {
    const std::pair<QLineEdit*, QString*> fields[] = {
        {Tools->StartSectorEdit, &StartSectorText}, {Tools->ReadSectorEdit, &ReadSectorText},
        {Tools->SectorCountEdit, &SectorCountText}, {Tools->WriteSectorEdit, &WriteSectorText},
        {Tools->WriteDataEdit, &WriteDataText},
    };
    for (auto [edit, field] : fields) {
        if (saving)
            *field = edit->text();
        else
            edit->setText(*field);
    }
}

void CQuillonDlg::OnOK() {
    // The program ends once the dialog does; the test's thread must not
    // outlive it.
    self_test_->Stop();
    DoDataExchange(true);
    ended_ = true;
    done(QDialog::Accepted);
}

void CQuillonDlg::SetScreen(int screen) {
    ScreenNumber = screen;
    PaintScreen();
}

// The screen's controls change only when the screen does: a repaint must not
// set a running progress bar back.
void CQuillonDlg::PaintScreen() {
    switch (ScreenNumber) {
    case kScreenStart:
        ProgressBar->hide();
        final_warning_.clear();
        final_warning_label_->hide();
        log_notice_->hide();
        StartButton->show();
        StartButton->setText(Text(text_key::kStartCaption));
        setWindowTitle(Text(text_key::kWindowTitle));
        break;
    case kScreenCopying:
        StartButton->hide();
        ProgressBar->setRange(0, kProgressMaximum);
        ProgressBar->setValue(0);
        ProgressBar->setFormat(QStringLiteral("%p%"));
        ProgressBar->show();
        break;
    case kScreenFinished:
        ProgressBar->hide();
        StartButton->setText(Text(text_key::kFinishCaption));
        StartButton->show();
        ShowFinalNotice();
        break;
    default:
        boxes_->Inform(this, QStringLiteral("Error update Screen %1").arg(ScreenNumber));
        break;
    }
    // The worker reads the device record that browsing writes.
    Tools->SetExplorerEnabled(ScreenNumber != kScreenCopying);
    // Enter and Space act on the focused button; a new screen hands the
    // focus to its one button.
    if (StartButton->isVisible())
        StartButton->setFocus(Qt::OtherFocusReason);
    update();
}

void CQuillonDlg::SetProgress(const UpdateProgress& progress) {
    const std::string detail = ProgressDetailText(progress);
    // "%p%" is the bar's own percentage; a literal percent sign in the
    // detail would be read as a placeholder.
    ProgressBar->setFormat(detail.empty() ? QStringLiteral("%p%")
                                          : QStringLiteral("%p% - ") +
                                                QString::fromStdString(detail).replace(QLatin1Char('%'), QStringLiteral("%%")));
    ProgressBar->setValue(progress.position);
}

void CQuillonDlg::SetFinalWarning(const QString& text) {
    final_warning_ = text;
    if (ScreenNumber == kScreenFinished)
        ShowFinalNotice();
}

// The final screen's picture says the camera may be unplugged; a camera
// that was not ejected needs the warning over that very part of it. The
// log's place is shown too, for whoever has to trace a run afterwards.
void CQuillonDlg::ShowFinalNotice() {
    const PixelRect picture = CurrentLayout().instruction;
    final_warning_label_->setGeometry(picture.left + qRound(picture.width * kUnplugBoxLeft),
                                      picture.top + qRound(picture.height * kUnplugBoxTop),
                                      qRound(picture.width * kUnplugBoxWidth), qRound(picture.height * kUnplugBoxHeight));
    final_warning_label_->setText(final_warning_);
    final_warning_label_->setVisible(!final_warning_.isEmpty());

    const std::string& log = update_run_->LogPath();
    log_notice_->setText(QStringLiteral("Log of this run: ") + QString::fromStdString(log));
    log_notice_->setVisible(!log.empty());
}

QString CQuillonDlg::PicturePath(const char* name) const {
    return QString::fromStdString(GfxDirectory) + QLatin1Char('/') + QLatin1String(name);
}

const char* CQuillonDlg::InstructionPicture() const { return kInstructionPictures[ScreenNumber - kScreenStart]; }

ScreenLayout CQuillonDlg::CurrentLayout() const {
    const auto size_of = [this](const char* name) { return SizeOf(QImageReader(PicturePath(name)).size()); };
    return ComputeScreenLayout(width(), size_of(kTitlePicture), size_of(kCameraPicture), size_of(InstructionPicture()));
}

void CQuillonDlg::paintEvent(QPaintEvent*) {
    if (!IsKnownScreen(ScreenNumber))
        return;
    const QImage title(PicturePath(kTitlePicture));
    const QImage camera(PicturePath(kCameraPicture));
    const QImage instruction(PicturePath(InstructionPicture()));
    const ScreenLayout layout = ComputeScreenLayout(width(), SizeOf(title.size()), SizeOf(camera.size()),
                                                    SizeOf(instruction.size()));

    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.fillRect(ToQRect(layout.band), kBandColour);
    const std::pair<const QImage*, PixelRect> pictures[] = {
        {&title, layout.title}, {&camera, layout.camera}, {&instruction, layout.instruction}};
    for (auto [image, place] : pictures) {
        if (!image->isNull())
            painter.drawImage(ToQRect(place), *image);
    }
}

// The close box ends the program except while the update is being copied.
void CQuillonDlg::closeEvent(QCloseEvent* event) {
    event->ignore();
    if (ScreenNumber != kScreenCopying)
        OnOK();
}

// Enter presses the focused button as Space does; neither Enter nor Esc
// ends the dialog by itself.
void CQuillonDlg::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (auto* button = qobject_cast<QPushButton*>(focusWidget()); button && button->isVisible() && button->isEnabled())
            button->animateClick();
        event->accept();
        return;
    case Qt::Key_Escape:
        event->accept();
        return;
    default:
        QDialog::keyPressEvent(event);
    }
}

void CQuillonDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (StartButton->isVisible())
        StartButton->setFocus(Qt::OtherFocusReason);
}

void CQuillonDlg::reject() {}

void CQuillonDlg::OnAbout() {
    CAboutDlg about(this);
    about.exec();
}

void CQuillonDlg::OnUpdateAppOnly() { SetMarker(::OnUpdateAppOnly); }

void CQuillonDlg::OnUpdateAppData() { SetMarker(::OnUpdateAppData); }

// Until discovery has found the camera there is no system disk to put the
// marker on, so the write is not even tried.
void CQuillonDlg::SetMarker(std::string (*set_marker)(int physical_drive_number)) {
    if (Device.PhysicalDriveNumber == kNoPhysicalDrive) {
        Tools->StatusText->setText(kNoCameraForMarkerText);
        return;
    }
    Tools->StatusText->setText(QString::fromStdString(set_marker(Device.PhysicalDriveNumber)));
}

// Once the worker is started the copying screen shows at once: from then on
// the dialog cannot be closed under the worker, and Start is gone.
void CQuillonDlg::OnStart() {
    StartOutcome outcome = update_run_->OnStart();
    if (outcome == StartOutcome::AlreadyStarted && ScreenNumber == kScreenStart) {
        // A worker whose copy failed has shown the first screen again, its
        // last call of the window; it only has to return. This press counts.
        update_run_->WaitForWorker();
        outcome = update_run_->OnStart();
    }
    if (outcome == StartOutcome::WorkerStarted)
        SetScreen(kScreenCopying);
}
