// Runs operations against a fresh image through quillon-cli, keeps the
// model in step, judges every outcome, checks the whole volume with
// fsck.fat, mtools and quillon-cli's own listing, and writes everything it
// ran as a shell script that repeats it by hand.
#pragma once

#include <cstdint>
#include <map>
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
    // Puts onto an existing file, by where the new content stood against
    // the free clusters, and how they ended.
    std::uint64_t replace_beside = 0;
    std::uint64_t replace_if_removed = 0;
    std::uint64_t replace_never = 0;
    std::uint64_t replace_succeeded = 0;
    std::uint64_t replace_refused = 0;
    std::uint64_t case_rename_refused = 0;
    std::uint64_t case_rename_done = 0;
    std::uint64_t checks = 0;
    std::uint64_t mtools_reads = 0;
    std::uint64_t mtools_skipped = 0;  // names mtools cannot tell apart
    std::uint64_t gets = 0;  // successful gets whose bytes were compared
    // Gets onto destinations that already exist.
    std::uint64_t get_onto_file = 0;
    std::uint64_t get_into_folder = 0;
    std::uint64_t get_into_folder_holding = 0;
    std::uint64_t get_failed_kept = 0;  // failed, the existing destination left as it was
    std::uint64_t get_onto_image = 0;   // refused, the image unchanged
};

// One row of quillon-cli ls --json.
struct EntryRow {
    std::string name;
    bool dir = false;
    std::uint64_t size = 0;
    std::uint64_t cluster = 0;
    std::uint64_t fat_date = 0;
    std::uint64_t fat_time = 0;
    bool operator==(const EntryRow&) const = default;
    std::string Text() const;
};

// A 64-bit digest of bytes, for comparing local files and images.
std::uint64_t HashBytes(const void* data, std::size_t size);

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

    // Replaces: the entry before the put, and the judgement after it.
    bool ReadEntryRow(const std::string& folder, const std::string& name, EntryRow* row, std::string* error);
    std::optional<std::pair<std::string, std::string>> JudgeReplace(const Op& op, const Prediction& prediction,
                                                                    bool ok, const std::string& err,
                                                                    const EntryRow& before, const Node& old);
    // Reads a volume file with quillon-cli get; empty when it matches.
    std::string ReadBackDiffers(const std::string& path, std::uint64_t content, std::uint64_t size);

    // Gets: the destination made ready, what the local side held before,
    // and the judgement after.
    struct GetWatch {
        std::string dest;
        std::string script_dest;
        std::map<std::string, std::string> held;  // the get's folder, by relative path
        std::map<std::string, std::string> work;  // the image's folder (gets onto the image)
        std::uint64_t image_hash = 0;
    };
    GetWatch PrepareGet(const Op& op);
    std::optional<std::pair<std::string, std::string>> JudgeGet(const Op& op, bool ok, const GetWatch& watch);
    // What a local folder holds, links not followed: each file by size,
    // permission bits and (with contents) a digest of its bytes, except
    // the file at apart, whose bytes are compared on their own.
    std::map<std::string, std::string> LocalState(const std::string& dir, bool contents,
                                                  const std::string& apart = "") const;

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
