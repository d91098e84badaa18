// The About box: the icon, the program's name and version, and one line
// about what it does. OK closes it.
#pragma once

#include <QtWidgets/QDialog>

class CAboutDlg : public QDialog {
    Q_OBJECT
public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};
