#include "fat/case_fold.h"

#include <algorithm>
#include <iterator>

namespace {

// A run of code points that fold by adding the same amount, every one or
// every other (where lower and upper case alternate).
struct FoldRun {
    std::uint16_t first;
    std::uint16_t last;
    std::int32_t delta;
    std::uint16_t stride;
};

constexpr FoldRun kFoldRuns[] = {
#include "fat/case_fold_table.inc"
};

}  // namespace

std::uint16_t FatFoldUnit(std::uint16_t unit) {
    if (unit < 0x80) return (unit >= 'a' && unit <= 'z') ? static_cast<std::uint16_t>(unit - 'a' + 'A') : unit;
    const auto* run = std::upper_bound(std::begin(kFoldRuns), std::end(kFoldRuns), unit,
                                       [](std::uint16_t u, const FoldRun& r) { return u < r.first; });
    if (run == std::begin(kFoldRuns)) return unit;
    --run;
    if (unit > run->last || (unit - run->first) % run->stride != 0) return unit;
    return static_cast<std::uint16_t>(unit + run->delta);
}

std::uint32_t FatFoldCodePoint(std::uint32_t code_point) {
    return code_point > 0xFFFF ? code_point : FatFoldUnit(static_cast<std::uint16_t>(code_point));
}
