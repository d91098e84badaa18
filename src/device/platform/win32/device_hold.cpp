#include "device/platform/win32/device_hold.h"

#include "device/platform/win32/windows_api.h"

#include <optional>

#include "device/platform/win32/unique_handle.h"
#include "device/platform/win32/utf16.h"

namespace platform::win32 {
namespace {

// Every session's runs see a hold in the global namespace; a user without
// the right to create objects there still keeps the runs of their own
// session apart.
const wchar_t kGlobalNamespace[] = L"Global\\";
const wchar_t kLocalNamespace[] = L"Local\\";
const char kHoldPrefix[] = "Quillon-hold-";
// Object names end at MAX_PATH; an interface path is far shorter, and what
// is cut off is the generic tail, not the serial.
constexpr std::size_t kMostKeyCharacters = 200;

class MutexHold : public DeviceHold {
public:
    explicit MutexHold(UniqueHandle mutex) : mutex_(std::move(mutex)) {}

private:
    UniqueHandle mutex_;
};

// A backslash would name a namespace; the rest may stand.
std::string ObjectNameOf(const std::string& key) {
    std::string name = kHoldPrefix + key.substr(0, kMostKeyCharacters);
    for (char& c : name)
        if (c == '\\') c = '_';
    return name;
}

enum class Outcome { Held, Busy, NotCreated };

Outcome TryHold(const std::wstring& name, UniqueHandle* held) {
    ::SetLastError(ERROR_SUCCESS);
    UniqueHandle mutex(::CreateMutexW(nullptr, FALSE, name.c_str()));
    const DWORD error = ::GetLastError();
    if (mutex.Valid()) {
        if (error == ERROR_ALREADY_EXISTS) return Outcome::Busy;
        *held = std::move(mutex);
        return Outcome::Held;
    }
    // Someone else's hold that this user may not open is still a hold.
    if (error == ERROR_ACCESS_DENIED) {
        UniqueHandle existing(::OpenMutexW(SYNCHRONIZE, FALSE, name.c_str()));
        if (existing.Valid() || ::GetLastError() == ERROR_ACCESS_DENIED) return Outcome::Busy;
    }
    return Outcome::NotCreated;
}

}  // namespace

DeviceHoldResult HoldNamed(const std::string& key) {
    const std::optional<std::wstring> name = ToUtf16(ObjectNameOf(key));
    if (!name) return {};
    for (const wchar_t* space : {kGlobalNamespace, kLocalNamespace}) {
        UniqueHandle mutex;
        switch (TryHold(space + *name, &mutex)) {
            case Outcome::Held: return {std::make_unique<MutexHold>(std::move(mutex)), false};
            case Outcome::Busy: return {nullptr, true};
            case Outcome::NotCreated: break;
        }
    }
    return {};
}

}  // namespace platform::win32
