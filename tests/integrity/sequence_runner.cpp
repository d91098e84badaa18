#include "sequence_runner.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

#include "content.h"
#include "op_generator.h"
#include "support/test_support.h"

namespace fs = std::filesystem;

namespace integrity {
namespace {

using testsupport::Quote;
using testsupport::Run;
using testsupport::RunResult;

// mtools checks its images against the PC's own geometry rules unless
// told not to, and prints names in the locale's encoding.
const char kMtoolsEnv[] = "MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 ";

std::u16string Units(const std::string& utf8) {
    std::u16string units;
    for (char32_t cp : CodePoints(utf8)) {
        if (cp >= 0x10000) {
            cp -= 0x10000;
            units += static_cast<char16_t>(0xD800 + (cp >> 10));
            units += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            units += static_cast<char16_t>(cp);
        }
    }
    return units;
}

char16_t MtoolsFoldUnit(char16_t u) {
    if (u >= 0xD800 && u <= 0xDFFF) return u;
    return static_cast<char16_t>(std::towupper(u));
}

// An mtools pattern ("?" for one UTF-16 unit) against a long name.
bool PatternMatches(const std::u16string& pattern, const std::u16string& name) {
    if (pattern.size() != name.size()) return false;
    for (std::size_t i = 0; i < pattern.size(); ++i)
        if (pattern[i] != u'?' && MtoolsFoldUnit(pattern[i]) != MtoolsFoldUnit(name[i])) return false;
    return true;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty()) lines.push_back(line);
    return lines;
}

std::string Shorten(const std::string& text, std::size_t limit = 4000) {
    return text.size() <= limit ? text : text.substr(0, limit) + "\n[... " + std::to_string(text.size() - limit) + " more bytes]";
}

std::string Hex(std::uint64_t value) {
    std::ostringstream out;
    out << "0x" << std::hex << value;
    return out.str();
}

}  // namespace

const std::vector<VolumeKind>& VolumeKinds() {
    // FAT32 needs at least 65525 clusters, hence the larger (sparse) images.
    static const std::vector<VolumeKind> kinds = {
        {"fat16-c1", 16, 1, 24, false},   {"fat16-c8", 16, 8, 64, false},   {"fat16-c64", 16, 64, 200, false},
        {"fat32-c1", 32, 1, 40, false},   {"fat32-c8", 32, 8, 300, false},  {"fat32-c64", 32, 64, 2100, false},
        {"fat16-full", 16, 4, 16, true},  {"fat32-full", 32, 1, 40, true}};
    return kinds;
}

const VolumeKind* FindVolumeKind(const std::string& id) {
    for (const VolumeKind& kind : VolumeKinds())
        if (kind.id == id) return &kind;
    return nullptr;
}

SequenceRun::SequenceRun(const Tools& tools, const VolumeKind& kind, const std::string& work_dir,
                         const std::string& title, Stats* stats, bool verbose)
    : tools_(tools),
      kind_(kind),
      work_(work_dir),
      image_(work_dir + "/volume.img"),
      local_(work_dir + "/local"),
      stats_(stats),
      verbose_(verbose),
      model_(ImageGeometry{}) {
    fs::remove_all(work_);
    fs::create_directories(local_);
    Line("# " + title);
    Line("# Paste into bash; every command says what the model expects of it.");
    Line("CLI=" + Quote(tools_.cli) + "; GEN=" + Quote(tools_.self));
    Line("W=$(mktemp -d); IMG=\"$W/volume.img\"; L=\"$W/local\"; mkdir -p \"$L\"");
    Line("q() { \"$CLI\" --image \"$IMG\" --start 0 \"$@\"; echo \"exit $?\"; }");
    Line("export MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8");
}

std::string SequenceRun::Script() const {
    std::string text;
    for (const std::string& line : script_) text += line + "\n";
    return text;
}

SequenceRun::Command SequenceRun::Cli(const std::string& actual_args, const std::string& script_args) const {
    return Command{Quote(tools_.cli) + " --image " + Quote(image_) + " --start 0 " + actual_args, "q " + script_args};
}

std::optional<Finding> SequenceRun::Format() {
    const std::string options = "-F " + std::to_string(kind_.fat_bits) + " -s " + std::to_string(kind_.sectors_per_cluster);
    Line("truncate -s " + std::to_string(kind_.mib) + "M \"$IMG\" && mkfs.fat " + options + " \"$IMG\" >/dev/null");
    try {
        testsupport::MakeFatImage(image_, kind_.mib << 20, options);
    } catch (const std::exception& error) {
        return Finding{"mkfs", error.what()};
    }
    ImageGeometry geometry;
    std::string error;
    if (!ReadImageGeometry(image_, &geometry, &error)) return Finding{"mkfs", error};
    model_ = Model(geometry);
    return std::nullopt;
}

std::uint32_t SequenceRun::FreeClusters() {
    ImageGeometry geometry;
    std::string error;
    return ReadImageGeometry(image_, &geometry, &error) ? geometry.free_clusters : 0;
}

// Writes the local file or folder a put takes; returns its path, and the
// same path in the script's terms.
std::string SequenceRun::Stage(std::size_t index, const Op& op, std::string* script_path) {
    const std::string dir = local_ + "/" + std::to_string(index);
    const std::string script_dir = "\"$L/" + std::to_string(index) + "\"";
    fs::create_directories(dir);
    Line("mkdir -p " + script_dir);
    auto make_file = [&](const std::string& rel, std::uint64_t size, std::uint64_t content) {
        testsupport::WriteFileBytes(dir + "/" + rel, ContentBytes(content, size));
        Line("\"$GEN\" --make-file " + script_dir + "/" + Quote(rel) + " " + std::to_string(size) + " " + Hex(content));
    };
    if (op.kind == OpKind::kPutFile) {
        make_file(op.name, op.size, op.content);
    } else {
        fs::create_directories(dir + "/" + op.name);
        Line("mkdir -p " + script_dir + "/" + Quote(op.name));
        for (const TreeItem& item : op.tree) {
            const std::string rel = op.name + "/" + item.rel;
            if (item.dir) {
                fs::create_directories(dir + "/" + rel);
                Line("mkdir -p " + script_dir + "/" + Quote(rel));
            } else {
                make_file(rel, item.size, item.content);
            }
        }
    }
    *script_path = script_dir + "/" + Quote(op.name);
    return dir + "/" + op.name;
}

std::optional<std::string> SequenceRun::MtoolsPath(const std::string& path) const {
    std::string pattern = "::";
    const Node* folder = &model_.Root();
    std::string part;
    std::istringstream parts(path);
    while (std::getline(parts, part, '/')) {
        if (part.empty()) continue;
        std::string spelled;
        bool wild = false;
        for (char32_t cp : CodePoints(part)) {
            wild = wild || cp >= 0x10000;
            spelled += cp >= 0x10000 ? "??" : Utf8Of(cp);
        }
        if (wild && folder) {
            // mtools takes such a name only as a pattern, and the pattern
            // must not also fit another entry of the folder.
            int matches = 0;
            const std::u16string wanted = Units(spelled);
            for (const auto& [key, child] : folder->children)
                if (PatternMatches(wanted, Units(child.name))) ++matches;
            if (matches != 1) return std::nullopt;
        }
        pattern += "/" + spelled;
        if (folder) {
            auto found = folder->children.find(FoldName(part));
            folder = found != folder->children.end() && found->second.dir ? &found->second : nullptr;
        }
    }
    return pattern;
}

bool SequenceRun::ListActual(const std::string& path, Node* folder, std::string* error) {
    const RunResult listed = Run(Quote(tools_.cli) + " --image " + Quote(image_) + " --start 0 ls --json " + Quote(path));
    if (listed.exit_code != 0) {
        *error = "ls " + path + " exited " + std::to_string(listed.exit_code) + ": " + listed.err;
        return false;
    }
    nlohmann::json rows;
    try {
        rows = nlohmann::json::parse(listed.out);
    } catch (const std::exception& e) {
        *error = "ls --json " + path + " printed no JSON: " + e.what() + "\n" + Shorten(listed.out);
        return false;
    }
    for (const auto& row : rows) {
        Node node = MakeNode(row.at("name").get<std::string>(), row.at("dir").get<bool>(),
                             row.at("size").get<std::uint64_t>());
        if (node.dir) node.size = 0;
        const std::string key = FoldName(node.name);
        if (folder->children.count(key)) {
            *error = "ls " + path + " lists two entries for one name: " + folder->children[key].name + " and " + node.name;
            return false;
        }
        folder->children[key] = node;
    }
    return true;
}

std::optional<Node> SequenceRun::ActualEntry(const std::string& folder, const std::string& name, std::string* error) {
    Node parent;
    if (!ListActual(folder, &parent, error)) return std::nullopt;
    auto found = parent.children.find(FoldName(name));
    if (found == parent.children.end()) return MakeNode("", false);  // empty name: absent
    Node entry = found->second;
    std::function<bool(Node&, const std::string&)> fill = [&](Node& node, const std::string& path) {
        if (!node.dir) return true;
        if (!ListActual(path, &node, error)) return false;
        for (auto& [key, child] : node.children)
            if (!fill(child, Model::Join(path, child.name))) return false;
        return true;
    };
    if (!fill(entry, Model::Join(folder, entry.name))) return std::nullopt;
    return entry;
}

std::optional<Finding> SequenceRun::Execute(const Op& op) {
    const std::size_t index = executed_.size() + 1;
    executed_.push_back(op);
    ++stats_->operations;
    const Prediction prediction = model_.Predict(op, FreeClusters());
    const char* kind = OpKindName(op.kind);

    Command command;
    std::string got;
    switch (op.kind) {
        case OpKind::kPutFile:
        case OpKind::kPutTree: {
            std::string script_local;
            const std::string local = Stage(index, op, &script_local);
            command = Cli("put " + Quote(local) + " " + Quote(op.path), "put " + script_local + " " + Quote(op.path));
            break;
        }
        case OpKind::kGet:
            got = local_ + "/got";
            command = Cli("get " + Quote(op.path) + " " + Quote(got), "get " + Quote(op.path) + " \"$L/got\"");
            break;
        case OpKind::kMkdir:
            command = Cli("mkdir " + Quote(op.path), "mkdir " + Quote(op.path));
            break;
        case OpKind::kRm:
            command = Cli("rm " + Quote(op.path), "rm " + Quote(op.path));
            break;
        case OpKind::kRmTree:
            command = Cli("rm -r " + Quote(op.path), "rm -r " + Quote(op.path));
            break;
        case OpKind::kRename:
            command = Cli("rename " + Quote(op.path) + " " + Quote(op.name), "rename " + Quote(op.path) + " " + Quote(op.name));
            break;
        case OpKind::kHide: {
            // Another program marks the entry hidden; nothing else changes.
            const std::optional<std::string> pattern = MtoolsPath(op.path);
            if (!pattern) return std::nullopt;
            command = Command{std::string(kMtoolsEnv) + "mattrib -i " + Quote(image_) + " +h " + Quote(*pattern),
                              "mattrib -i \"$IMG\" +h " + Quote(*pattern)};
            break;
        }
    }
    const char* expectation = prediction.expect == Expect::kSucceed ? "expect success"
                              : prediction.expect == Expect::kFail  ? "expect failure"
                                                                    : "either outcome is accepted";
    Line(command.script + "   # " + std::to_string(index) + ": " + expectation +
         (prediction.why.empty() ? "" : " (" + prediction.why + ")"));
    if (verbose_) std::cerr << "  [" << index << "] " << command.script << "  # " << expectation << "\n";

    const RunResult result = Run(command.actual);
    fs::remove_all(local_ + "/" + std::to_string(index));
    if (verbose_) std::cerr << "      exit " << result.exit_code << " " << result.err;
    if (op.kind == OpKind::kHide) {
        if (result.exit_code == 0) model_.ApplySuccess(op);
        return std::nullopt;
    }

    auto finding = [&](const std::string& what, const std::string& detail) {
        return Finding{what + ":" + kind, "operation " + std::to_string(index) + ": " + command.script + "\n" + detail +
                                              "\nexit " + std::to_string(result.exit_code) + "; stderr: " + result.err};
    };
    if (result.exit_code != 0 && result.exit_code != 1)
        return finding("exit-" + std::to_string(result.exit_code), "the tool ended abnormally");
    const bool ok = result.exit_code == 0;
    if (prediction.expect == Expect::kSucceed && !ok) return finding("unexpected-failure", "the model expects success");
    if (prediction.expect == Expect::kFail && ok)
        return finding("unexpected-success", "the model expects failure: " + prediction.why);
    if (!ok && result.err.empty()) return finding("silent-failure", "failed without a message");
    if (!ok && prediction.expect == Expect::kFail && prediction.out_of_room &&
        result.err.find("full") == std::string::npos)
        return finding("room-message", "failed for want of room (" + prediction.why + ") without saying the volume is full");
    if (prediction.expect == Expect::kFail) ++stats_->expected_failures;
    if (prediction.expect == Expect::kEither) ++stats_->open_outcomes;

    const Node* renamed = op.kind == OpKind::kRename ? model_.FindVisible(op.path) : nullptr;
    if (renamed && renamed->name != op.name && FoldName(renamed->name) == FoldName(op.name))
        ++(ok ? stats_->case_rename_done : stats_->case_rename_refused);

    if (ok) {
        if (op.kind == OpKind::kGet) {
            ++stats_->gets;
            const Node* file = model_.FindVisible(op.path);
            if (!file) return finding("unexpected-success", "get of an entry the model does not hold");
            const std::vector<std::uint8_t> read = testsupport::ReadFileBytes(got);
            const std::string bytes(read.begin(), read.end());
            if (!SameContent(bytes, file->content, file->size)) {
                Line("\"$GEN\" --check-file \"$L/got\" " + std::to_string(file->size) + " " + Hex(file->content));
                return finding("get-content", "get returned " + std::to_string(bytes.size()) + " bytes, expected " +
                                                  std::to_string(file->size) + "; first difference at byte " +
                                                  std::to_string(FirstDifference(bytes, file->content, file->size)) +
                                                  WhoseBytes(bytes));
            }
        }
        model_.ApplySuccess(op);
        return std::nullopt;
    }

    const Node* removing = op.kind == OpKind::kRmTree ? model_.FindVisible(op.path) : nullptr;
    if (removing && HoldsHidden(*removing)) {
        // rm -r takes away what it can see before it meets a folder that
        // hidden entries keep: which part went depends on directory order.
        const auto [folder, leaf] = Model::Split(op.path);
        std::string error;
        const std::optional<Node> actual = ActualEntry(folder, leaf, &error);
        if (!actual) return finding("failed-rm-state", "cannot list what the failed rm -r left: " + error);
        model_.KeepOnlyListed(op.path, actual->name.empty() ? nullptr : &*actual);
        const Node* left = model_.FindVisible(op.path);
        std::string difference;
        const Node visible = left ? VisiblePart(*left) : Node{};
        if (!SameShape(left ? &visible : nullptr, actual->name.empty() ? nullptr : &*actual, &difference))
            return finding("failed-rm-state", "what the failed rm -r left is not a part of what was there: " + difference);
        return std::nullopt;
    }

    // A failure: tell apart the states it may leave by what the volume lists.
    const std::vector<Model> outcomes = model_.FailureOutcomes(op);
    std::size_t chosen = 0;
    if (outcomes.size() > 1) {
        const auto [folder, name] = Model::OutcomeRegion(op);
        std::string error;
        const std::optional<Node> actual = ActualEntry(folder, name, &error);
        if (!actual) return finding("failed-put-state", "cannot list what the failed put left: " + error);
        const Node* actual_node = actual->name.empty() ? nullptr : &*actual;
        chosen = outcomes.size();
        std::string difference;
        for (std::size_t i = 0; i < outcomes.size() && chosen == outcomes.size(); ++i) {
            const Node* expected = outcomes[i].FindVisible(Model::Join(folder, name));
            const Node visible = expected ? VisiblePart(*expected) : Node{};
            if (SameShape(expected ? &visible : nullptr, actual_node, &difference)) chosen = i;
        }
        if (chosen == outcomes.size())
            return finding("failed-put-state", "what the failed put left matches none of the states it may leave; " +
                                                   difference);
        // Only a put that failed for want of room has a choice to make here.
        if (op.kind == OpKind::kPutFile && result.err.find("full") != std::string::npos)
            ++(chosen == 0 ? stats_->failed_replace_kept : stats_->failed_replace_removed);
    }
    model_ = outcomes[chosen];
    model_.NoteFailure(op);
    return std::nullopt;
}

// Names the model file whose bytes these are, when it is another one.
std::string SequenceRun::WhoseBytes(const std::string& bytes) const {
    for (const std::string& path : model_.Entries()) {
        const Node* node = model_.Find(path);
        if (!node->dir && node->size == bytes.size() && SameContent(bytes, node->content, node->size))
            return "; these are the bytes of " + path;
    }
    return "";
}

// fsck.fat's first complaint without its numbers and names, so that a
// shrunk sequence keeps to the same kind of damage.
std::string FsckComplaint(const std::string& output) {
    for (const std::string& line : Lines(output)) {
        if (line.rfind("fsck.fat ", 0) == 0 || line.rfind("/", 0) == 0) continue;
        std::string kind;
        int depth = 0;
        for (char c : line) {
            if (c == '(') ++depth;
            if (depth == 0 && !(c >= '0' && c <= '9')) kind += c;
            if (c == ')' && depth > 0) --depth;
        }
        while (!kind.empty() && (kind.front() == ' ')) kind.erase(0, 1);
        if (kind.size() > 60) kind.resize(60);
        return kind;
    }
    return "";
}

std::string SequenceRun::CheckFsck() {
    const RunResult checked = Run("fsck.fat -n -S " + Quote(image_));
    if (checked.exit_code == 0) return "";
    fsck_complaint_ = FsckComplaint(checked.out);
    Line("fsck.fat -n -S \"$IMG\"");
    return "fsck.fat -n -S exited " + std::to_string(checked.exit_code) + ":\n" + Shorten(checked.out + checked.err);
}

std::string SequenceRun::CheckMtoolsListing() {
    const RunResult listed = Run(std::string(kMtoolsEnv) + "mdir -a -b -s -i " + Quote(image_) + " ::/");
    std::vector<std::string> actual = Lines(listed.out), expected;
    for (const std::string& path : model_.Entries())
        expected.push_back("::" + MtoolsShownName(path) + (model_.Find(path)->dir ? "/" : ""));
    std::sort(actual.begin(), actual.end());
    std::sort(expected.begin(), expected.end());
    if (actual == expected) return "";
    std::vector<std::string> missing, extra;
    std::set_difference(expected.begin(), expected.end(), actual.begin(), actual.end(), std::back_inserter(missing));
    std::set_difference(actual.begin(), actual.end(), expected.begin(), expected.end(), std::back_inserter(extra));
    std::string text = "mdir -a -b -s lists other names than the model (exit " + std::to_string(listed.exit_code) + ")";
    for (const std::string& line : missing) text += "\n  missing: " + line;
    for (const std::string& line : extra) text += "\n  extra:   " + line;
    if (missing.empty() && extra.empty()) text += "\n  (a name listed twice)";
    Line("mdir -a -b -s -i \"$IMG\" ::/");
    return Shorten(text + "\n" + listed.err);
}

std::string SequenceRun::CheckMtoolsContents(std::mt19937_64& rng, std::size_t sample, bool large_too) {
    std::vector<std::string> files;
    for (const std::string& path : model_.Entries()) {
        const Node* node = model_.Find(path);
        if (!node->dir && (large_too || node->size <= kLargeFile)) files.push_back(path);
    }
    if (files.size() > sample) {
        std::shuffle(files.begin(), files.end(), rng);
        files.resize(sample);
    }
    std::string problems;
    for (const std::string& path : files) {
        const Node* file = model_.Find(path);
        const std::optional<std::string> pattern = MtoolsPath(path);
        if (!pattern) {
            ++stats_->mtools_skipped;
            continue;
        }
        ++stats_->mtools_reads;
        const RunResult read = Run(std::string(kMtoolsEnv) + "mcopy -n -i " + Quote(image_) + " " + Quote(*pattern) + " -");
        if (read.exit_code == 0 && SameContent(read.out, file->content, file->size)) continue;
        Line("cmp <(mcopy -n -i \"$IMG\" " + Quote(*pattern) + " -) <(\"$GEN\" --print-file " +
             std::to_string(file->size) + " " + Hex(file->content) + ")");
        problems += "\n  mcopy " + *pattern + ": exit " + std::to_string(read.exit_code) + ", " +
                    std::to_string(read.out.size()) + " bytes, expected " + std::to_string(file->size) +
                    (read.exit_code == 0 ? ", first difference at byte " +
                                               std::to_string(FirstDifference(read.out, file->content, file->size)) +
                                               WhoseBytes(read.out)
                                         : " " + read.err);
    }
    return problems.empty() ? "" : Shorten("mtools reads other bytes than the model holds:" + problems);
}

std::string SequenceRun::CheckOwnListing() {
    std::string problems;
    for (const std::string& folder : model_.Folders()) {
        if (!model_.FindVisible(folder)) continue;
        Node actual;
        actual.dir = true;
        std::string error;
        if (!ListActual(folder, &actual, &error)) {
            problems += "\n  " + error;
        } else {
            Node expected = VisiblePart(*model_.Find(folder));
            for (auto& [key, child] : expected.children) child.children.clear();
            expected.name = actual.name = folder;
            std::string difference;
            if (!SameShape(&expected, &actual, &difference)) problems += "\n  ls --json " + folder + ": " + difference;
        }
        if (!problems.empty()) {
            Line("q ls --json " + Quote(folder));
            break;
        }
    }
    return problems.empty() ? "" : "quillon-cli ls disagrees with the model:" + problems;
}

std::optional<Finding> SequenceRun::Check(std::mt19937_64& rng, std::size_t sample, bool large_too) {
    ++stats_->checks;
    Line("# check " + std::to_string(stats_->checks) + " after operation " + std::to_string(executed_.size()));
    const std::pair<const char*, std::string> results[] = {
        {"fsck", CheckFsck()},
        {"mtools-listing", CheckMtoolsListing()},
        {"mtools-content", CheckMtoolsContents(rng, sample, large_too)},
        {"ls-listing", CheckOwnListing()}};
    std::optional<Finding> found;
    for (const auto& [name, problem] : results) {
        if (problem.empty()) continue;
        if (!found) found = Finding{name == std::string("fsck") ? "fsck:" + fsck_complaint_ : name, ""};
        found->message += std::string("[") + name + "] " + problem + "\n";
    }
    return found;
}

}  // namespace integrity
