// The application object: reads the settings, chooses where the devices come
// from, and runs the main dialog. When the dialog ends, the program ends.
#pragma once

#include <string>
#include <vector>

#include "app/qt/app_options.h"

// Exit codes of the desktop program.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

class CQuillonApp {
public:
    // Runs the program; returns its exit code.
    int InitInstance(int& argc, char** argv);

private:
    // False when the camera manifest or the disk image does not load (the
    // message is printed).
    bool InstallDevices(const AppOptions& options, std::string* notice);
};
