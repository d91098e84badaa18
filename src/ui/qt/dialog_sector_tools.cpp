#include "ui/qt/dialog_sector_tools.h"

#include <QtCore/QByteArray>
#include <QtWidgets/QFileDialog>
#include <QtWidgets/QLabel>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "device/platform/sim/sim_platform.h"
#include "device/sector_io.h"
#include "device/sector_tools.h"
#include "ui/qt/developer_tools.h"
#include "ui/qt/message_boxes.h"
#include "ui/qt/quillon_dlg.h"

namespace {

const QString kReadRefusedText = QStringLiteral("Read refused: %1");
const QString kWriteRefusedText = QStringLiteral("Write refused: %1");
const QString kTextTooLongText =
    QStringLiteral("Write refused: the text takes %1 bytes, but a sector holds at most %2 in front of its zero byte. "
                   "Nothing was written.");
const QString kIdentityFileNotCreatedText =
    QStringLiteral("The file %1 could not be created. Nothing was sent to the camera.");
const QString kIdentityFileIsADiskText =
    QStringLiteral("The file %1 is a disk the camera is read from; choose another. Nothing was sent to the camera.");
const QString kIdentityFileNotWrittenText = QStringLiteral("The file %1 could not be written.");
const QString kCommandWriteFailedText =
    QStringLiteral("A command sector could not be written to the camera's system disk. "
                   "The file %1 holds only the answers read before.");

constexpr int kRandomByteMask = 0xFF;
// "84000", then "84111".
constexpr int kIdentityCommands = 2;

QString FromUtf8(const std::string& text) { return QString::fromStdString(text); }

// The fields hold numbers by the rule of the start sector: "0x" for base
// 16, else base 10, parsing up to the first character that is no digit.
std::uint32_t FieldSector(const QString& field) { return ParseSectorNumber(field.toStdString()); }

// The same rule, read back as the signed value it parsed, so that "-3" is
// a negative count rather than four thousand million sectors.
std::int64_t FieldCount(const QString& field) { return static_cast<std::int32_t>(FieldSector(field)); }

sectortools::IdentityRandom DrawIdentityRandom() {
    sectortools::IdentityRandom random{};
    for (std::uint8_t& byte : random)
        byte = static_cast<std::uint8_t>(std::rand() & kRandomByteMask);
    return random;
}

// The images the simulated disks are read from: a file saved over one of
// them would overwrite the disk it came from.
bool IsDiskFile(const std::string& path) {
    return !sectortools::DiskFileAt(path, platform::InstalledImageFiles()).empty();
}

QString AskSavePath(QWidget* parent, const QString& suggested) {
    return QFileDialog::getSaveFileName(parent, QStringLiteral("Save EID data"), suggested);
}

}  // namespace

DialogSectorTools::DialogSectorTools(CQuillonDlg& dialog, DeveloperTools& tools)
    : ask_identity_path(AskSavePath), dialog_(dialog), tools_(tools) {}

void DialogSectorTools::Inform(const QString& text) { dialog_.Boxes().Inform(&tools_, text); }

void DialogSectorTools::OnRead() {
    dialog_.DoDataExchange(true);
    tools_.StatusText->clear();
    tools_.StatusText->setText(ReadIntoDumpFile());
}

// A count is checked against the device before any buffer is sized by it;
// a device that does not open fails as the read itself would.
QString DialogSectorTools::ReadIntoDumpFile() const {
    const std::int64_t count = FieldCount(dialog_.SectorCountText);
    const std::uint32_t first = FieldSector(dialog_.ReadSectorText);
    std::uint64_t available = 0;
    if (!sectortools::MediaSectorsAvailable(&available))
        return QString::fromLatin1(sectortools::kReadError);
    if (const std::string problem = sectortools::ReadCountProblem(count, first, available); !problem.empty())
        return kReadRefusedText.arg(FromUtf8(problem));
    std::vector<std::uint8_t> bytes;
    if (!sectortools::ReadVolumeSectors(first, static_cast<std::uint32_t>(count), &bytes))
        return QString::fromLatin1(sectortools::kReadError);
    const std::string path = dialog_.ExeDirectory + "/" + sectortools::kReadDumpName;
    if (!sectortools::DumpPathFits(path) || IsDiskFile(path) || !sectortools::SaveBytes(path, bytes))
        return QString::fromLatin1(sectortools::kReadDataProblem);
    return QString::fromLatin1(sectortools::kReadCompleted);
}

void DialogSectorTools::OnWrite() {
    dialog_.DoDataExchange(true);
    tools_.StatusText->clear();
    tools_.StatusText->setText(WriteFromFields());
}

QString DialogSectorTools::WriteFromFields() const {
    const std::uint32_t sector = FieldSector(dialog_.WriteSectorText);
    // The platform's single-byte form: UTF-8 on Linux, the ANSI code page on Windows.
    const QByteArray text = dialog_.WriteDataText.toLocal8Bit();
    sectortools::Sector data{};
    if (!sectortools::MakeTextSector(text.toStdString(), &data))
        return kTextTooLongText.arg(text.size()).arg(sectortools::kMaxWriteTextBytes);
    if (const std::string refusal = sectortools::WriteRefusal(dialog_.Device, sector); !refusal.empty())
        return kWriteRefusedText.arg(FromUtf8(refusal));
    return QString::fromLatin1(sectortools::WriteVolumeSector(sector, data) ? sectortools::kWriteCompleted
                                                                             : sectortools::kWriteError);
}

// Every system volume gets its own question and file; the random bytes are
// drawn once per press and shared by all of them.
void DialogSectorTools::OnEidReadback() {
    const std::vector<sectortools::SystemVolume> volumes = sectortools::FindSystemVolumes();
    if (volumes.empty()) {
        Inform(QString::fromLatin1(sectortools::kSystemNotFound));
        return;
    }
    const sectortools::IdentityRandom random = DrawIdentityRandom();
    for (const sectortools::SystemVolume& volume : volumes) {
        const QString path = ask_identity_path(&tools_, QString::fromLatin1(sectortools::kIdentityFileName));
        if (path.isEmpty())
            continue;
        if (IsDiskFile(path.toStdString())) {
            Inform(kIdentityFileIsADiskText.arg(path));
            continue;
        }
        ReportIdentityFile(sectortools::SaveIdentityFile(volume.drive_number, random, path.toStdString()), path);
    }
}

// Only a command that reached the disk was answered: after a failed command
// write nothing more was sent, and no read-back is reported for it.
void DialogSectorTools::ReportIdentityFile(const sectortools::IdentityFileOutcome& outcome, const QString& path) {
    if (!outcome.file_created) {
        Inform(kIdentityFileNotCreatedText.arg(path));
        return;
    }
    const sectortools::IdentityReadback& readback = outcome.readback;
    const bool answers_whole[] = {readback.first_answer_whole, readback.second_answer_whole};
    for (int command = 0; command < readback.commands_written && command < kIdentityCommands; ++command) {
        if (!answers_whole[command])
            Inform(QString::fromLatin1(sectortools::kEidReadbackError));
    }
    if (readback.command_write_failed)
        Inform(kCommandWriteFailedText.arg(path));
    if (!outcome.file_written)
        Inform(kIdentityFileNotWrittenText.arg(path));
}
