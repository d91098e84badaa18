#include "app/qt/quillon_app.h"

#include <QtCore/QTimer>
#include <QtWidgets/QApplication>

#include <cstdio>
#include <memory>
#include <optional>

#include "app/exe_directory.h"
#include "app/gfx_directory.h"
#include "app/settings.h"
#include "device/physical_drive_name.h"
#include "device/platform/platform.h"
#include "device/platform/sim/sim_platform.h"
#ifdef QUILLON_HAVE_LINUX_PLATFORM
#include "device/platform/linux/linux_platform.h"
#endif
#ifdef QUILLON_HAVE_WIN32_PLATFORM
#include "device/platform/win32/win32_platform.h"
#endif
#include "ui/qt/dialog_volume_explorer.h"
#include "ui/qt/quillon_dlg.h"

namespace {

// The drive an --image becomes. Not drive 0: the explorer never lists
// that one, as it is the computer's own first disk.
constexpr int kImageDriveNumber = 1;

#if !defined(QUILLON_HAVE_LINUX_PLATFORM) && !defined(QUILLON_HAVE_WIN32_PLATFORM)
constexpr char kNoDevicesNotice[] =
    "No camera can be found: this build reaches devices only through a simulated camera "
    "(start with --camera FILE).";
#endif

// The command line as the process got it, before Qt takes out its own options.
std::vector<std::string> CommandLineArguments(int argc, char** argv) {
    std::vector<std::string> arguments;
    for (int index = 1; index < argc; ++index) arguments.emplace_back(argv[index]);
    return arguments;
}

// The command line as left by QApplication.
std::vector<std::string> ProgramArguments() {
    std::vector<std::string> arguments;
    const QStringList all = QCoreApplication::arguments();
    for (qsizetype index = 1; index < all.size(); ++index)
        arguments.push_back(all[index].toStdString());
    return arguments;
}

void FillFromSettings(CQuillonDlg& dialog, const Settings& settings) {
    dialog.StartSectorText = QString::fromStdString(settings.StartSectorAddress);
    dialog.ReadSectorText = QString::fromStdString(settings.ReadSectorAddress);
    dialog.WriteSectorText = QString::fromStdString(settings.WriteSectorAddress);
    dialog.SectorCountText = QString::fromStdString(settings.NoOfSize);
}

// The exit code of a command line that ends the program without a window
// (a usage error, --help, --version), after its message; none when the
// window is to open.
std::optional<int> AnswerWithoutWindow(const AppOptions& options) {
    if (!options.error.empty()) {
        std::fprintf(stderr, "quillon: %s\n%s", options.error.c_str(), AppUsage().c_str());
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(AppUsage().c_str(), stdout);
        return kExitOk;
    }
    if (options.version) {
        std::fputs(AppVersionLine().c_str(), stdout);
        return kExitOk;
    }
    return std::nullopt;
}

}  // namespace

int CQuillonApp::InitInstance(int& argc, char** argv) {
    // Answered before QApplication, which needs a display: --help and
    // --version work on a terminal without one. A command line that does not
    // parse as it stands may still hold Qt's own options (-platform, -style);
    // it is judged once QApplication has taken those out.
    const AppOptions before_qt = ParseAppOptions(CommandLineArguments(argc, argv));
    if (before_qt.error.empty())
        if (const std::optional<int> exit_code = AnswerWithoutWindow(before_qt)) return *exit_code;

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillon"));
    QApplication::setApplicationVersion(QString::fromUtf8(AppVersion()));

    const AppOptions options = ParseAppOptions(ProgramArguments());
    if (const std::optional<int> exit_code = AnswerWithoutWindow(options)) return *exit_code;

    std::string notice;
    if (!InstallDevices(options, &notice))
        return kExitFailed;

    const std::string exe_directory = ExeDirectory();
    const std::string gfx_directory = options.gfx_directory.empty()
        ? DefaultGfxDirectory(exe_directory, options.camera_manifest)
        : options.gfx_directory;
    CQuillonDlg dialog(exe_directory, gfx_directory);
    FillFromSettings(dialog, LoadSettings(exe_directory + "/" + kSettingsFileName));
    if (!options.start_sector.empty())
        dialog.StartSectorText = QString::fromStdString(options.start_sector);
    dialog.SetDeviceNotice(QString::fromStdString(notice));
    // An image is there to be explored: its drive is offered in the tree,
    // and the developer tools open on it.
    if (!options.image.empty())
        dialog.Explorer().AddVolumeDrive(kImageDriveNumber);
    if (options.developer || !options.image.empty())
        QTimer::singleShot(0, &dialog, &CQuillonDlg::ShowDeveloperTools);
    dialog.DoModal();
    // A start-up that ended the dialog (no text table, no rights) is a
    // failure, whatever the dialog's own result says.
    return dialog.StartUpFailed() ? kExitFailed : kExitOk;
}

// This computer's own devices where the build has a backend for them, else
// only a simulated camera. The core leaves the choice to the program, so it
// is made here even when no camera is given.
bool CQuillonApp::InstallDevices(const AppOptions& options, std::string* notice) {
    if (!options.image.empty()) {
        auto simulated = std::make_unique<platform::SimulatedPlatform>();
        simulated->MapPhysicalDrive(kImageDriveNumber, options.image);
        if (!simulated->OpenDevice(PhysicalDriveName(kImageDriveNumber), platform::DeviceAccess::Read)) {
            std::fprintf(stderr, "quillon: cannot open image %s\n", options.image.c_str());
            return false;
        }
        platform::InstallPlatform(std::move(simulated));
        *notice = "Disk image: " + options.image + " (PHYSICALDRIVE" + std::to_string(kImageDriveNumber) + ")";
        return true;
    }
    if (options.camera_manifest.empty()) {
#if defined(QUILLON_HAVE_LINUX_PLATFORM)
        platform::InstallPlatform(platform::MakeLinuxPlatform());
#elif defined(QUILLON_HAVE_WIN32_PLATFORM)
        platform::InstallPlatform(platform::MakeWin32Platform());
#else
        platform::InstallPlatform(std::make_unique<platform::SimulatedPlatform>());
        std::fprintf(stderr, "quillon: %s\n", kNoDevicesNotice);
        *notice = kNoDevicesNotice;
#endif
        return true;
    }
    std::string error;
    std::unique_ptr<platform::SimulatedPlatform> camera =
        platform::SimulatedPlatform::LoadManifest(options.camera_manifest, &error);
    if (!camera) {
        std::fprintf(stderr, "quillon: %s\n", error.c_str());
        return false;
    }
    platform::InstallPlatform(std::move(camera));
    *notice = "Simulated camera: " + options.camera_manifest;
    return true;
}
