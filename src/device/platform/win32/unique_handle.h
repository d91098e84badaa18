// Owners of what the system hands out, so that every path through a call,
// early returns included, gives it back.
#pragma once

#include "device/platform/win32/windows_api.h"

#include <setupapi.h>

namespace platform::win32 {

// A kernel handle. Both null and INVALID_HANDLE_VALUE mean "none": the
// calls that fail disagree on which they return.
class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
    ~UniqueHandle() { Close(); }
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) {
            Close();
            handle_ = other.Release();
        }
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    bool Valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return handle_; }
    HANDLE Release() {
        HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
    }

private:
    void Close() {
        if (Valid()) ::CloseHandle(handle_);
        handle_ = nullptr;
    }
    HANDLE handle_ = nullptr;
};

// A device information set of the setup API.
class UniqueDeviceInfoSet {
public:
    explicit UniqueDeviceInfoSet(HDEVINFO set) : set_(set) {}
    ~UniqueDeviceInfoSet() {
        if (Valid()) ::SetupDiDestroyDeviceInfoList(set_);
    }
    UniqueDeviceInfoSet(const UniqueDeviceInfoSet&) = delete;
    UniqueDeviceInfoSet& operator=(const UniqueDeviceInfoSet&) = delete;

    bool Valid() const { return set_ != INVALID_HANDLE_VALUE && set_ != nullptr; }
    HDEVINFO Get() const { return set_; }

private:
    HDEVINFO set_;
};

// A security identifier from AllocateAndInitializeSid.
class UniqueSid {
public:
    UniqueSid() = default;
    ~UniqueSid() {
        if (sid_) ::FreeSid(sid_);
    }
    UniqueSid(const UniqueSid&) = delete;
    UniqueSid& operator=(const UniqueSid&) = delete;

    PSID* Out() { return &sid_; }
    PSID Get() const { return sid_; }

private:
    PSID sid_ = nullptr;
};

}  // namespace platform::win32
