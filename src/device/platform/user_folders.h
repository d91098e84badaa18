// Folders of the user's own that the programs keep files in.
#pragma once

#include <string>

namespace platform {

// The folder for what the programs keep between runs that is no setting,
// such as the update log: $XDG_STATE_HOME/quillon, else
// ~/.local/state/quillon (on Windows %LOCALAPPDATA%\quillon). Created when missing; empty when there is no such
// folder and none can be made.
std::string UserStateDirectory();

}  // namespace platform
