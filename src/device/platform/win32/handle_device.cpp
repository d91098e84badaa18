#include "device/platform/win32/handle_device.h"

#include "device/platform/win32/windows_api.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "device/platform/win32/device_calls.h"

namespace platform::win32 {
namespace {

// One call moves at most this much: a whole number of any sector size, and
// well inside the DWORD a call takes.
constexpr std::size_t kMostBytesPerCall = 16u << 20;
// Reads past the cache must start, end and land on whole sectors; this is
// a multiple of every sector size in use.
constexpr std::uint64_t kUncachedAlignment = 4096;
constexpr std::uint64_t kHighestPosition = static_cast<std::uint64_t>(std::numeric_limits<LONGLONG>::max());

DWORD CallLength(std::size_t remaining) { return static_cast<DWORD>(std::min(remaining, kMostBytesPerCall)); }

// A buffer whose start lies on an alignment boundary, as unbuffered reads
// need.
class AlignedBuffer {
public:
    explicit AlignedBuffer(std::size_t bytes) : storage_(bytes + kUncachedAlignment) {}
    unsigned char* Data() {
        const auto address = reinterpret_cast<std::uintptr_t>(storage_.data());
        const std::uintptr_t skip = (kUncachedAlignment - address % kUncachedAlignment) % kUncachedAlignment;
        return storage_.data() + skip;
    }

private:
    std::vector<unsigned char> storage_;
};

class HandleDevice : public Device {
public:
    HandleDevice(std::shared_ptr<UniqueHandle> handle, HandleDeviceTraits traits)
        : handle_(std::move(handle)), traits_(std::move(traits)) {}

    ~HandleDevice() override {
        if (written_) ::FlushFileBuffers(handle_->Get());
    }

    bool Seek(std::uint64_t byte_position) override {
        if (byte_position > kHighestPosition) return false;
        position_ = byte_position;
        return true;
    }

    std::size_t Read(void* buffer, std::size_t length) override {
        if (!traits_.moves_data) return 0;
        const std::size_t done =
            traits_.uncached ? ReadAligned(static_cast<unsigned char*>(buffer), length) : ReadAt(buffer, length);
        position_ += done;
        return done;
    }

    std::size_t Write(const void* buffer, std::size_t length) override {
        if (!traits_.moves_data || !traits_.writable || PastWriteEnd(length)) return 0;
        if (traits_.may_write && !traits_.may_write()) return 0;
        if (!MoveTo(position_)) return 0;
        written_ = true;
        std::size_t done = 0;
        while (done < length) {
            DWORD moved = 0;
            const DWORD asked = CallLength(length - done);
            if (!::WriteFile(handle_->Get(), static_cast<const char*>(buffer) + done, asked, &moved, nullptr)) break;
            if (moved == 0 || moved > asked) break;
            done += moved;
        }
        position_ += done;
        return done;
    }

    bool Flush() override {
        if (!traits_.writable) return true;
        return ::FlushFileBuffers(handle_->Get()) != FALSE;
    }

    std::int64_t Size() override {
        const std::optional<std::uint64_t> length = LengthOf(handle_->Get());
        if (!length || *length > kHighestPosition) return -1;
        return static_cast<std::int64_t>(*length);
    }

private:
    bool PastWriteEnd(std::size_t length) const {
        if (!traits_.write_end) return false;
        return length > *traits_.write_end || position_ > *traits_.write_end - length;
    }

    bool MoveTo(std::uint64_t position) {
        LARGE_INTEGER target{};
        target.QuadPart = static_cast<LONGLONG>(position);
        return ::SetFilePointerEx(handle_->Get(), target, nullptr, FILE_BEGIN) != FALSE;
    }

    // Reads from `position` until `length` bytes came or the file ended.
    std::size_t ReadFrom(std::uint64_t position, unsigned char* buffer, std::size_t length) {
        if (!MoveTo(position)) return 0;
        std::size_t done = 0;
        while (done < length) {
            DWORD moved = 0;
            const DWORD asked = CallLength(length - done);
            if (!::ReadFile(handle_->Get(), buffer + done, asked, &moved, nullptr)) break;
            // A count larger than asked for would run past the buffer.
            if (moved == 0 || moved > asked) break;
            done += moved;
        }
        return done;
    }

    std::size_t ReadAt(void* buffer, std::size_t length) {
        return ReadFrom(position_, static_cast<unsigned char*>(buffer), length);
    }

    // Whole aligned blocks into a buffer of our own, of which the asked-for
    // part is handed on: the caller's buffer and position need not be
    // aligned. The buffer holds one call's worth at most.
    std::size_t ReadAligned(unsigned char* buffer, std::size_t length) {
        if (length == 0 || position_ > kHighestPosition - kUncachedAlignment ||
            length > kHighestPosition - kUncachedAlignment - position_)
            return 0;
        AlignedBuffer blocks(std::min<std::size_t>(BlocksSpan(position_, length), kMostBytesPerCall));
        std::size_t done = 0;
        while (done < length) {
            const std::uint64_t position = position_ + done;
            const std::uint64_t first = position / kUncachedAlignment * kUncachedAlignment;
            const std::size_t skip = static_cast<std::size_t>(position - first);
            const std::size_t span = std::min<std::size_t>(BlocksSpan(position, length - done), kMostBytesPerCall);
            const std::size_t got = ReadFrom(first, blocks.Data(), span);
            if (got <= skip) break;
            const std::size_t usable = std::min(got - skip, length - done);
            std::memcpy(buffer + done, blocks.Data() + skip, usable);
            done += usable;
            if (got < span) break;
        }
        return done;
    }

    // The aligned bytes that cover `length` bytes from `position`.
    static std::size_t BlocksSpan(std::uint64_t position, std::size_t length) {
        const std::uint64_t skip = position % kUncachedAlignment;
        return static_cast<std::size_t>((skip + length + kUncachedAlignment - 1) / kUncachedAlignment *
                                        kUncachedAlignment);
    }

    std::shared_ptr<UniqueHandle> handle_;
    HandleDeviceTraits traits_;
    std::uint64_t position_ = 0;
    bool written_ = false;
};

}  // namespace

std::unique_ptr<Device> MakeHandleDevice(std::shared_ptr<UniqueHandle> handle, HandleDeviceTraits traits) {
    return std::make_unique<HandleDevice>(std::move(handle), std::move(traits));
}

}  // namespace platform::win32
