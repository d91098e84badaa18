#include "sequence_runner.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
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

std::string Octal(unsigned value) {
    std::ostringstream out;
    out << std::oct << value;
    return out.str();
}

// The permission bits a file the get replaces has before it; get keeps them.
constexpr unsigned kHeldMode = 0640;

unsigned NewFileMode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666u & ~static_cast<unsigned>(mask);
}

std::string FileText(std::uint64_t size, std::optional<std::uint64_t> digest, unsigned mode) {
    return "file of " + std::to_string(size) + " bytes, " + (digest ? "digest " + Hex(*digest) + ", " : "") + "mode " +
           Octal(mode);
}

// What differs between two views of a local folder, for messages.
std::string LocalDifference(const std::map<std::string, std::string>& want,
                            const std::map<std::string, std::string>& got) {
    std::string text;
    for (const auto& [path, what] : want) {
        auto found = got.find(path);
        if (found == got.end()) text += "\n  missing " + path + " (" + what + ")";
        else if (found->second != what) text += "\n  changed " + path + ": " + what + ", now " + found->second;
    }
    for (const auto& [path, what] : got)
        if (!want.count(path)) text += "\n  extra " + path + " (" + what + ")";
    return text;
}

// A digest of the image's bytes that reads only what the file system
// holds data for: holes read as zeros and zero words leave the digest
// alone, so a sparse image of gigabytes is hashed in moments and a hole
// counts the same as written zeros.
bool HashImage(const std::string& path, std::uint64_t* digest, std::string* error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat status {};
    if (fd < 0 || ::fstat(fd, &status) != 0) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return false;
    }
    const auto size = static_cast<std::uint64_t>(status.st_size);
    std::uint64_t h = Mix64(size);
    std::vector<unsigned char> buffer(1u << 20);
    bool ok = true;
    for (std::uint64_t at = 0; ok && at < size;) {
        off_t data = ::lseek(fd, static_cast<off_t>(at), SEEK_DATA);
        if (data < 0 && errno == ENXIO) break;  // only a hole remains
        if (data < 0) data = static_cast<off_t>(at);
        off_t hole = ::lseek(fd, data, SEEK_HOLE);
        if (hole < 0) hole = static_cast<off_t>(size);
        for (auto pos = static_cast<std::uint64_t>(data); pos < static_cast<std::uint64_t>(hole);) {
            const std::size_t want = static_cast<std::size_t>(
                std::min<std::uint64_t>(buffer.size(), static_cast<std::uint64_t>(hole) - pos));
            const ssize_t got = ::pread(fd, buffer.data(), want, static_cast<off_t>(pos));
            if (got <= 0) {
                *error = "cannot read " + path + " at byte " + std::to_string(pos);
                ok = false;
                break;
            }
            for (std::size_t i = 0; i < static_cast<std::size_t>(got); i += 8) {
                std::uint64_t word = 0;
                std::memcpy(&word, buffer.data() + i, std::min<std::size_t>(8, static_cast<std::size_t>(got) - i));
                if (word != 0) h = Mix64(h ^ Mix64(pos + i) ^ word);
            }
            pos += static_cast<std::uint64_t>(got);
        }
        at = static_cast<std::uint64_t>(hole);
    }
    ::close(fd);
    *digest = h;
    return ok;
}

}  // namespace

std::uint64_t HashBytes(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    std::uint64_t h = Mix64(size);
    for (std::size_t i = 0; i < size; i += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, bytes + i, std::min<std::size_t>(8, size - i));
        h = Mix64(h ^ word);
    }
    return h;
}

std::string EntryRow::Text() const {
    return "{name " + name + (dir ? ", folder" : "") + ", size " + std::to_string(size) + ", cluster " +
           std::to_string(cluster) + ", fat_date " + std::to_string(fat_date) + ", fat_time " +
           std::to_string(fat_time) + "}";
}

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

    // A put onto a file quillon-cli can see: its entry as it stands, so a
    // refusal can be held to leaving it exactly so.
    EntryRow replaced_row;
    Node replaced_node;
    if (op.kind == OpKind::kPutFile && prediction.replace != ReplaceRoom::kNone) {
        replaced_node = *model_.FindVisible(Model::Join(op.path, op.name));
        std::string error;
        if (!ReadEntryRow(op.path, op.name, &replaced_row, &error))
            return Finding{"replace-setup:put", "operation " + std::to_string(index) +
                                                    ": cannot list the file the put replaces: " + error};
    }
    GetWatch get_watch;

    Command command;
    switch (op.kind) {
        case OpKind::kPutFile:
        case OpKind::kPutTree: {
            std::string script_local;
            const std::string local = Stage(index, op, &script_local);
            command = Cli("put " + Quote(local) + " " + Quote(op.path), "put " + script_local + " " + Quote(op.path));
            break;
        }
        case OpKind::kGet:
            get_watch = PrepareGet(op);
            command = Cli("get " + Quote(op.path) + " " + Quote(get_watch.dest),
                          "get " + Quote(op.path) + " " + get_watch.script_dest);
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
    std::string note = prediction.why;
    if (prediction.replace != ReplaceRoom::kNone)
        note += std::string(note.empty() ? "" : "; ") + "replaces a file, " + ReplaceRoomName(prediction.replace);
    if (op.kind == OpKind::kGet) note += std::string(note.empty() ? "" : "; ") + "onto " + GetDestName(op.dest);
    Line(command.script + "   # " + std::to_string(index) + ": " + expectation + (note.empty() ? "" : " (" + note + ")"));
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
    if (op.kind == OpKind::kGet) {
        if (auto problem = JudgeGet(op, ok, get_watch)) return finding(problem->first, problem->second);
    }
    if (prediction.replace != ReplaceRoom::kNone) {
        if (auto problem = JudgeReplace(op, prediction, ok, result.err, replaced_row, replaced_node))
            return finding(problem->first, problem->second);
    }
    if (prediction.expect == Expect::kFail) ++stats_->expected_failures;
    if (prediction.expect == Expect::kEither) ++stats_->open_outcomes;

    const Node* renamed = op.kind == OpKind::kRename ? model_.FindVisible(op.path) : nullptr;
    if (renamed && renamed->name != op.name && FoldName(renamed->name) == FoldName(op.name))
        ++(ok ? stats_->case_rename_done : stats_->case_rename_refused);

    if (ok) {
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

bool SequenceRun::ReadEntryRow(const std::string& folder, const std::string& name, EntryRow* row, std::string* error) {
    const RunResult listed = Run(Quote(tools_.cli) + " --image " + Quote(image_) + " --start 0 ls --json " + Quote(folder));
    if (listed.exit_code != 0) {
        *error = "ls " + folder + " exited " + std::to_string(listed.exit_code) + ": " + listed.err;
        return false;
    }
    try {
        for (const auto& item : nlohmann::json::parse(listed.out)) {
            if (FoldName(item.at("name").get<std::string>()) != FoldName(name)) continue;
            row->name = item.at("name").get<std::string>();
            row->dir = item.at("dir").get<bool>();
            row->size = item.at("size").get<std::uint64_t>();
            row->cluster = item.at("cluster").get<std::uint64_t>();
            row->fat_date = item.at("fat_date").get<std::uint64_t>();
            row->fat_time = item.at("fat_time").get<std::uint64_t>();
            return true;
        }
    } catch (const std::exception& e) {
        *error = "ls --json " + folder + " printed no usable JSON: " + e.what() + "\n" + Shorten(listed.out);
        return false;
    }
    *error = "ls " + folder + " does not list " + name;
    return false;
}

std::string SequenceRun::ReadBackDiffers(const std::string& path, std::uint64_t content, std::uint64_t size) {
    const std::string copy = local_ + "/read-back";
    fs::remove(copy);
    const RunResult read = Run(Quote(tools_.cli) + " --image " + Quote(image_) + " --start 0 get " + Quote(path) + " " +
                               Quote(copy));
    const std::vector<std::uint8_t> got = read.exit_code == 0 ? testsupport::ReadFileBytes(copy)
                                                              : std::vector<std::uint8_t>{};
    fs::remove(copy);
    const std::string bytes(got.begin(), got.end());
    if (read.exit_code == 0 && SameContent(bytes, content, size)) return "";
    Line("q get " + Quote(path) + " \"$L/read-back\"; \"$GEN\" --check-file \"$L/read-back\" " + std::to_string(size) +
         " " + Hex(content));
    if (read.exit_code != 0) return "get " + path + " exited " + std::to_string(read.exit_code) + ": " + read.err;
    return "get " + path + " returned " + std::to_string(bytes.size()) + " bytes, expected " + std::to_string(size) +
           "; first difference at byte " + std::to_string(FirstDifference(bytes, content, size)) + WhoseBytes(bytes);
}

// A put onto an existing file either gives the new bytes under the stored
// name or, refused, leaves the entry and its bytes exactly as they were:
// same size, same first cluster, same time stamp.
std::optional<std::pair<std::string, std::string>> SequenceRun::JudgeReplace(const Op& op, const Prediction& prediction,
                                                                           bool ok, const std::string& err,
                                                                           const EntryRow& before, const Node& old) {
    switch (prediction.replace) {
        case ReplaceRoom::kBeside: ++stats_->replace_beside; break;
        case ReplaceRoom::kIfOldRemoved: ++stats_->replace_if_removed; break;
        case ReplaceRoom::kNever: ++stats_->replace_never; break;
        case ReplaceRoom::kNone: return std::nullopt;
    }
    ++(ok ? stats_->replace_succeeded : stats_->replace_refused);
    const std::string path = Model::Join(op.path, op.name);
    EntryRow after;
    std::string error;
    const bool listed = ReadEntryRow(op.path, op.name, &after, &error);
    const std::string room = std::string("; the new content ") + ReplaceRoomName(prediction.replace);
    if (!ok) {
        for (const std::string& part : prediction.message_parts)
            if (err.find(part) == std::string::npos)
                return std::pair{std::string("replace-message"), "the refusal does not say \"" + part + "\"" + room};
        if (!listed) {
            Line("q ls --json " + Quote(op.path));
            return std::pair{std::string("failed-replace-lost"), "the failed put lost the file it replaced: " + error};
        }
        if (!(after == before)) {
            Line("q ls --json " + Quote(op.path));
            return std::pair{std::string("failed-replace-entry"),
                             "the failed put changed the entry it replaced: before " + before.Text() + ", after " +
                                 after.Text() + room};
        }
        const std::string differs = ReadBackDiffers(path, old.content, old.size);
        if (!differs.empty())
            return std::pair{std::string("failed-replace-content"),
                             "the failed put changed the bytes of the file it replaced: " + differs + room};
        return std::nullopt;
    }
    if (!listed || after.name != before.name || after.dir || after.size != op.size) {
        Line("q ls --json " + Quote(op.path));
        return std::pair{std::string("replace-entry"),
                         "after the replace the entry should keep the name " + before.name + " and hold " +
                             std::to_string(op.size) + " bytes; " + (listed ? "it is " + after.Text() : error)};
    }
    const std::string differs = ReadBackDiffers(path, op.content, op.size);
    if (!differs.empty())
        return std::pair{std::string("replace-content"), "the replaced file does not hold the new bytes: " + differs};
    return std::nullopt;
}

std::map<std::string, std::string> SequenceRun::LocalState(const std::string& dir, bool contents,
                                                           const std::string& apart) const {
    std::map<std::string, std::string> state;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(dir, error); !error && it != fs::recursive_directory_iterator();
         it.increment(error)) {
        const fs::path& path = it->path();
        const std::string rel = path.lexically_relative(dir).generic_string();
        std::error_code status_error;
        const fs::file_status status = fs::symlink_status(path, status_error);
        const auto mode = static_cast<unsigned>(status.permissions()) & 07777u;
        if (fs::is_symlink(status)) {
            state[rel] = "link to " + fs::read_symlink(path, status_error).string();
        } else if (fs::is_directory(status)) {
            state[rel] = "folder";
        } else if (fs::is_regular_file(status) && contents && rel != apart) {
            const std::vector<std::uint8_t> bytes = testsupport::ReadFileBytes(path.string());
            state[rel] = FileText(bytes.size(), HashBytes(bytes.data(), bytes.size()), mode);
        } else if (fs::is_regular_file(status)) {
            state[rel] = FileText(fs::file_size(path, status_error), std::nullopt, mode);
        } else {
            state[rel] = "neither file nor folder";
        }
    }
    if (error) state["?"] = "cannot list " + dir + ": " + error.message();
    return state;
}

// Every get has a folder of its own: the destination is made there as the
// kind asks, so that afterwards the folder can be held to exactly what the
// get should have left in it, and no temporary file besides.
SequenceRun::GetWatch SequenceRun::PrepareGet(const Op& op) {
    GetWatch watch;
    const std::string dir = local_ + "/gets";
    fs::remove_all(dir);
    fs::create_directories(dir);
    Line("rm -rf \"$L/gets\"; mkdir -p \"$L/gets\"");
    auto held_file = [&](const std::string& rel) {
        testsupport::WriteFileBytes(dir + "/" + rel, ContentBytes(op.content, op.size));
        fs::permissions(dir + "/" + rel, static_cast<fs::perms>(kHeldMode));
        const std::string script_path = "\"$L/gets/\"" + Quote(rel);
        Line("\"$GEN\" --make-file " + script_path + " " + std::to_string(op.size) + " " + Hex(op.content) + "; chmod " +
             Octal(kHeldMode) + " " + script_path);
    };
    watch.dest = dir + "/out";
    watch.script_dest = "\"$L/gets/out\"";
    switch (op.dest) {
        case GetDest::kNew:
            break;
        case GetDest::kFile:
            held_file("out");
            break;
        case GetDest::kFolder:
        case GetDest::kFolderHolding: {
            fs::create_directories(watch.dest);
            Line("mkdir \"$L/gets/out\"");
            // No volume entry can carry a ':' in its name, so this one is
            // never the file the get brings.
            const Node* file = model_.FindVisible(op.path);
            held_file(op.dest == GetDest::kFolderHolding && file ? "out/" + file->name : "out/unrelated:file");
            break;
        }
        case GetDest::kImage: {
            switch (op.variant) {
                case 0:
                    watch.dest = image_;
                    watch.script_dest = "\"$IMG\"";
                    break;
                case 1:
                    watch.dest = dir + "/link.img";
                    fs::create_symlink(image_, watch.dest);
                    watch.script_dest = "\"$L/gets/link.img\"";
                    Line("ln -s \"$IMG\" " + watch.script_dest);
                    break;
                case 2:
                    watch.dest = dir + "/hard.img";
                    fs::create_hard_link(image_, watch.dest);
                    watch.script_dest = "\"$L/gets/hard.img\"";
                    Line("ln \"$IMG\" " + watch.script_dest);
                    break;
                default:
                    watch.dest = local_ + "/../volume.img";
                    watch.script_dest = "\"$L/../volume.img\"";
                    break;
            }
            std::string error;
            if (!HashImage(image_, &watch.image_hash, &error)) watch.work["?"] = error;
            // The image's own folder, where a temporary file beside it would land.
            for (const auto& [path, what] : LocalState(work_, false))
                if (path.rfind("local/", 0) != 0) watch.work[path] = what;
            break;
        }
    }
    watch.held = LocalState(dir, op.dest != GetDest::kImage);
    return watch;
}

std::optional<std::pair<std::string, std::string>> SequenceRun::JudgeGet(const Op& op, bool ok, const GetWatch& watch) {
    using Problem = std::pair<std::string, std::string>;
    const std::string dir = local_ + "/gets";
    if (op.dest == GetDest::kImage) {
        if (ok) return std::nullopt;  // judged as an unexpected success
        ++stats_->get_onto_image;
        std::uint64_t digest = 0;
        std::string error;
        if (!HashImage(image_, &digest, &error)) return Problem{"image-changed", error};
        if (digest != watch.image_hash)
            return Problem{"image-changed", "the refused get onto the image changed the image's bytes"};
        std::map<std::string, std::string> work;
        for (const auto& [path, what] : LocalState(work_, false))
            if (path.rfind("local/", 0) != 0) work[path] = what;
        const std::string beside = LocalDifference(watch.work, work);
        if (!beside.empty()) return Problem{"image-beside", "the refused get onto the image changed its folder:" + beside};
        const std::string held = LocalDifference(watch.held, LocalState(dir, false));
        if (!held.empty()) return Problem{"image-beside", "the refused get onto the image changed the get's folder:" + held};
        return std::nullopt;
    }
    std::map<std::string, std::string> after = LocalState(dir, !ok);
    if (!ok) {
        const std::string changed = LocalDifference(watch.held, after);
        if (!changed.empty()) return Problem{"failed-get-local", "the failed get changed local files:" + changed};
        if (op.dest != GetDest::kNew) ++stats_->get_failed_kept;
        return std::nullopt;
    }
    const Node* file = model_.FindVisible(op.path);
    if (!file) return Problem{"unexpected-success", "get of an entry the model does not hold"};
    std::string produced = "out";
    if (op.dest == GetDest::kFolderHolding) produced = "out/" + file->name;
    if (op.dest == GetDest::kFolder) {
        // The folder takes the file under its name; asked for in another
        // case, the spelling asked for and the stored one both qualify, but
        // one file must come of it.
        std::vector<std::string> landed;
        for (const std::string& name : {Model::Split(op.path).second, file->name}) {
            const std::string rel = "out/" + name;
            if (after.count(rel) && !watch.held.count(rel) &&
                std::find(landed.begin(), landed.end(), rel) == landed.end())
                landed.push_back(rel);
        }
        if (landed.size() != 1)
            return Problem{"get-into-folder", "the folder should hold the file as " + file->name + ":" +
                                                  LocalDifference(watch.held, after)};
        produced = landed.front();
    }
    const std::vector<std::uint8_t> read = testsupport::ReadFileBytes(dir + "/" + produced);
    const std::string bytes(read.begin(), read.end());
    if (!SameContent(bytes, file->content, file->size)) {
        Line("\"$GEN\" --check-file \"$L/gets/\"" + Quote(produced) + " " + std::to_string(file->size) + " " +
             Hex(file->content));
        return Problem{"get-content", "get onto " + std::string(GetDestName(op.dest)) + " left " +
                                          std::to_string(bytes.size()) + " bytes in " + produced + ", expected " +
                                          std::to_string(file->size) + "; first difference at byte " +
                                          std::to_string(FirstDifference(bytes, file->content, file->size)) +
                                          WhoseBytes(bytes)};
    }
    // Everything else as it was, and only the copy's bytes new.
    after = LocalState(dir, true, produced);
    std::map<std::string, std::string> expected = watch.held;
    const bool replaced = op.dest == GetDest::kFile || op.dest == GetDest::kFolderHolding;
    expected[produced] = FileText(read.size(), std::nullopt, replaced ? kHeldMode : NewFileMode());
    const std::string difference = LocalDifference(expected, after);
    if (!difference.empty())
        return Problem{"get-local-state", "after the get onto " + std::string(GetDestName(op.dest)) +
                                              " the local folder holds other than the copy alone:" + difference};
    ++stats_->gets;
    if (op.dest == GetDest::kFile) ++stats_->get_onto_file;
    if (op.dest == GetDest::kFolder) ++stats_->get_into_folder;
    if (op.dest == GetDest::kFolderHolding) ++stats_->get_into_folder_holding;
    return std::nullopt;
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
