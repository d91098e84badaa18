// Random operations and random names for them, drawn with the model's
// current tree in view so that most operations touch what exists: names
// that differ only in ASCII case, names that share an 8.3 form, long and
// Unicode names, files of awkward sizes.
#pragma once

#include <cstdint>
#include <random>
#include <set>
#include <string>

#include "volume_model.h"

namespace integrity {

// Name kinds of the random mix. "dotnames" (leading dot) and "spacedot"
// (a space before the extension's dot) are left out unless asked for.
const std::set<std::string>& AllNameKinds();
std::set<std::string> DefaultNameKinds();
// Operation kinds that can be switched off; all are on by default.
const std::set<std::string>& AllOpSwitches();

struct MixSettings {
    bool nearly_full = false;
    std::set<std::string> names = DefaultNameKinds();
    std::set<std::string> ops = AllOpSwitches();
    std::uint64_t max_file_bytes = 4u << 20;
};

// What another program sees for a name: mtools lists each UTF-16 unit of a
// character beyond the BMP as "_". Names compare as mtools compares them.
std::string MtoolsShownName(const std::string& name);
std::u32string MtoolsFolded(const std::string& name);
std::u32string CodePoints(const std::string& utf8);
std::string Utf8Of(char32_t code_point);

// Local file names are limited to 255 bytes; volume names to 255 units.
bool IsGoodName(const std::string& name, bool local, bool allow_leading_dot);

class OpGenerator {
public:
    OpGenerator(std::uint64_t seed, const MixSettings& settings);
    Op Next(const Model& model, std::uint32_t free_clusters);

private:
    enum class Use { kLocal, kVolume };

    bool Chance(double p);
    std::uint64_t Between(std::uint64_t low, std::uint64_t high);
    template <typename T>
    const T& Pick(const std::vector<T>& from) {
        return from[Between(0, from.size() - 1)];
    }

    std::string NewName(const Node& folder, Use use);
    std::string NameOfKind(const std::string& kind, const Node& folder, Use use);
    std::string Words(Use use);
    std::string Exact83();
    std::string Unicode(Use use);
    std::string Collide83(const Node& folder);
    std::string Lossy();
    std::string Longest(Use use);
    std::string Extension();
    std::string CaseVariant(const std::string& name);
    std::string Spelling(const std::string& path);
    bool Fits(const Node& folder, const std::string& name) const;

    std::uint64_t FileSize(const Model& model, std::uint32_t free_clusters, bool small);
    std::uint64_t NextContent() { return ++content_; }

    Op PutNew(const Model& model, std::uint32_t free_clusters);
    Op PutReplace(const Model& model, std::uint32_t free_clusters);
    // A size for a put onto a file of old_size bytes on a nearly full
    // volume, of the room kind asked for.
    std::uint64_t ReplaceSize(const Model& model, std::uint32_t free_clusters, std::uint64_t old_size, ReplaceRoom room);
    // A get of path (an entry or, when missing, a name nothing has) with a
    // destination of a random kind.
    Op Get(const Model& model, const std::string& path, bool missing);
    Op PutTree(const Model& model, std::uint32_t free_clusters);
    Op Filler(const Model& model, std::uint32_t free_clusters);

    std::vector<std::string> FoldersFor(const Model& model, std::size_t max_depth, bool creating) const;

    std::mt19937_64 rng_;
    MixSettings settings_;
    std::uint64_t content_;
    std::uint32_t series_ = 0;
    bool filled_ = false;
};

}  // namespace integrity
