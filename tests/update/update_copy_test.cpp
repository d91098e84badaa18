#include <gtest/gtest.h>

#include <limits>

#include "update/update_copy.h"

namespace {

struct WayCase {
    const char* name;
    std::uint64_t free_bytes;
    std::uint64_t update_size;
    std::uint64_t earlier_size;
    CopyWay way;
};

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

const WayCase kWayCases[] = {
    {"room_for_both", 300, 200, 100, CopyWay::BesideEarlierFile},
    {"room_and_no_earlier_file", 201, 200, 0, CopyWay::BesideEarlierFile},
    {"free_equals_size_without_earlier_file", 200, 200, 0, CopyWay::NoRoom},
    {"room_only_without_the_earlier_file", 150, 200, 100, CopyWay::RemoveEarlierFirst},
    {"earlier_file_frees_exactly_the_size", 100, 200, 100, CopyWay::NoRoom},
    {"earlier_file_frees_one_byte_more", 100, 200, 101, CopyWay::RemoveEarlierFirst},
    {"no_free_space_at_all", 0, 200, 0, CopyWay::NoRoom},
    {"sums_that_would_wrap_around", kMax - 2, kMax - 1, kMax, CopyWay::RemoveEarlierFirst},
    {"sums_that_saturate_at_the_size", kMax - 1, kMax, kMax, CopyWay::NoRoom},
};

class CopyWayTest : public ::testing::TestWithParam<WayCase> {};

TEST_P(CopyWayTest, ChoosesTheWayTheFreeSpaceAllows) {
    const WayCase& c = GetParam();
    EXPECT_EQ(ChooseCopyWay(c.free_bytes, c.update_size, c.earlier_size), c.way);
}

INSTANTIATE_TEST_SUITE_P(Cases, CopyWayTest, ::testing::ValuesIn(kWayCases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
