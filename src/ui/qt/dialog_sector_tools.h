// The developer window's sector tools: Read, Write and EID Readback. What
// they do to the disks is device/sector_tools.h's; here the fields are
// parsed, the identity file is asked for and the outcome is shown: Read and
// Write in the status line, EID Readback in message boxes.
//
// All three run on the dialog's thread: a Read moves at most
// sectortools::kMaxReadSectors, the others a few sectors.
#pragma once

#include <QtCore/QObject>
#include <QtCore/QString>

#include <functional>

class CQuillonDlg;
class DeveloperTools;
class QWidget;

namespace sectortools {
struct IdentityFileOutcome;
}

class DialogSectorTools : public QObject {
    Q_OBJECT
public:
    DialogSectorTools(CQuillonDlg& dialog, DeveloperTools& tools);

    void OnRead();
    void OnWrite();
    void OnEidReadback();

    // Where the identity file of one system volume goes, `suggested`
    // offered first; empty when cancelled. The real one is the save-file
    // dialog, which asks before it replaces a file; tests answer themselves.
    std::function<QString(QWidget* parent, const QString& suggested)> ask_identity_path;

private:
    // The outcome of each command, for the status line.
    QString ReadIntoDumpFile() const;
    QString WriteFromFields() const;
    void ReportIdentityFile(const sectortools::IdentityFileOutcome& outcome, const QString& path);
    void Inform(const QString& text);

    CQuillonDlg& dialog_;
    DeveloperTools& tools_;
};
