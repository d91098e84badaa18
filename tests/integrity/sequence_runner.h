// Runs operations against a fresh image through quillon-cli, keeps the
// model in step, judges every outcome, checks the whole volume with
// fsck.fat, mtools and quillon-cli's own listing, and writes everything it
// ran as a shell script that repeats it by hand.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "image_geometry.h"
#include "volume_model.h"

namespace integrity {

struct VolumeKind {
    std::string id;
    int fat_bits;
    int sectors_per_cluster;
    std::uint64_t mib;
    bool nearly_full;
};
const std::vector<VolumeKind>& VolumeKinds();
const VolumeKind* FindVolumeKind(const std::string& id);

struct Finding {
    // What failed, without details: a shrunk sequence must fail the same way.
    std::string signature;
    std::string message;
};

struct Tools {
    std::string cli;   // quillon-cli
    std::string self;  // this program, for --make-file and friends
};

struct Stats {
    std::uint64_t sequences = 0;
    std::uint64_t operations = 0;
    std::uint64_t expected_failures = 0;
    std::uint64_t open_outcomes = 0;  // may succeed or fail; either was accepted
    std::uint64_t failed_replace_removed = 0;
    std::uint64_t failed_replace_kept = 0;
    std::uint64_t case_rename_refused = 0;
    std::uint64_t case_rename_done = 0;
    std::uint64_t checks = 0;
    std::uint64_t mtools_reads = 0;
    std::uint64_t mtools_skipped = 0;  // names mtools cannot tell apart
    std::uint64_t gets = 0;
};

class SequenceRun {
public:
    SequenceRun(const Tools& tools, const VolumeKind& kind, const std::string& work_dir, const std::string& title,
                Stats* stats, bool verbose);

    // Makes the image with mkfs.fat.
    std::optional<Finding> Format();
    std::optional<Finding> Execute(const Op& op);
    // fsck.fat, mtools listing and contents, quillon-cli ls of every folder.
    // Files read back through mtools: all of them up to `sample`, else a
    // random choice of that many; files past kLargeFile only if large_too
    // (the check that ends a sequence), as the filler of a full volume
    // would otherwise dominate the run time.
    static constexpr std::uint64_t kLargeFile = 8u << 20;
    std::optional<Finding> Check(std::mt19937_64& rng, std::size_t sample, bool large_too);

    const Model& CurrentModel() const { return model_; }
    std::uint32_t FreeClusters();
    const std::vector<Op>& Executed() const { return executed_; }
    std::string Script() const;
    std::string Image() const { return image_; }

private:
    struct Command {
        std::string actual;
        std::string script;
    };
    Command Cli(const std::string& actual_args, const std::string& script_args) const;
    void Line(const std::string& text) { script_.push_back(text); }
    std::string Stage(std::size_t index, const Op& op, std::string* script_path);
    std::optional<std::string> MtoolsPath(const std::string& path) const;
    std::optional<Node> ActualEntry(const std::string& folder, const std::string& name, std::string* error);
    bool ListActual(const std::string& path, Node* folder, std::string* error);
    std::string CheckFsck();
    std::string CheckMtoolsListing();
    std::string CheckMtoolsContents(std::mt19937_64& rng, std::size_t sample, bool large_too);
    std::string CheckOwnListing();
    std::string WhoseBytes(const std::string& bytes) const;

    Tools tools_;
    VolumeKind kind_;
    std::string work_;
    std::string image_;
    std::string local_;
    Stats* stats_;
    bool verbose_;
    Model model_;
    std::vector<Op> executed_;
    std::vector<std::string> script_;
    std::string fsck_complaint_;
};

}  // namespace integrity
