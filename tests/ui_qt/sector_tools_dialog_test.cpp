// The developer window's Read, Write and EID Readback, clicked headless on
// a simulated camera: what lands in the dump file, on the image and in the
// identity file, and what the status line and the message boxes say when a
// command is refused. The marker buttons' refusal without a camera is here
// too: like Write, they must not reach a disk that discovery did not name.
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QPushButton>

#include <algorithm>
#include <filesystem>

#include "desktop_fixture.h"
#include "device/camera_layout.h"
#include "device/sector_io.h"
#include "device/sector_tools.h"
#include "support/test_support.h"
#include "ui/qt/developer_tools.h"
#include "ui/qt/dialog_sector_tools.h"

namespace desktoptest {
namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kHiddenVolumeBytes = 16u << 20;
// A sector of the hidden volume's data area that the fresh volume leaves unused.
constexpr std::uint32_t kSpareSector = 0x7000;

std::vector<std::uint8_t> Bytes(std::initializer_list<int> values) {
    std::vector<std::uint8_t> bytes;
    for (int value : values) bytes.push_back(static_cast<std::uint8_t>(value));
    return bytes;
}

// The sector Write makes of `text`: its bytes, a zero, then 0xFF.
std::vector<std::uint8_t> TextSector(const std::vector<std::uint8_t>& text) {
    std::vector<std::uint8_t> sector(kSectorSize, 0xFF);
    std::copy(text.begin(), text.end(), sector.begin());
    sector[text.size()] = 0;
    return sector;
}

class SectorToolsDialogTest : public DesktopTest {
protected:
    // The program started on a camera with a hidden volume; Read saves into
    // a folder of the scratch area. Nothing has been discovered yet.
    void StartOnCamera(const ProgramSetup& setup = ProgramSetup()) {
        ASSERT_TRUE(Start(ProgramSetup(setup).HiddenVolume(kHiddenVolumeBytes)));
        image_ = camera_dir_ + "/system.img";
        dump_folder_ = scratch_ + "/program";
        fs::create_directories(dump_folder_);
        Dialog().ExeDirectory = dump_folder_;
    }
    // Opening the developer window looks for the camera and mounts its volume.
    void Discover() {
        Dialog().ShowDeveloperTools();
        ASSERT_EQ(Dialog().Device.PhysicalDriveNumber, 3);
    }

    void Read(const QString& first, const QString& count) {
        Tools().ReadSectorEdit->setText(first);
        Tools().SectorCountEdit->setText(count);
        Tools().ReadButton->click();
    }
    void Write(const QString& sector, const QString& text) {
        Tools().WriteSectorEdit->setText(sector);
        Tools().WriteDataEdit->setText(text);
        Tools().WriteButton->click();
    }

    DeveloperTools& Tools() { return *Dialog().Tools; }
    QString Status() { return Tools().StatusText->text(); }
    std::string DumpFile() const { return dump_folder_ + "/" + sectortools::kReadDumpName; }
    // What follows the volume start on the disk: the sectors Read and Write can reach.
    std::uint64_t SectorsFromVolumeStart() const {
        return fs::file_size(image_) / kSectorSize - camera::kHiddenVolumeStartSector;
    }
    std::vector<std::uint8_t> VolumeSector(std::uint32_t sector) {
        return testsupport::ReadSector(image_, camera::kHiddenVolumeStartSector + sector);
    }

    std::string image_;
    std::string dump_folder_;
};

// ---- Read ------------------------------------------------------------------

// The fields count from the volume start; "0x" means base 16, a plain
// number base 10.
TEST_F(SectorToolsDialogTest, ReadSavesTheVolumeSectorsToTheDumpFile) {
    StartOnCamera();
    for (std::uint32_t sector : {10u, 16u, 17u})
        testsupport::WriteSector(image_, camera::kHiddenVolumeStartSector + sector,
                                 std::vector<std::uint8_t>(kSectorSize, static_cast<std::uint8_t>(sector)));
    Discover();

    struct Case {
        const char* first;
        const char* count;
        std::uint32_t sector;
        std::uint32_t sectors;
    };
    for (const Case& c : {Case{"0x10", "2", 16, 2}, Case{"10", "1", 10, 1}}) {
        SCOPED_TRACE(c.first);
        Read(QString::fromLatin1(c.first), QString::fromLatin1(c.count));
        EXPECT_EQ(Status(), QString::fromLatin1(sectortools::kReadCompleted));
        std::vector<std::uint8_t> expected;
        for (std::uint32_t i = 0; i < c.sectors; ++i) {
            const std::vector<std::uint8_t> sector = VolumeSector(c.sector + i);
            expected.insert(expected.end(), sector.begin(), sector.end());
        }
        EXPECT_EQ(testsupport::ReadFileBytes(DumpFile()), expected);
    }
    EXPECT_EQ(Dialog().ReadSectorText, QStringLiteral("10")) << "the fields were taken into their members";
}

// Counts that cannot be read are named in the status line before anything
// is read or saved.
TEST_F(SectorToolsDialogTest, ReadRefusesCountsThatCannotBeRead) {
    StartOnCamera();
    Discover();
    struct Case {
        const char* first;
        const char* count;
    };
    const std::string last = std::to_string(SectorsFromVolumeStart() - 1);
    for (const Case& c : {Case{"0", "abc"}, Case{"0", "0"}, Case{"0", "-3"}, Case{"0", "99999999999"},
                          Case{last.c_str(), "2"}}) {
        SCOPED_TRACE(std::string(c.first) + " / " + c.count);
        Read(QString::fromLatin1(c.first), QString::fromLatin1(c.count));
        EXPECT_TRUE(Status().startsWith(QStringLiteral("Read refused: "))) << Status().toStdString();
        EXPECT_FALSE(fs::exists(DumpFile()));
    }
    Read(QString::fromStdString(last), QStringLiteral("1"));
    EXPECT_EQ(Status(), QString::fromLatin1(sectortools::kReadCompleted)) << "the last sector itself can be read";
}

// Before any discovery the callbacks name no device: the read fails.
TEST_F(SectorToolsDialogTest, ReadBeforeDiscoveryIsAReadError) {
    StartOnCamera();
    MediaDevicePath.clear();  // an earlier test's discovery may have set it
    Read(QStringLiteral("0"), QStringLiteral("1"));
    EXPECT_EQ(Status(), QString::fromLatin1(sectortools::kReadError));
    EXPECT_FALSE(fs::exists(DumpFile()));
}

// A program folder whose dump path is too long for the classic buffer, or
// that does not exist, gives the data problem and no file.
TEST_F(SectorToolsDialogTest, DumpFileThatCannotBeMadeIsAReadDataProblem) {
    StartOnCamera();
    Discover();
    for (const std::string& folder : {scratch_ + "/missing", scratch_ + "/" + std::string(260, 'd')}) {
        SCOPED_TRACE(folder.size());
        Dialog().ExeDirectory = folder;
        Read(QStringLiteral("0"), QStringLiteral("1"));
        EXPECT_EQ(Status(), QString::fromLatin1(sectortools::kReadDataProblem));
    }
    EXPECT_FALSE(fs::exists(scratch_ + "/missing"));
}

// ---- Write -----------------------------------------------------------------

TEST_F(SectorToolsDialogTest, WriteFillsTheSectorWithTheText) {
    StartOnCamera();
    Discover();
    struct Case {
        QString text;
        std::vector<std::uint8_t> bytes;
    };
    const Case cases[] = {
        {QStringLiteral("abc"), Bytes({0x61, 0x62, 0x63})},
        {QString(), {}},
#ifndef _WIN32
        {QString::fromUtf8("\xC3\xA9"), Bytes({0xC3, 0xA9})},  // UTF-8 is Linux's single-byte form
#endif
        {QString(511, QLatin1Char('x')), std::vector<std::uint8_t>(511, 'x')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.left(8).toStdString());
        Write(QStringLiteral("0x7000"), c.text);
        EXPECT_EQ(Status(), QString::fromLatin1(sectortools::kWriteCompleted));
        EXPECT_EQ(VolumeSector(kSpareSector), TextSector(c.bytes));
    }
    EXPECT_EQ(testsupport::Fsck(image_, std::uint64_t{camera::kHiddenVolumeStartSector} * kSectorSize).exit_code, 0);
}

// Refused writes leave the disk as it was: before discovery there is no
// camera to write to, a text of 512 bytes does not fit in front of the
// zero byte, and a sector past the disk's end is not on it.
TEST_F(SectorToolsDialogTest, WriteIsRefusedWithoutCameraTooLongTextOrPastTheEnd) {
    StartOnCamera();
    const std::vector<std::uint8_t> before = VolumeSector(kSpareSector);
    Write(QStringLiteral("0x7000"), QStringLiteral("abc"));
    EXPECT_TRUE(Status().startsWith(QStringLiteral("Write refused: "))) << Status().toStdString();
    EXPECT_EQ(VolumeSector(kSpareSector), before);

    Discover();
    Write(QStringLiteral("0x7000"), QString(512, QLatin1Char('x')));
    EXPECT_TRUE(Status().startsWith(QStringLiteral("Write refused: "))) << Status().toStdString();
    EXPECT_TRUE(Status().contains(QStringLiteral("512"))) << Status().toStdString();
    EXPECT_EQ(VolumeSector(kSpareSector), before);

    const std::uint64_t image_bytes = fs::file_size(image_);
    Write(QString::number(SectorsFromVolumeStart()), QStringLiteral("abc"));
    EXPECT_TRUE(Status().startsWith(QStringLiteral("Write refused: "))) << Status().toStdString();
    EXPECT_EQ(fs::file_size(image_), image_bytes);
}

// ---- EID Readback ----------------------------------------------------------

class EidReadbackTest : public SectorToolsDialogTest {
protected:
    // Answers each save dialog with the next path (empty: Cancel) and
    // records what it proposed.
    void AnswerSaveDialogs(std::vector<QString> paths) {
        answers_ = std::move(paths);
        Dialog().SectorTools().ask_identity_path = [this](QWidget*, const QString& suggested) {
            suggested_.push_back(suggested);
            if (answers_.empty()) return QString();
            const QString path = answers_.front();
            answers_.erase(answers_.begin());
            return path;
        };
    }
    std::vector<std::uint8_t> CommandSector() { return testsupport::ReadSector(image_, camera::kIdentityCommandSector); }

    std::vector<QString> answers_;
    std::vector<QString> suggested_;
};

TEST_F(EidReadbackTest, SavesBothCommandsAndTheCameraAnswers) {
    StartOnCamera();
    const std::string file = scratch_ + "/eid.bin";
    AnswerSaveDialogs({QString::fromStdString(file)});
    Tools().EidReadbackButton->click();

    EXPECT_EQ(suggested_, std::vector<QString>{QStringLiteral("EID_DATA.bin")});
    EXPECT_TRUE(boxes_.messages.empty());
    const std::vector<std::uint8_t> bytes = testsupport::ReadFileBytes(file);
    ASSERT_EQ(bytes.size(), sectortools::kIdentityFileBytes);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 5), "84000");
    EXPECT_EQ(std::string(bytes.begin() + 1536, bytes.begin() + 1541), "84111");
    EXPECT_TRUE(std::equal(bytes.begin() + 5, bytes.begin() + 21, bytes.begin() + 1541)) << "one draw, both commands";
    EXPECT_TRUE(std::all_of(bytes.begin() + 21, bytes.begin() + 512, [](std::uint8_t b) { return b == 0; }));
    // The second command is what the disk received last, and what it
    // answered then is the file's last part.
    EXPECT_EQ(CommandSector(), std::vector<std::uint8_t>(bytes.begin() + 1536, bytes.begin() + 2048));
    std::vector<std::uint8_t> answer = testsupport::ReadSector(image_, camera::kIdentityAnswerSector);
    const std::vector<std::uint8_t> state = testsupport::ReadSector(image_, camera::kIdentityAnswerSector + 1);
    answer.insert(answer.end(), state.begin(), state.end());
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin() + 2048, bytes.end()), answer);
}

// Cancel sends nothing; a file that cannot be created, or that is the
// camera's own disk image, sends nothing either and says so.
TEST_F(EidReadbackTest, NothingIsSentWithoutAFileToKeepTheAnswers) {
    StartOnCamera();
    const std::vector<std::uint8_t> before = CommandSector();
    const QString missing = QString::fromStdString(scratch_ + "/missing/eid.bin");
    const std::uint64_t image_bytes = fs::file_size(image_);
    for (const QString& path : {QString(), missing, QString::fromStdString(image_)}) {
        SCOPED_TRACE(path.toStdString());
        boxes_.messages.clear();
        AnswerSaveDialogs({path});
        Tools().EidReadbackButton->click();
        EXPECT_EQ(suggested_.size(), 1u) << "one system volume, one question";
        suggested_.clear();
        if (path.isEmpty()) {
            EXPECT_TRUE(boxes_.messages.empty());
        } else {
            ASSERT_EQ(boxes_.messages.size(), 1u);
            EXPECT_TRUE(boxes_.messages[0].contains(path)) << boxes_.messages[0].toStdString();
            EXPECT_TRUE(boxes_.messages[0].contains(QStringLiteral("Nothing was sent"))) << boxes_.messages[0].toStdString();
        }
        EXPECT_EQ(CommandSector(), before);
    }
    EXPECT_FALSE(fs::exists(missing.toStdString()));
    EXPECT_EQ(fs::file_size(image_), image_bytes);
}

TEST_F(EidReadbackTest, NoCameraSaysTheSystemCannotBeFound) {
    ASSERT_TRUE(Start(ProgramSetup().NoCamera()));
    AnswerSaveDialogs({QString::fromStdString(scratch_ + "/eid.bin")});
    Tools().EidReadbackButton->click();
    EXPECT_EQ(boxes_.messages, std::vector<QString>{QString::fromLatin1(sectortools::kSystemNotFound)});
    EXPECT_TRUE(suggested_.empty());
    EXPECT_FALSE(fs::exists(scratch_ + "/eid.bin"));
}

// ---- Marker buttons --------------------------------------------------------

TEST_F(SectorToolsDialogTest, MarkerButtonsRefuseBeforeACameraIsFound) {
    StartOnCamera();
    const std::vector<std::uint8_t> before = testsupport::ReadSector(image_, camera::kUpdateMarkerSector);
    for (QPushButton* button : {Tools().UpdateAppOnlyButton, Tools().UpdateAppDataButton}) {
        SCOPED_TRACE(button->text().toStdString());
        Tools().StatusText->clear();
        button->click();
        EXPECT_TRUE(Status().startsWith(QStringLiteral("No camera has been found"))) << Status().toStdString();
    }
    EXPECT_EQ(testsupport::ReadSector(image_, camera::kUpdateMarkerSector), before);
}

}  // namespace
}  // namespace desktoptest
