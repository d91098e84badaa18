// The udisks2 client against the fake service of fake_udisks.py on a private
// bus; the devices and how each behaves are described there.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bus_harness.h"
#include "device/platform/linux/udisks_client.h"
#include "support/test_support.h"

namespace {

using platform::udisks::Client;
using platform::udisks::OpenMode;
using platform::udisks::Result;
using namespace udisks_test;

constexpr char kBusVariable[] = "DBUS_SYSTEM_BUS_ADDRESS";
constexpr char kCameraNode[] = "/dev/sdb1";
constexpr char kCameraObject[] = "/org/freedesktop/UDisks2/block_devices/camera";
constexpr char kNotAuthorized[] = "org.freedesktop.UDisks2.Error.NotAuthorized";
constexpr char kDeviceContent[] = "sector zero of the camera";
// Short enough for a test, long enough for a loaded machine.
constexpr std::chrono::milliseconds kShortTimeout{500};

std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Scratch folder, private bus and fake service, each started on request.
class UdisksHarness : public ::testing::Test {
protected:
    void SetUp() override {
        scratch_ = testsupport::ScratchDir();
        files_ = {scratch_ + "/device.img", scratch_ + "/calls.jsonl"};
        std::ofstream(files_.device_file, std::ios::binary) << kDeviceContent;
    }

    // Skips the test when the tools are missing.
    void StartBus() {
        const std::string missing = MissingTools();
        if (!missing.empty()) GTEST_SKIP() << "needs a private D-Bus and a fake udisks2: " << missing;
        std::string error;
        bus_ = StartPrivateBus(scratch_, &error);
        ASSERT_TRUE(bus_.daemon) << error;
        bus_variable_.emplace(kBusVariable, bus_.address);
    }

    void StartFake(const std::vector<std::string>& extra = {}) {
        std::string error;
        fake_ = StartFakeUdisks(bus_.address, scratch_, files_, extra, &error);
        ASSERT_TRUE(fake_) << error;
    }

    void ConnectClient() {
        auto connection = Client::Connect();
        ASSERT_TRUE(connection.client) << connection.message;
        client_ = std::move(connection.client);
    }

    // Bus, fake and client, for tests that need all three.
    void StartAll(const std::vector<std::string>& extra = {}) {
        StartBus();
        if (IsSkipped() || HasFatalFailure()) return;
        StartFake(extra);
        if (HasFatalFailure()) return;
        ConnectClient();
    }

    std::vector<std::string> Calls() const { return ReadLines(files_.calls); }

    std::string scratch_;
    FakeUdisksFiles files_;
    // Declared in the order they start, so they stop the other way round.
    PrivateBus bus_;
    std::optional<ScopedEnv> bus_variable_;
    std::unique_ptr<ChildProcess> fake_;
    std::unique_ptr<Client> client_;
};

class FakeUdisksTest : public UdisksHarness {
protected:
    void SetUp() override {
        UdisksHarness::SetUp();
        StartAll();
    }
};

// --- Reaching the service -------------------------------------------------

class NoBusTest : public UdisksHarness {};

TEST_F(NoBusTest, NoSocketAtTheAddressIsAClearError) {
    const std::string address = "unix:path=" + scratch_ + "/no-bus-here";
    ScopedEnv variable(kBusVariable, address);
    const auto connection = Client::Connect(kShortTimeout);
    EXPECT_FALSE(connection.client);
    EXPECT_NE(connection.message.find("cannot connect to the system bus at " + address), std::string::npos)
        << connection.message;
}

// A socket that takes the connection but never answers: the connection must
// give up within its time-out rather than sd-bus's far longer one.
TEST_F(NoBusTest, SilentBusIsAClearErrorWithinTheTimeout) {
    const std::string name = "quillon-silent-bus-" + std::to_string(getpid());
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data(), name.size());  // abstract: leading NUL
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0) << std::strerror(errno);
    ASSERT_EQ(listen(listener, 4), 0);

    ScopedEnv variable(kBusVariable, "unix:abstract=" + name);
    const auto connection = Client::Connect(kShortTimeout);
    close(listener);
    EXPECT_FALSE(connection.client);
    EXPECT_NE(connection.message.find("no answer within 500 ms"), std::string::npos) << connection.message;
}

class BusOnlyTest : public UdisksHarness {};

TEST_F(BusOnlyTest, NoUdisksOnTheBusIsAClearError) {
    StartBus();
    if (IsSkipped() || HasFatalFailure()) return;
    ConnectClient();
    ASSERT_TRUE(client_);
    const auto mount = client_->Mount(kCameraNode);
    EXPECT_FALSE(mount.ok);
    EXPECT_FALSE(mount.not_authorized);
    EXPECT_NE(mount.message.find("udisks2 is not available on the system bus"), std::string::npos) << mount.message;
}

// --- Finding the device ---------------------------------------------------

// With Manager.ResolveDevice, and by looking through all objects as with a
// udisks2 that lacks it.
class ResolveTest : public UdisksHarness, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        UdisksHarness::SetUp();
        StartAll(GetParam() ? std::vector<std::string>{} : std::vector<std::string>{"--without-resolve-device"});
    }
};

TEST_P(ResolveTest, FindsTheBlockObjectByNodeOrLink) {
    struct Case {
        const char* node;
        const char* object;  // "" when there is none
    };
    const Case cases[] = {
        {"/dev/sdb1", kCameraObject},
        {"/dev/disk/by-label/CAMERA", kCameraObject},
        {"/dev/sdc1", "/org/freedesktop/UDisks2/block_devices/flaky"},
        {"/dev/sdz9", ""},
        {"", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.node);
        const auto resolved = client_->Resolve(c.node);
        EXPECT_EQ(resolved.ok, *c.object != '\0') << resolved.message;
        EXPECT_EQ(resolved.object_path, c.object);
        if (!resolved.ok) {
            EXPECT_NE(resolved.message.find("udisks2 knows no block device by that name"), std::string::npos)
                << resolved.message;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Udisks, ResolveTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& param_info) {
                             return param_info.param ? "ResolveDevice" : "ManagedObjects";
                         });

TEST_F(FakeUdisksTest, AnUnknownDeviceFailsEveryOperationWithoutACall) {
    EXPECT_FALSE(client_->Mount("/dev/sdz9").ok);
    EXPECT_FALSE(client_->Unmount("/dev/sdz9").ok);
    EXPECT_FALSE(client_->Eject("/dev/sdz9").ok);
    EXPECT_FALSE(client_->OpenDevice("/dev/sdz9", OpenMode::Read).fd.Valid());
    EXPECT_TRUE(Calls().empty());
}

// --- Mount and unmount ----------------------------------------------------

TEST_F(FakeUdisksTest, MountReturnsTheMountPointAndPassesTheOptions) {
    const auto mount = client_->Mount(kCameraNode, {{"fstype", "vfat"}, {"options", "flush"}});
    ASSERT_TRUE(mount.ok) << mount.message;
    EXPECT_EQ(mount.mount_path, "/media/quillon/CAMERA");
    EXPECT_TRUE(mount.message.empty()) << mount.message;
    // polkit may ask the user unless told otherwise.
    EXPECT_EQ(Calls(), std::vector<std::string>{
                           R"({"device": "camera", "method": "Mount", "options": )"
                           R"({"auth.no_user_interaction": false, "fstype": "vfat", "options": "flush"}})"});
}

TEST_F(FakeUdisksTest, MountingAMountedFileSystemGivesItsMountPoint) {
    const auto mount = client_->Mount("/dev/sdc1");
    ASSERT_TRUE(mount.ok) << mount.message;
    EXPECT_EQ(mount.mount_path, "/media/quillon/FLAKY");
    EXPECT_NE(mount.message.find("was mounted already"), std::string::npos) << mount.message;
}

TEST_F(FakeUdisksTest, UnmountUnmountsAndAnUnmountedFileSystemIsNoFailure) {
    ASSERT_TRUE(client_->Mount(kCameraNode).ok);
    const auto unmount = client_->Unmount(kCameraNode, {{"force", true}});
    EXPECT_TRUE(unmount.ok) << unmount.message;
    EXPECT_TRUE(unmount.message.empty()) << unmount.message;

    const auto again = client_->Unmount(kCameraNode);
    EXPECT_TRUE(again.ok) << again.message;
    EXPECT_NE(again.message.find("was not mounted"), std::string::npos) << again.message;
    const auto calls = Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1], R"({"device": "camera", "method": "Unmount", "options": )"
                        R"({"auth.no_user_interaction": false, "force": true}})");
}

// --- Eject ----------------------------------------------------------------

TEST_F(FakeUdisksTest, EjectEjectsAndPowersOffTheDrive) {
    const auto eject = client_->Eject(kCameraNode);
    EXPECT_TRUE(eject.ok) << eject.message;
    EXPECT_TRUE(eject.ejected);
    EXPECT_TRUE(eject.powered_off);
    EXPECT_EQ(Calls(), (std::vector<std::string>{
                           R"({"device": "camera", "method": "Eject", "options": {"auth.no_user_interaction": false}})",
                           R"({"device": "camera", "method": "PowerOff", "options": {"auth.no_user_interaction": false}})",
                       }));
}

TEST_F(FakeUdisksTest, EjectOfADeviceWithoutADriveIsAClearError) {
    const auto eject = client_->Eject("/dev/sdg1");
    EXPECT_FALSE(eject.ok);
    EXPECT_FALSE(eject.ejected);
    EXPECT_NE(eject.message.find("belongs to no drive"), std::string::npos) << eject.message;
}

// --- Failures a caller retries --------------------------------------------

// The flaky device fails twice, then succeeds; every failure says why and
// names the error, and none is taken for a refusal.
TEST_F(FakeUdisksTest, FailuresAreReportedEachTimeUntilTheServiceSucceeds) {
    struct Case {
        const char* operation;
        std::function<Result()> attempt;
        const char* error_name;
        const char* text;
    };
    const Case cases[] = {
        {"unmount", [this] { return client_->Unmount("/dev/sdc1"); }, "org.freedesktop.UDisks2.Error.DeviceBusy",
         "target is busy"},
        {"eject", [this] { return Result(client_->Eject("/dev/sdc1")); }, "org.freedesktop.UDisks2.Error.Failed",
         "medium busy"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.operation);
        for (int attempt = 1; attempt <= 2; ++attempt) {
            const Result failed = c.attempt();
            EXPECT_FALSE(failed.ok);
            EXPECT_FALSE(failed.not_authorized);
            EXPECT_EQ(failed.error_name, c.error_name);
            EXPECT_NE(failed.message.find(c.text), std::string::npos) << failed.message;
            EXPECT_NE(failed.message.find("/dev/sdc1"), std::string::npos) << failed.message;
        }
        const Result third = c.attempt();
        EXPECT_TRUE(third.ok) << third.message;
    }
    // This drive cannot power off, so none was asked for.
    for (const std::string& call : Calls()) EXPECT_EQ(call.find("PowerOff"), std::string::npos) << call;
}

TEST_F(FakeUdisksTest, APowerOffIsOnlyTriedWhereTheDriveCan) {
    for (int attempt = 0; attempt < 2; ++attempt) client_->Eject("/dev/sdc1");
    const auto eject = client_->Eject("/dev/sdc1");
    EXPECT_TRUE(eject.ok) << eject.message;
    EXPECT_TRUE(eject.ejected);
    EXPECT_FALSE(eject.powered_off);
}

// --- Authorisation --------------------------------------------------------

TEST_F(FakeUdisksTest, ARefusedAuthorisationIsToldApart) {
    struct Case {
        const char* name;
        bool user_interaction;
        std::function<Result()> attempt;
        const char* error_name;
    };
    const Case cases[] = {
        {"mount", true, [this] { return Result(client_->Mount("/dev/sde1")); }, kNotAuthorized},
        {"unmount", true, [this] { return client_->Unmount("/dev/sde1"); }, kNotAuthorized},
        {"eject", true, [this] { return Result(client_->Eject("/dev/sde1")); }, kNotAuthorized},
        {"open", true, [this] { return Result(client_->OpenDevice("/dev/sde1", OpenMode::ReadWrite)); },
         "org.freedesktop.DBus.Error.AccessDenied"},
        // Where polkit would ask but may not, it refuses.
        {"mount without asking", false, [this] { return Result(client_->Mount("/dev/sdd1")); },
         "org.freedesktop.UDisks2.Error.NotAuthorizedCanObtain"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        client_->SetUserInteraction(c.user_interaction);
        const Result refused = c.attempt();
        EXPECT_FALSE(refused.ok);
        EXPECT_TRUE(refused.not_authorized);
        EXPECT_EQ(refused.error_name, c.error_name);
        EXPECT_NE(refused.message.find("not authorized"), std::string::npos) << refused.message;
    }
}

TEST_F(FakeUdisksTest, TheUserMayBeAskedUnlessTheCallerSaysOtherwise) {
    // The caller's own choice in the options wins over the client's.
    client_->SetUserInteraction(false);
    const auto mount = client_->Mount("/dev/sdd1", {{"auth.no_user_interaction", false}});
    EXPECT_TRUE(mount.ok) << mount.message;

    client_->SetUserInteraction(true);
    const auto unmount = client_->Unmount("/dev/sdd1");
    EXPECT_TRUE(unmount.ok) << unmount.message;
}

// --- Opening the device ---------------------------------------------------

TEST_F(FakeUdisksTest, OpenDeviceGivesADescriptorThatOutlivesTheReply) {
    struct Case {
        OpenMode mode;
        const char* name;
        bool writable;
    };
    const Case cases[] = {{OpenMode::Read, "r", false}, {OpenMode::ReadWrite, "rw", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto opened = client_->OpenDevice(kCameraNode, c.mode);
        ASSERT_TRUE(opened.ok) << opened.message;
        ASSERT_TRUE(opened.fd.Valid());
        EXPECT_NE(fcntl(opened.fd.Get(), F_GETFD) & FD_CLOEXEC, 0);

        char buffer[sizeof kDeviceContent] = {};
        ASSERT_EQ(pread(opened.fd.Get(), buffer, sizeof buffer, 0), static_cast<ssize_t>(sizeof kDeviceContent - 1));
        EXPECT_STREQ(buffer, kDeviceContent);

        const char update[] = "SECTOR";
        const ssize_t wrote = pwrite(opened.fd.Get(), update, sizeof update - 1, 0);
        EXPECT_EQ(wrote >= 0, c.writable);
        if (c.writable) {
            std::ifstream in(files_.device_file, std::ios::binary);
            std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            EXPECT_EQ(content, "SECTOR zero of the camera");
        }
    }
    const auto calls = Calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_NE(calls[0].find(R"("method": "OpenDevice:r")"), std::string::npos) << calls[0];
    EXPECT_NE(calls[1].find(R"("method": "OpenDevice:rw")"), std::string::npos) << calls[1];
}

// --- Time-outs ------------------------------------------------------------

TEST_F(FakeUdisksTest, AServiceThatDoesNotAnswerInTimeIsAFailure) {
    client_->SetTimeout(kShortTimeout);
    const auto mount = client_->Mount("/dev/sdf1");
    EXPECT_FALSE(mount.ok);
    EXPECT_FALSE(mount.not_authorized);
    EXPECT_TRUE(mount.mount_path.empty());
    EXPECT_NE(mount.message.find("mount /dev/sdf1: no answer within 500 ms"), std::string::npos) << mount.message;
}

}  // namespace
