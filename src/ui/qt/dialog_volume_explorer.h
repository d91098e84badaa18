// The developer tools' view of the camera's hidden volume as discovery
// leaves it: the top-level entries in the list, the top-level folders in the
// tree. Browsing below the top level comes with the full explorer.
#pragma once

#include "device/discovery.h"

class DeveloperTools;

class DialogVolumeExplorer : public VolumeExplorer {
public:
    explicit DialogVolumeExplorer(DeveloperTools& tools) : tools_(tools) {}

    void ClearVolumeView() override;
    void ShowVolumeListing(const FatEntryInfoList& entries) override;
    void ShowVolumeFolder(const std::string& name, const FatEntryInfoList& contents) override;

private:
    DeveloperTools& tools_;
};
