// The main dialog's control ids. Each widget carries its id as its object
// name (ControlName), so tools and tests find controls by id.
#pragma once

#include <QtCore/QString>

enum ControlId : int {
    IDC_OK = 1,
    IDC_CANCEL = 2,
    IDC_EXPLORER_LIST = 1001,
    IDC_EXPLORER_TREE = 1003,
    IDC_REFRESH = 1004,
    IDC_STATUS_TEXT = 1005,
    IDC_READ_BUTTON = 1006,
    IDC_START_SECTOR = 1007,
    IDC_START_SECTOR_LABEL = 1008,
    IDC_READ_SECTOR = 1009,
    IDC_READ_SECTOR_LABEL = 1010,
    IDC_WRITE_BUTTON = 1011,
    IDC_WRITE_SECTOR = 1012,
    IDC_WRITE_SECTOR_LABEL = 1013,
    IDC_WRITE_DATA = 1014,
    IDC_SECTOR_COUNT = 1015,
    IDC_SECTOR_COUNT_LABEL = 1016,
    IDC_WRITE_DELETE_TEST = 1017,
    IDC_EID_READBACK = 1018,
    IDC_COPY_TO_CONSOLE = 1019,
    IDC_RIGHT_COUNT = 1020,
    IDC_TOTAL_COUNT = 1021,
    IDC_UPDATE_APP_ONLY = 1022,
    IDC_UPDATE_APP_DATA = 1023,
    IDC_START = 1024,
    IDC_PROGRESS = 1025,
};

inline QString ControlName(ControlId id) { return QString::number(static_cast<int>(id)); }
