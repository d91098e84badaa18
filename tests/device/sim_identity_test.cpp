// The simulated camera's answer to the identity commands: what it holds,
// which writes are answered, and the manifest key that turns it off.
#include "device/platform/sim/sim_identity.h"

#include <gtest/gtest.h>

#include <cstring>

#include "device/camera_layout.h"
#include "device/physical_drive_name.h"
#include "device/platform/sim/sim_platform.h"
#include "support/camera_fixture.h"
#include "support/pattern.h"
#include "support/test_support.h"

namespace {

using nlohmann::json;
using platform::DeviceAccess;
using platform::SimulatedPlatform;
using testsupport::ReadSector;
using testsupport::WriteSector;

constexpr int kDrive = 0;
constexpr std::uint64_t kCommandSector = camera::kIdentityCommandSector;
constexpr std::uint64_t kAnswerSector = camera::kIdentityAnswerSector;
constexpr std::uint64_t kStateSector = camera::kStateWordSector;

using Bytes = std::vector<std::uint8_t>;

Bytes Command(const char* text, unsigned seed) {
    Bytes sector(kSectorSize, 0);
    std::memcpy(sector.data(), text, std::strlen(text));
    const Bytes random = testsupport::Pattern(camera::kIdentityRandomBytes, seed);
    std::copy(random.begin(), random.end(), sector.begin() + 5);
    return sector;
}

Bytes AnswerTo(const Bytes& command) {
    const platform::IdentitySector answer = platform::MakeIdentityAnswer(command.data());
    return Bytes(answer.begin(), answer.end());
}

TEST(SimIdentityAnswer, DependsOnTheCommandAndItsRandomBytes) {
    const Bytes first = AnswerTo(Command("84000", 1));
    EXPECT_NE(first, AnswerTo(Command("84111", 1)));
    EXPECT_NE(first, AnswerTo(Command("84000", 2)));
    EXPECT_EQ(first, AnswerTo(Command("84000", 1)));
    // Derived bytes, not only the echo, follow both.
    const auto derived = [](const Bytes& answer) { return Bytes(answer.begin() + 32, answer.begin() + 48); };
    EXPECT_NE(derived(first), derived(AnswerTo(Command("84111", 1))));
    EXPECT_NE(derived(first), derived(AnswerTo(Command("84000", 2))));
}

TEST(SimIdentityAnswer, RecognisesOnlyTheTwoCommandTexts) {
    const struct {
        const char* text;
        bool command;
    } cases[] = {{"84000", true}, {"84111", true}, {"84001", false}, {"8400", false}, {"", false}, {"x84000", false}};
    for (const auto& c : cases) EXPECT_EQ(platform::IsIdentityCommand(Command(c.text, 1).data()), c.command) << c.text;
}

// A disk reaching past the command sector; the answer and state sectors
// hold patterns, so any change to them shows.
class SimIdentityDisk : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = testsupport::ScratchDir();
        image_ = dir_ + "/system.img";
        testsupport::MakeEmptyImage(image_, (kCommandSector + 8) * kSectorSize);
        WriteSector(image_, kAnswerSector, answer_held_);
        WriteSector(image_, kStateSector, state_held_);
    }

    void MapDrive(bool answers) {
        auto simulated = std::make_unique<SimulatedPlatform>();
        simulated->MapPhysicalDrive(kDrive, image_);
        if (answers) simulated->SetIdentityAnswer(kDrive, true);
        scoped_ = std::make_unique<testsupport::ScopedPlatform>(std::move(simulated));
    }

    // Writes the bytes at a byte position through the drive's device.
    std::unique_ptr<platform::Device> WriteAt(std::uint64_t position, const Bytes& bytes) {
        auto device = platform::CurrentPlatform().OpenDevice(PhysicalDriveName(kDrive), DeviceAccess::ReadWrite);
        EXPECT_TRUE(device);
        if (!device) return nullptr;
        EXPECT_TRUE(device->Seek(position));
        EXPECT_EQ(device->Write(bytes.data(), bytes.size()), bytes.size());
        return device;
    }

    void ExpectUnanswered(const std::string& what) {
        EXPECT_EQ(ReadSector(image_, kAnswerSector), answer_held_) << what;
        EXPECT_EQ(ReadSector(image_, kStateSector), state_held_) << what;
    }

    std::string dir_, image_;
    const Bytes answer_held_ = testsupport::Pattern(kSectorSize, 11);
    const Bytes state_held_ = testsupport::Pattern(kSectorSize, 12);
    std::unique_ptr<testsupport::ScopedPlatform> scoped_;
};

TEST_F(SimIdentityDisk, ACommandAtItsSectorIsAnsweredAndTheStateWordKept) {
    MapDrive(true);
    const Bytes command = Command("84111", 5);
    WriteAt(kCommandSector * kSectorSize, command);
    EXPECT_EQ(ReadSector(image_, kCommandSector), command);
    EXPECT_EQ(ReadSector(image_, kAnswerSector), AnswerTo(command));
    EXPECT_EQ(ReadSector(image_, kStateSector), state_held_);
}

struct UnansweredCase {
    const char* name;
    std::uint64_t position;
    Bytes bytes;
};

TEST_F(SimIdentityDisk, OtherWritesChangeNothingElse) {
    MapDrive(true);
    const Bytes command = Command("84000", 3);
    const UnansweredCase cases[] = {
        {"command_one_sector_early", (kCommandSector - 1) * kSectorSize, command},
        {"command_one_sector_late", (kCommandSector + 1) * kSectorSize, command},
        {"no_command_text", kCommandSector * kSectorSize, Command("12345", 3)},
        {"part_of_the_sector", kCommandSector * kSectorSize, Bytes(command.begin(), command.begin() + 21)},
        {"sector_not_aligned", kCommandSector * kSectorSize + 1, command},
    };
    for (const auto& c : cases) {
        WriteAt(c.position, c.bytes);
        ExpectUnanswered(c.name);
    }
}

TEST_F(SimIdentityDisk, AMultiSectorWriteCoveringTheCommandIsAnswered) {
    MapDrive(true);
    const Bytes command = Command("84000", 7);
    Bytes run = testsupport::Pattern(kSectorSize, 8);
    run.insert(run.end(), command.begin(), command.end());
    const Bytes after = testsupport::Pattern(kSectorSize, 9);
    run.insert(run.end(), after.begin(), after.end());
    auto device = WriteAt((kCommandSector - 1) * kSectorSize, run);
    EXPECT_EQ(ReadSector(image_, kAnswerSector), AnswerTo(command));
    // The writer goes on where its own write ended, not where the answer went.
    const Bytes next = testsupport::Pattern(kSectorSize, 10);
    ASSERT_EQ(device->Write(next.data(), next.size()), next.size());
    EXPECT_EQ(ReadSector(image_, kCommandSector + 1), after);
    EXPECT_EQ(ReadSector(image_, kCommandSector + 2), next);
}

TEST_F(SimIdentityDisk, ADriveMappedInCodeAnswersOnlyWhenAsked) {
    MapDrive(false);
    WriteAt(kCommandSector * kSectorSize, Command("84000", 1));
    ExpectUnanswered("not asked");
}

TEST_F(SimIdentityDisk, ReadsPassThrough) {
    MapDrive(true);
    auto device = platform::CurrentPlatform().OpenDevice(PhysicalDriveName(kDrive), DeviceAccess::ReadWrite);
    ASSERT_TRUE(device);
    EXPECT_EQ(device->Size(), static_cast<std::int64_t>((kCommandSector + 8) * kSectorSize));
    Bytes back(kSectorSize);
    ASSERT_TRUE(device->Seek(kStateSector * kSectorSize));
    ASSERT_EQ(device->Read(back.data(), back.size()), back.size());
    EXPECT_EQ(back, state_held_);
}

// The manifest's drives answer unless identity_answer is false.
class SimIdentityManifest : public SimIdentityDisk {
protected:
    void Load(const json& drive) {
        json manifest = {{"physical_drives", json::array({drive})}};
        scoped_ = testsupport::InstallCamera(dir_, manifest);
    }
};

TEST_F(SimIdentityManifest, AnswersByDefault) {
    Load({{"number", kDrive}, {"image", "system.img"}});
    const Bytes command = Command("84000", 4);
    WriteAt(kCommandSector * kSectorSize, command);
    EXPECT_EQ(ReadSector(image_, kAnswerSector), AnswerTo(command));
}

TEST_F(SimIdentityManifest, FalseTurnsTheAnswerOff) {
    Load({{"number", kDrive}, {"image", "system.img"}, {"identity_answer", false}});
    WriteAt(kCommandSector * kSectorSize, Command("84000", 4));
    ExpectUnanswered("identity_answer false");
}

TEST_F(SimIdentityManifest, TrueKeepsItOn) {
    Load({{"number", kDrive}, {"image", "system.img"}, {"identity_answer", true}});
    const Bytes command = Command("84111", 4);
    WriteAt(kCommandSector * kSectorSize, command);
    EXPECT_EQ(ReadSector(image_, kAnswerSector), AnswerTo(command));
}

TEST_F(SimIdentityManifest, AWrongTypeIsRefusedByName) {
    for (const json& wrong : {json("yes"), json(1), json(nullptr)}) {
        const json drive = {{"number", kDrive}, {"image", "system.img"}, {"identity_answer", wrong}};
        const json manifest = {{"physical_drives", json::array({drive})}};
        std::string error;
        EXPECT_EQ(SimulatedPlatform::LoadManifest(testsupport::WriteManifest(dir_, manifest), &error), nullptr)
            << wrong.dump();
        EXPECT_NE(error.find("physical_drives[0].identity_answer: must be true or false"), std::string::npos)
            << error;
    }
}

}  // namespace
