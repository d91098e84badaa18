#include "app/qt/quillon_app.h"

#include <QtCore/QTimer>
#include <QtWidgets/QApplication>

#include <cstdio>
#include <memory>

#include "app/exe_directory.h"
#include "app/gfx_directory.h"
#include "app/settings.h"
#include "device/platform/platform.h"
#include "device/platform/sim/sim_platform.h"
#include "ui/qt/quillon_dlg.h"

namespace {

constexpr char kNoDevicesNotice[] =
    "No camera can be found: this build reaches devices only through a simulated camera "
    "(start with --camera FILE).";

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

}  // namespace

int CQuillonApp::InitInstance(int& argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quillon"));
    QApplication::setApplicationVersion(QStringLiteral("1.0"));

    const AppOptions options = ParseAppOptions(ProgramArguments());
    if (!options.error.empty()) {
        std::fprintf(stderr, "quillon: %s\n%s", options.error.c_str(), AppUsage().c_str());
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(AppUsage().c_str(), stdout);
        return kExitOk;
    }

    std::string notice;
    if (!InstallDevices(options, &notice))
        return kExitFailed;

    const std::string exe_directory = ExeDirectory();
    const std::string gfx_directory = options.gfx_directory.empty()
        ? DefaultGfxDirectory(exe_directory, options.camera_manifest)
        : options.gfx_directory;
    CQuillonDlg dialog(exe_directory, gfx_directory);
    FillFromSettings(dialog, LoadSettings(exe_directory + "/" + kSettingsFileName));
    dialog.SetDeviceNotice(QString::fromStdString(notice));
    if (options.developer)
        QTimer::singleShot(0, &dialog, &CQuillonDlg::ShowDeveloperTools);
    dialog.DoModal();
    return kExitOk;
}

// The simulated camera is this build's only backend. The core leaves the
// choice to the program, so it is made here even when no camera is given.
bool CQuillonApp::InstallDevices(const AppOptions& options, std::string* notice) {
    if (options.camera_manifest.empty()) {
        platform::InstallPlatform(std::make_unique<platform::SimulatedPlatform>());
        std::fprintf(stderr, "quillon: %s\n", kNoDevicesNotice);
        *notice = kNoDevicesNotice;
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
