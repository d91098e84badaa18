#include "device/platform/sim/sim_identity.h"

#include <algorithm>
#include <cstring>

#include "device/camera_layout.h"

namespace platform {
namespace {

using camera::kIdentityCommandTextBytes;
using camera::kIdentityRandomBytes;

constexpr std::uint64_t kCommandBytePosition = std::uint64_t{camera::kIdentityCommandSector} * kSectorSize;
constexpr std::uint64_t kAnswerBytePosition = std::uint64_t{camera::kIdentityAnswerSector} * kSectorSize;
constexpr std::size_t kMagicBytes = sizeof kIdentityAnswerMagic - 1;
static_assert(sizeof kSimulatedSerial <= kAnswerSerialBytes, "the serial text and its zero fit its field");

bool BeginsWith(const std::uint8_t* sector, const char* text) {
    return std::memcmp(sector, text, kIdentityCommandTextBytes) == 0;
}

class IdentityAnsweringDevice : public Device {
public:
    explicit IdentityAnsweringDevice(std::unique_ptr<Device> image) : image_(std::move(image)) {}

    bool Seek(std::uint64_t byte_position) override {
        if (!image_->Seek(byte_position)) return false;
        position_ = byte_position;
        return true;
    }
    std::size_t Read(void* buffer, std::size_t length) override {
        const std::size_t moved = image_->Read(buffer, length);
        position_ += moved;
        return moved;
    }
    std::size_t Write(const void* buffer, std::size_t length) override {
        const std::uint64_t start = position_;
        const std::size_t moved = image_->Write(buffer, length);
        position_ += moved;
        AnswerIfCommanded(static_cast<const std::uint8_t*>(buffer), start, moved);
        return moved;
    }
    bool Flush() override { return image_->Flush(); }
    std::int64_t Size() override { return image_->Size(); }

private:
    // Only what reached the image counts, and only a whole command sector.
    void AnswerIfCommanded(const std::uint8_t* written, std::uint64_t start, std::size_t moved) {
        if (start > kCommandBytePosition || start + moved < kCommandBytePosition + kSectorSize) return;
        const std::uint8_t* command = written + (kCommandBytePosition - start);
        if (!IsIdentityCommand(command)) return;
        const IdentitySector answer = MakeIdentityAnswer(command);
        // The camera answers on its own: the writer's position stays where
        // its write left it.
        if (image_->Seek(kAnswerBytePosition)) image_->Write(answer.data(), answer.size());
        image_->Seek(position_);
    }

    std::unique_ptr<Device> image_;
    std::uint64_t position_ = 0;
};

}  // namespace

bool IsIdentityCommand(const std::uint8_t* sector) {
    return BeginsWith(sector, camera::kFirstIdentityCommand) ||
           BeginsWith(sector, camera::kSecondIdentityCommand);
}

IdentitySector MakeIdentityAnswer(const std::uint8_t* command_sector) {
    IdentitySector answer{};
    const std::uint8_t* text = command_sector;
    const std::uint8_t* random = command_sector + kIdentityCommandTextBytes;
    std::memcpy(answer.data() + kAnswerMagicOffset, kIdentityAnswerMagic, kMagicBytes);
    answer[kAnswerVersionOffset] = static_cast<std::uint8_t>(kIdentityAnswerVersion & 0xFF);
    answer[kAnswerVersionOffset + 1] = static_cast<std::uint8_t>(kIdentityAnswerVersion >> 8);
    std::copy(text, text + kIdentityCommandTextBytes, answer.begin() + kAnswerCommandOffset);
    std::copy(random, random + kIdentityRandomBytes, answer.begin() + kAnswerRandomOffset);
    for (std::size_t i = 0; i < kIdentityRandomBytes; ++i)
        answer[kAnswerDerivedOffset + i] =
            static_cast<std::uint8_t>(random[kIdentityRandomBytes - 1 - i] ^ text[i % kIdentityCommandTextBytes]);
    std::memcpy(answer.data() + kAnswerSerialOffset, kSimulatedSerial, sizeof kSimulatedSerial - 1);
    return answer;
}

std::unique_ptr<Device> MakeIdentityAnsweringDevice(std::unique_ptr<Device> image) {
    return std::make_unique<IdentityAnsweringDevice>(std::move(image));
}

}  // namespace platform
