// integrity_random_ops: random sequences of quillon-cli operations (put of
// files and folders, get, mkdir, rm, rm -r, rename) on fresh FAT16/FAT32
// images made by mkfs.fat, against an in-memory model of the tree. After
// each sequence (and every --check-every operations) the volume must pass
// fsck.fat -n -S, mtools must list exactly the model's names and read back
// the model's bytes, and quillon-cli ls --json must agree on every folder.
// Every operation's outcome is judged too: the model says whether it must
// succeed, must fail (a taken name, a full volume) or may do either. A put
// onto an existing file must give the new bytes or, refused for want of
// room, leave the old entry and bytes exactly as they were. Gets land on
// new paths, existing files, existing folders and the image itself, and
// the local side must then hold the copy and nothing else. Now
// and then mattrib marks an entry hidden: quillon-cli must then neither
// list nor reach it, and its name must stay taken.
//
//   integrity_random_ops --volume fat32-c1 --seed 7      CI mode, what ctest runs:
//                        8 sequences of up to 100 operations, checked every 20
//   integrity_random_ops --long [--volume KIND]          every volume kind (or KIND),
//                        30 sequences of up to 220 operations, checked every 40
//   integrity_random_ops --volume KIND --seed N --sequence K   one sequence again
// Options: --sequences N, --ops N (at most N per sequence), --check-every N,
// --no-shrink, --shrink-seconds S, --with/--without KIND,... (name kinds:
// words exact83 unicode collide83 lossy longest, and dotnames spacedot, which
// are off unless asked for; switches: hide case-rename put-folder rename rm),
// --work DIR (default $QUILLON_TEST_TMP/integrity), --keep, --verbose,
// --cli PATH (another quillon-cli build, e.g. a sanitized one).
// Volume kinds: fat16-c1 fat16-c8 fat16-c64 fat32-c1 fat32-c8 fat32-c64
// fat16-full fat32-full (cN: N sectors per cluster; -full: filled first).
//   integrity_random_ops --refused-names                names FAT cannot hold are refused
// A failure prints the seed, the check that failed, the operations as shell
// commands (also saved as repro.sh) and, unless --no-shrink, a shorter
// sequence that fails the same way (repro-min.sh).
#include <algorithm>
#include <chrono>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>

#include "content.h"
#include "op_generator.h"
#include "sequence_runner.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using namespace integrity;

namespace {

struct Config {
    std::vector<const VolumeKind*> volumes;
    std::uint64_t seed = 1;
    int sequences = 8;
    int ops = 100;
    int only_sequence = -1;
    int check_every = 20;
    bool shrink = true;
    double shrink_seconds = 25;
    bool keep = false;
    bool verbose = false;
    std::string work;
    MixSettings mix;
    std::string mix_arguments;  // --with/--without as given, for replay lines
    std::string length_arguments;
};

using Clock = std::chrono::steady_clock;

std::string g_cli = QUILLON_CLI_PATH;

Tools TheTools() { return Tools{g_cli, fs::read_symlink("/proc/self/exe").string()}; }

std::uint64_t SequenceSeed(const std::string& kind, std::uint64_t seed, int sequence) {
    std::uint64_t h = 1469598103934665603ull;
    for (char c : kind) h = (h ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    return Mix64(h ^ Mix64(seed * 1000003ull + static_cast<std::uint64_t>(sequence)));
}

void Save(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
}

// Replays operations on a fresh image and checks at the end.
std::optional<Finding> Replay(const Config& config, const VolumeKind& kind, const std::vector<Op>& ops,
                              const std::string& dir, std::string* script) {
    Stats scratch;
    SequenceRun run(TheTools(), kind, dir, "shrunk sequence, volume " + kind.id, &scratch, false);
    std::optional<Finding> found = run.Format();
    for (std::size_t i = 0; !found && i < ops.size(); ++i) found = run.Execute(ops[i]);
    std::mt19937_64 rng(config.seed);
    if (!found) found = run.Check(rng, 1u << 30, true);
    if (script) *script = run.Script();
    return found;
}

// Drops operations, a chunk at a time, while the same failure remains.
std::vector<Op> Shrink(const Config& config, const VolumeKind& kind, std::vector<Op> ops, const std::string& signature,
                       const std::string& dir, int* replays) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(config.shrink_seconds);
    auto fails_alike = [&](const std::vector<Op>& candidate) {
        ++*replays;
        const std::optional<Finding> found = Replay(config, kind, candidate, dir, nullptr);
        return found && found->signature == signature;
    };
    for (std::size_t chunk = std::max<std::size_t>(ops.size() / 2, 1); Clock::now() < deadline;) {
        bool removed = false;
        for (std::size_t at = 0; at < ops.size() && Clock::now() < deadline;) {
            std::vector<Op> candidate = ops;
            candidate.erase(candidate.begin() + static_cast<long>(at),
                            candidate.begin() + static_cast<long>(std::min(ops.size(), at + chunk)));
            if (!candidate.empty() && fails_alike(candidate)) {
                ops = candidate;
                removed = true;
            } else {
                at += chunk;
            }
        }
        if (chunk == 1 && !removed) break;
        if (chunk > 1) chunk /= 2;
    }
    // Folder puts: drop local entries (with what lies below them) one by one.
    for (std::size_t i = 0; i < ops.size() && Clock::now() < deadline; ++i) {
        if (ops[i].kind != OpKind::kPutTree) continue;
        for (std::size_t item = 0; item < ops[i].tree.size() && Clock::now() < deadline;) {
            std::vector<Op> candidate = ops;
            std::vector<TreeItem>& tree = candidate[i].tree;
            const std::string gone = tree[item].rel;
            tree.erase(std::remove_if(tree.begin(), tree.end(),
                                      [&](const TreeItem& t) { return t.rel == gone || t.rel.rfind(gone + "/", 0) == 0; }),
                       tree.end());
            if (fails_alike(candidate)) {
                ops = candidate;
            } else {
                ++item;
            }
        }
    }
    // Smaller files make shorter scripts and quicker replays.
    for (Op& op : ops) {
        if (Clock::now() >= deadline) break;
        if (op.kind != OpKind::kPutFile || op.size <= 4096) continue;
        std::vector<Op> candidate = ops;
        Op& smaller = candidate[static_cast<std::size_t>(&op - ops.data())];
        smaller.size = 1000;
        if (fails_alike(candidate)) op.size = 1000;
    }
    return ops;
}

void Report(const Config& config, const VolumeKind& kind, int sequence, SequenceRun& run, const Finding& finding,
            const std::string& dir, std::set<std::string>* shrunk) {
    std::ostringstream out;
    out << "\n==== FAILED: volume " << kind.id << ", seed " << config.seed << ", sequence " << sequence << ", after "
        << run.Executed().size() << " operations: " << finding.signature << "\n"
        << finding.message << "\n"
        << "Run this sequence again: integrity_random_ops --volume " << kind.id << " --seed " << config.seed
        << " --sequence " << sequence << config.length_arguments << config.mix_arguments << "\n"
        << "Commands so far (saved as " << dir << "/repro.sh):\n"
        << run.Script();
    Save(dir + "/repro.sh", run.Script());
    std::cout << out.str() << std::flush;
    if (!config.shrink || shrunk->count(finding.signature)) return;
    shrunk->insert(finding.signature);
    int replays = 0;
    const auto started = Clock::now();
    const std::vector<Op> fewer = Shrink(config, kind, run.Executed(), finding.signature, dir + "/shrink", &replays);
    std::string script;
    const std::optional<Finding> again = Replay(config, kind, fewer, dir + "/shrink", &script);
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    if (!again || again->signature != finding.signature) {
        std::cout << "(shrinking lost the failure after " << replays << " replays; keep the full sequence)\n";
        return;
    }
    Save(dir + "/repro-min.sh", script);
    std::cout << "---- Shrunk to " << fewer.size() << " operations (" << replays << " replays, " << static_cast<int>(seconds)
              << " s), saved as " << dir << "/repro-min.sh:\n"
              << again->message << "\n"
              << script << std::flush;
}

int RunVolume(const Config& config, const VolumeKind& kind, Stats* stats, std::set<std::string>* shrunk) {
    const std::string base = config.work + "/" + kind.id + "-seed" + std::to_string(config.seed);
    int failed = 0;
    MixSettings mix = config.mix;
    mix.nearly_full = kind.nearly_full;
    for (int sequence = 0; sequence < config.sequences; ++sequence) {
        if (config.only_sequence >= 0 && sequence != config.only_sequence) continue;
        const std::uint64_t seed = SequenceSeed(kind.id, config.seed, sequence);
        std::mt19937_64 rng(seed);
        const int count = static_cast<int>(std::uniform_int_distribution<int>(config.ops / 2, config.ops)(rng));
        const std::string dir = base + "/seq" + std::to_string(sequence);
        SequenceRun run(TheTools(), kind, dir,
                        "volume " + kind.id + ", seed " + std::to_string(config.seed) + ", sequence " +
                            std::to_string(sequence),
                        stats, config.verbose);
        OpGenerator generator(seed, mix);
        std::optional<Finding> found = run.Format();
        for (int i = 0; !found && i < count; ++i) {
            found = run.Execute(generator.Next(run.CurrentModel(), run.FreeClusters()));
            if (!found && config.check_every > 0 && (i + 1) % config.check_every == 0 && i + 1 < count)
                found = run.Check(rng, 100, false);
        }
        if (!found) found = run.Check(rng, 100, true);
        ++stats->sequences;
        if (found) {
            ++failed;
            Report(config, kind, sequence, run, *found, dir, shrunk);
        } else if (!config.keep) {
            fs::remove_all(dir);
        }
    }
    if (!failed && !config.keep) fs::remove_all(base);
    return failed;
}

// Names no FAT entry may carry are refused, and nothing changes.
int RunRefusedNames(const Config& config) {
    using testsupport::Quote;
    using testsupport::Run;
    const std::string dir = config.work + "/refused-names";
    fs::remove_all(dir);
    fs::create_directories(dir + "/local");
    const std::string image = dir + "/volume.img";
    testsupport::MakeFatImage(image, 40u << 20, "-F 32 -s 1");
    const std::string q = Quote(g_cli) + " --image " + Quote(image) + " --start 0 ";
    testsupport::WriteFileBytes(dir + "/local/keep.txt", ContentBytes(1, 3000));
    if (Run(q + "put " + Quote(dir + "/local/keep.txt") + " /").exit_code != 0 || Run(q + "mkdir /dir").exit_code != 0) {
        std::cout << "cannot set up the volume\n";
        return 1;
    }
    auto state = [&] { return Run(q + "ls --json /").out + Run(q + "ls --json /dir").out; };
    const std::string before = state();
    const std::vector<std::string> names = {"a\\b", "a:b", "a*b", "a?b", "a\"b", "a<b", "a>b", "a|b",
                                            "tab\there", std::string("ctl\x01x"), "trail.", "trail ",
                                            "name.txt.", "name.txt ", "...", " "};
    int failures = 0;
    for (const std::string& name : names) {
        const std::string local = dir + "/local/" + name;
        testsupport::WriteFileBytes(local, ContentBytes(2, 100));
        const std::vector<std::string> commands = {q + "put " + Quote(local) + " /dir", q + "rename /keep.txt " + Quote(name),
                                                   q + "mkdir " + Quote("/dir/" + name)};
        for (const std::string& command : commands) {
            const testsupport::RunResult result = Run(command);
            const std::string after = state();
            const testsupport::RunResult fsck = Run("fsck.fat -n -S " + Quote(image));
            if (result.exit_code == 1 && !result.err.empty() && after == before && fsck.exit_code == 0) continue;
            ++failures;
            std::cout << "NOT REFUSED: " << command << "\n  exit " << result.exit_code << ", stderr: " << result.err
                      << (after == before ? "" : "  the volume changed\n") << (fsck.exit_code ? fsck.out : "") << "\n";
        }
        fs::remove(local);
    }
    std::cout << "refused names: " << names.size() * 3 << " commands, " << failures << " not refused\n";
    if (!failures && !config.keep) fs::remove_all(dir);
    return failures ? 1 : 0;
}

std::set<std::string> Split(const std::string& list) {
    std::set<std::string> items;
    std::istringstream in(list);
    std::string item;
    while (std::getline(in, item, ','))
        if (!item.empty()) items.insert(item);
    return items;
}

int Usage(const std::string& message) {
    std::cerr << "integrity_random_ops: " << message << "\n(see the comment at the top of random_ops_main.cpp)\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "C.UTF-8");
    std::vector<std::string> args(argv + 1, argv + argc);

    // Helpers the reproduction scripts call.
    if (!args.empty() && (args[0] == "--make-file" || args[0] == "--check-file") && args.size() == 4) {
        const std::uint64_t size = std::stoull(args[2]), id = std::stoull(args[3], nullptr, 0);
        if (args[0] == "--make-file") {
            testsupport::WriteFileBytes(args[1], ContentBytes(id, size));
            return 0;
        }
        const std::vector<std::uint8_t> got = testsupport::ReadFileBytes(args[1]);
        const bool same = SameContent(std::string(got.begin(), got.end()), id, size);
        std::cout << (same ? "same bytes\n" : "DIFFERENT bytes\n");
        return same ? 0 : 1;
    }
    if (!args.empty() && args[0] == "--print-file" && args.size() == 3) {
        const std::vector<std::uint8_t> bytes = ContentBytes(std::stoull(args[2], nullptr, 0), std::stoull(args[1]));
        std::cout.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return 0;
    }

    Config config;
    bool long_mode = false, refused = false;
    int sequences = -1, ops = -1;
    std::string volume;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size()) throw std::invalid_argument(arg + " needs a value");
            return args[++i];
        };
        try {
            if (arg == "--long") long_mode = true;
            else if (arg == "--refused-names") refused = true;
            else if (arg == "--volume") volume = value();
            else if (arg == "--seed") config.seed = std::stoull(value());
            else if (arg == "--sequences") sequences = std::stoi(value());
            else if (arg == "--sequence") config.only_sequence = std::stoi(value());
            else if (arg == "--ops") ops = std::stoi(value());
            else if (arg == "--check-every") config.check_every = std::stoi(value());
            else if (arg == "--no-shrink") config.shrink = false;
            else if (arg == "--shrink-seconds") config.shrink_seconds = std::stod(value());
            else if (arg == "--work") config.work = value();
            else if (arg == "--keep") config.keep = true;
            else if (arg == "--cli") g_cli = fs::absolute(value()).string();
            else if (arg == "--verbose") config.verbose = true;
            else if (arg == "--with" || arg == "--without") {
                const std::string list = value();
                config.mix_arguments += " " + arg + " " + list;
                for (const std::string& item : Split(list)) {
                    std::set<std::string>& into = AllNameKinds().count(item) ? config.mix.names : config.mix.ops;
                    if (!AllNameKinds().count(item) && !AllOpSwitches().count(item)) return Usage("unknown kind " + item);
                    if (arg == "--with") into.insert(item); else into.erase(item);
                }
            } else return Usage("unknown argument " + arg);
        } catch (const std::exception& error) {
            return Usage(error.what());
        }
    }
    if (config.work.empty()) {
        const char* tmp = std::getenv("QUILLON_TEST_TMP");
        config.work = (tmp ? fs::path(tmp) : fs::temp_directory_path() / "quillon-tests").string() + "/integrity";
    }
    fs::create_directories(config.work);
    if (refused) return RunRefusedNames(config);

    if (long_mode) {
        config.sequences = 30;
        config.ops = 220;
        config.check_every = 40;
        config.shrink_seconds = 120;
    }
    if (sequences > 0) config.sequences = sequences;
    if (ops > 0) config.ops = ops;
    if (config.only_sequence >= config.sequences) config.sequences = config.only_sequence + 1;
    config.length_arguments = " --ops " + std::to_string(config.ops) + " --check-every " + std::to_string(config.check_every);
    if (volume.empty() || volume == "all") {
        for (const VolumeKind& kind : VolumeKinds()) config.volumes.push_back(&kind);
    } else {
        for (const std::string& id : Split(volume)) {
            const VolumeKind* kind = FindVolumeKind(id);
            if (!kind) return Usage("unknown volume kind " + id);
            config.volumes.push_back(kind);
        }
    }

    const auto started = Clock::now();
    Stats stats;
    std::set<std::string> shrunk;
    int failed = 0;
    for (const VolumeKind* kind : config.volumes) failed += RunVolume(config, *kind, &stats, &shrunk);
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    std::cout << "\nintegrity_random_ops seed " << config.seed << ": " << stats.sequences << " sequences, "
              << stats.operations << " operations (" << stats.expected_failures << " failed as expected, "
              << stats.open_outcomes << " with either outcome allowed), " << stats.checks << " whole-volume checks, "
              << stats.mtools_reads << " files read by mtools (" << stats.mtools_skipped << " names mtools cannot tell apart), "
              << stats.gets << " gets compared; replaces (puts onto a file) "
              << stats.replace_beside + stats.replace_if_removed + stats.replace_never << " tried: "
              << stats.replace_beside << " fitting beside the old file, " << stats.replace_if_removed
              << " fitting only in its place, " << stats.replace_never << " never fitting; " << stats.replace_succeeded
              << " succeeded, " << stats.replace_refused << " refused with the old file kept; gets onto existing "
              << "destinations: " << stats.get_onto_file << " onto a file, " << stats.get_into_folder
              << " into a folder, " << stats.get_into_folder_holding << " into a folder holding the name, "
              << stats.get_failed_kept << " failed leaving the destination as it was, " << stats.get_onto_image
              << " onto the image refused with it unchanged; case-only renames: " << stats.case_rename_done << " done, "
              << stats.case_rename_refused << " refused; " << failed << " failing sequences; "
              << static_cast<int>(seconds) << " s\n";
    return failed ? 1 : 0;
}
