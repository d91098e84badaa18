// The parsers behind the block-device snapshot: sysfs values, udev's and
// mountinfo's escapes, SCSI addresses and mount lookups. Text they do not
// fully understand must give nothing rather than a guess.
#include <gtest/gtest.h>

#include "device/platform/linux/block_devices.h"

namespace {

using namespace platform::blockdev;

TEST(BlockParsers, SectorCountInBytes) {
    const std::pair<const char*, std::optional<std::uint64_t>> cases[] = {
        {"2048", 1048576},
        {"387680\n", 198492160},
        {"0", 0},
        {"36028797018963967", 36028797018963967ull * 512},  // the largest that fits
        {"36028797018963968", std::nullopt},                // overflows 64 bits
        {"", std::nullopt},
        {"\n", std::nullopt},
        {"12ab", std::nullopt},
        {"-1", std::nullopt},
        {" 12", std::nullopt},
        {"12\n\n", std::nullopt},
    };
    for (const auto& [text, bytes] : cases) EXPECT_EQ(ParseSectorCount(text), bytes) << '"' << text << '"';
}

TEST(BlockParsers, Flag) {
    const std::pair<const char*, std::optional<bool>> cases[] = {
        {"1", true}, {"0\n", false}, {"", std::nullopt}, {"2", std::nullopt}, {"yes", std::nullopt}, {"01", std::nullopt},
    };
    for (const auto& [text, flag] : cases) EXPECT_EQ(ParseFlag(text), flag) << '"' << text << '"';
}

TEST(BlockParsers, Hex16) {
    const std::pair<const char*, std::optional<std::uint16_t>> cases[] = {
        {"e4d2", 0xe4d2}, {"E4D2", 0xe4d2}, {"00", 0},           {"f", 0xf},
        {"", std::nullopt}, {"12345", std::nullopt}, {"0x12", std::nullopt}, {"g1", std::nullopt},
        {"-1", std::nullopt}, {"e4d2\n", std::nullopt},
    };
    for (const auto& [text, value] : cases) EXPECT_EQ(ParseHex16(text), value) << '"' << text << '"';
}

TEST(BlockParsers, LunOfScsiAddress) {
    const std::pair<const char*, std::optional<unsigned>> cases[] = {
        {"2:0:0:1", 1},         {"10:0:3:17", 17},        {"2:0:0:0", 0},
        {"2:0:0", std::nullopt}, {"2:0:0:1:5", std::nullopt}, {"2:0:0:", std::nullopt},
        {"4:0:zero", std::nullopt}, {"a:b:c:d", std::nullopt}, {"", std::nullopt},
        {"2::0:1", std::nullopt},
    };
    for (const auto& [text, lun] : cases) EXPECT_EQ(ParseScsiLun(text), lun) << '"' << text << '"';
}

TEST(BlockParsers, UdevEncodedString) {
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"QX\\x20SYSTEM", "QX SYSTEM"},
        {"CAMERA", "CAMERA"},
        {"\\x5cx", "\\x"},
        {"\\xC3\\xA4", "\xC3\xA4"},
        {"", ""},
        {"BROKEN\\x2", std::nullopt},
        {"\\xZZ", std::nullopt},
        {"A\\q", std::nullopt},
        {"end\\", std::nullopt},
    };
    for (const auto& [text, decoded] : cases) EXPECT_EQ(DecodeUdevString(text), decoded) << '"' << text << '"';
}

TEST(BlockParsers, MountInfoString) {
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"/media/user/MY\\040STICK", "/media/user/MY STICK"},
        {"/a\\011b\\012c\\134d", "/a\tb\nc\\d"},
        {"/plain", "/plain"},
        {"/x\\08", std::nullopt},  // 8 is no octal digit
        {"/x\\04", std::nullopt},
        {"/x\\400", std::nullopt},  // more than a byte
    };
    for (const auto& [text, decoded] : cases) EXPECT_EQ(DecodeMountInfoString(text), decoded) << '"' << text << '"';
}

TEST(BlockParsers, MountInfoLinesAndMountPoints) {
    const std::vector<MountEntry> mounts = ParseMountInfo(
        "22 1 8:2 / / rw,relatime shared:1 - ext4 /dev/sda2 rw,errors=remount-ro\n"
        "39 22 8:17 /DCIM /srv/photos rw,relatime shared:9 master:2 - vfat /dev/sdb1 rw\n"
        "40 22 8:17 / /media/user/MY\\040STICK rw,nosuid - vfat /dev/sdb1 rw\n"
        "41 22 0:45 / /mnt/net rw - nfs server:/export rw\n"
        "42 22 0:46 /sub /mnt/image rw - vfat /dev/loop3 rw\n"
        "junk\n"
        "43 22 8:x / /bad rw - vfat /dev/sdz rw\n"
        "44 22 8:33 / /no-separator rw vfat /dev/sdc1 rw\n"
        "45 22 8:34 / /bad\\9escape rw - vfat /dev/sdc2 rw\n");
    ASSERT_EQ(mounts.size(), 5u);
    EXPECT_EQ(mounts[1].major, 8u);
    EXPECT_EQ(mounts[1].minor, 17u);
    EXPECT_EQ(mounts[1].root, "/DCIM");
    EXPECT_EQ(mounts[1].source, "/dev/sdb1");
    EXPECT_EQ(mounts[2].mount_point, "/media/user/MY STICK");

    struct Case {
        const char* what;
        std::uint32_t major;
        std::uint32_t minor;
        const char* devnode;
        std::optional<std::string> mount_point;
    };
    const Case cases[] = {
        {"root filesystem", 8, 2, "/dev/sda2", "/"},
        {"whole filesystem before a bound folder", 8, 17, "/dev/sdb1", "/media/user/MY STICK"},
        {"by number, whatever the path", 8, 17, "/dev/other", "/media/user/MY STICK"},
        {"unknown number: by path, bound folder only", 0, 0, "/dev/loop3", "/mnt/image"},
        {"not mounted", 8, 48, "/dev/sdd1", std::nullopt},
        {"unknown number and no path", 0, 0, "", std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(MountPointOf(mounts, c.major, c.minor, c.devnode), c.mount_point) << c.what;
}

}  // namespace
