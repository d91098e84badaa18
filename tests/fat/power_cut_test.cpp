// Power cuts and failed reads in the middle of the volume commands.
//
// Each command (put, mkdir, rename, rm -r) runs through the engine's public
// calls the way quillon-cli makes them, on a fresh copy of a prepared image,
// once for every write it makes with the power cut after that write, once
// for every write torn half-way, and once for every read failing. After each
// run the volume is mounted again as a new session would: it must mount,
// everything the command did not touch must read back byte for byte, what
// it did touch must be in its old or its new state (a renamed file may be
// under neither name only while its clusters still hold it whole), and
// fsck.fat may find nothing but what an interrupted update leaves by
// design: lost clusters, a stale free-cluster count, the dirty bit. A
// command that reports success must have done all of its work.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <ostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "transfer/volume_paths.h"
#include "fat/engine_fixture.h"
#include "fat/power_cut_media.h"

using namespace testsupport;
using powercut::Fault;

namespace {

// ---- what a volume holds ---------------------------------------------------

struct Node {
    bool directory = false;
    bool readable = true;
    std::vector<std::uint8_t> data;
};
using Tree = std::map<std::string, Node>;  // every path below the root

bool SameNode(const Node& a, const Node& b) {
    return a.directory == b.directory && a.readable == b.readable && a.data == b.data;
}

std::string Describe(const Node& node) {
    if (node.directory) return "a folder";
    if (!node.readable) return "an unreadable file";
    return "a file of " + std::to_string(node.data.size()) + " bytes";
}

bool Contains(const Tree& tree, const std::string& path) { return tree.count(path) != 0; }

bool IsBelow(const std::string& path, const std::string& folder) {
    return path == folder || path.rfind(folder + "/", 0) == 0;
}

// ---- the commands, through the engine calls quillon-cli makes ------------

constexpr const char* kStamp = "2024-05-06 12:34:56";

// One command's run. An engine call during which a read failed must report
// failure, even when the engine read the sector again and went on; the
// calls that cannot report it (listing, close) are judged by what the
// command as a whole reports.
struct CommandRun {
    std::function<std::string(std::uint32_t, std::uint32_t)> label;
    std::vector<std::string> problems;
    const powercut::MediaState* media = nullptr;  // the device the command runs on

    struct Mark {
        std::uint32_t failed_reads;
        std::size_t log_size;
    };
    Mark Before() const { return Mark{media->failed_reads, media->log.size()}; }

    void Check(const std::string& call, bool reported_failure, Mark before) {
        if (media->failed_reads == before.failed_reads || reported_failure) return;
        std::string what;
        for (std::size_t i = before.log_size; i < media->log.size(); ++i) {
            const powercut::Transfer& t = media->log[i];
            if (t.write || t.outcome != powercut::Outcome::kFailed) continue;
            bool read_again = false;
            for (std::size_t j = i + 1; j < media->log.size(); ++j) {
                const powercut::Transfer& u = media->log[j];
                read_again = read_again || (!u.write && u.outcome == powercut::Outcome::kDone &&
                                            u.sector <= t.sector && t.sector < u.sector + u.count);
            }
            what += (what.empty() ? "" : ", ") + label(t.sector, t.count) +
                    (read_again ? " (read again later)" : " (never read again)");
        }
        problems.push_back(call + " reported success although a read failed during it: " + what);
    }
    bool LookUp(const std::string& path, FatEntryInfo* info) {
        if (path == "/") return false;
        const Mark before = Before();
        const bool found = FatLookupEntry(path.c_str(), info) == 1;
        Check("FatLookupEntry(" + path + ")", !found, before);
        return found;
    }
    bool IsVolumeFolder(const std::string& path) {
        FatEntryInfo info{};
        return path == "/" || (LookUp(path, &info) && info.is_directory);
    }
    // put LOCAL DIR for one local file with these bytes.
    bool Put(const std::string& volume_dir, const std::string& name, const std::vector<std::uint8_t>& data) {
        if (!IsVolumeFolder(volume_dir)) return false;
        const std::string target = JoinVolumePath(volume_dir, name);
        if (IsVolumeFolder(target)) return false;
        Mark before = Before();
        FatFile* file = FatOpenWriteStamped(target.c_str(), kStamp);
        Check("FatOpenWriteStamped(" + target + ")", file == nullptr, before);
        if (!file) return false;
        before = Before();
        const int written = FatWriteFile(file, data.data(), static_cast<std::uint32_t>(data.size()));
        bool whole = written == static_cast<int>(data.size());
        Check("FatWriteFile(" + target + ")", !whole, before);
        // The file counts as written only once its flush reached the medium.
        if (whole) {
            before = Before();
            whole = FatFlushFile(file) == 0;
            Check("FatFlushFile(" + target + ")", !whole, before);
        }
        FatCloseFile(file);
        if (!whole) {
            // The command takes a half-written file away again.
            before = Before();
            const int deleted = FatDeleteFile(target.c_str());
            Check("FatDeleteFile(" + target + ")", deleted != 0, before);
            return false;
        }
        return true;
    }
    bool Mkdir(const std::string& path) {
        FatEntryInfo info{};
        if (LookUp(path, &info)) return false;
        const Mark before = Before();
        const int made = FatMakeDirectory(path.c_str());
        Check("FatMakeDirectory(" + path + ")", made == 0, before);
        return made == 1;
    }
    bool Rename(const std::string& path, const std::string& new_name) {
        FatEntryInfo info{};
        if (!LookUp(path, &info)) return false;
        const std::string parent = path.substr(0, path.rfind('/'));
        const bool same_entry = FatNamesMatch(info.name, new_name.c_str()) == 1;
        if (!same_entry && LookUp(JoinVolumePath(parent.empty() ? "/" : parent, new_name), &info)) return false;
        const Mark before = Before();
        const int renamed = FatRenamePath(path.c_str(), new_name.c_str());
        Check("FatRenamePath(" + path + ")", renamed == 0, before);
        return renamed == 1;
    }
    // Several puts in one batch of writes, as quillon-cli's put of a tree
    // makes them: done only when the batch's write-back is.
    bool InOneBatch(const std::function<bool()>& puts) {
        fat::DefaultVolume().BeginBatch();
        const bool all_put = puts();
        const Mark before = Before();
        const fat::Result written = fat::DefaultVolume().EndBatch();
        Check("EndBatch", written != fat::Result::Ok, before);
        return all_put && written == fat::Result::Ok;
    }
    // rm -r PATH: a lookup of its own, then the tree.
    bool RemoveRecursively(const std::string& path) {
        FatEntryInfo info{};
        return LookUp(path, &info) && RemoveTree(path);
    }
    bool RemoveTree(const std::string& path) {
        FatEntryInfo info{};
        if (!LookUp(path, &info)) return false;
        if (!info.is_directory) {
            const Mark before = Before();
            const int deleted = FatDeleteFile(path.c_str());
            Check("FatDeleteFile(" + path + ")", deleted != 0, before);
            return deleted == 0;
        }
        FatEntryInfoList entries;
        FatListDirectory(entries, path.c_str());
        for (const auto& entry : entries) {
            const std::string name = entry.name;
            if (name == "." || name == "..") continue;
            if (!RemoveTree(JoinVolumePath(path, name))) return false;
        }
        const Mark before = Before();
        const int removed = FatRemoveDirectory(path.c_str());
        Check("FatRemoveDirectory(" + path + ")", removed == 0, before);
        return removed == 1;
    }
};

// ---- the prepared image ------------------------------------------------------

struct ImageKind {
    const char* name;
    std::uint64_t bytes;
    const char* mkfs_options;
    bool fat32;
};

// FAT16 with clusters of four sectors; FAT32 with one sector per cluster,
// where a directory cluster holds 16 slots and grows soon; FAT32 with
// clusters of eight sectors, on a volume just large enough for FAT32 with
// them. The images are sparse.
const ImageKind kFat16{"Fat16", 16u << 20, "-F 16 -s 4", false};
const ImageKind kFat32{"Fat32", 40u << 20, "-F 32 -s 1", true};
const ImageKind kFat32Wide{"Fat32Cluster4K", 300u << 20, "-F 32 -s 8", true};

// The paths the commands work on.
const std::string kNewFile = "/docs/New photo 0001.jpg";
const std::string kOldFile = "/old.bin";
const std::string kNewFolder = "/docs/Folder made by mkdir";
const std::string kFullFolder = "/full";
const std::string kRenamed = "/full/E005";
const std::string kRenamedTo = "Renamed entry with a long name.txt";
const std::string kRenamedPath = kFullFolder + "/" + kRenamedTo;
const std::string kFolderInFull = "/full/Folder with a long name";
const std::string kTree = "/tree";
// What the batched put writes: two new files whose entries lie across two
// sectors, a new folder with a file, a replace between them (a change that
// takes the old content away) and a file that grows the full folder.
const std::string kBatchFirst = "/docs/Batch photo 0001.jpg";
const std::string kBatchFolder = "/docs/Batch folder";
const std::string kBatchInner = kBatchFolder + "/Inner file.txt";
const std::string kBatchInFull = "/full/Batch photo 0002.jpg";

struct Prepared {
    std::string base;  // never written once prepared
    std::string work;  // the copy the commands run on
    Tree tree;
    std::vector<std::uint8_t> new_content;      // put of a new file
    std::vector<std::uint8_t> replace_content;  // put over kOldFile
    std::map<std::uint32_t, std::string> owner;  // cluster -> path, for the write log
    std::vector<std::uint32_t> renamed_chain;
};

// ---- fsck.fat's findings -----------------------------------------------------

// Lines fsck.fat -n prints for what an interrupted update may leave: lost
// clusters, a free count that is stale or unknown, the dirty flag. Found by
// running it on images damaged in just these ways. Two FAT copies differ
// whenever a cut falls between the writes of one FAT sector to each copy;
// fsck.fat then goes by the first copy, the one the engine reads, and
// judges that copy by all its other checks.
const std::vector<std::regex>& AllowedFsckLines() {
    static const std::vector<std::regex> lines = {
        std::regex(R"(fsck\.fat \d+\.\d+.*)"),
        std::regex(R"(\s*)"),
        std::regex(R"(Leaving filesystem unchanged\.)"),
        std::regex(R"(.*: \d+ files?, \d+/\d+ clusters)"),
        std::regex(R"(Reclaimed \d+ unused clusters? \(\d+ bytes\)( in \d+ chains?)?\.)"),
        std::regex(R"(Free cluster summary wrong \(\d+ vs\. really \d+\))"),
        std::regex(R"(Free cluster summary uninitialized \(should be \d+\))"),
        std::regex(R"(  Auto-correcting\.)"),
        std::regex(R"(Dirty bit is set\. Fs was not properly unmounted and some data may be corrupt\.)"),
        std::regex(R"( Automatically removing dirty bit\.)"),
        std::regex(R"(FATs differ but appear to be intact\.)"),
        std::regex(R"(  Using first FAT\.)"),
    };
    return lines;
}

struct FsckVerdict {
    std::vector<std::string> not_allowed;
    std::string output;
};

FsckVerdict JudgeFsck(const std::string& image) {
    const RunResult r = Fsck(image);
    FsckVerdict verdict;
    verdict.output = "fsck.fat -n (exit " + std::to_string(r.exit_code) + "):\n" + r.out + r.err;
    if (r.exit_code != 0 && r.exit_code != 1)
        verdict.not_allowed.push_back("fsck.fat exit code " + std::to_string(r.exit_code));
    std::istringstream lines(r.out + r.err);
    std::string line;
    while (std::getline(lines, line)) {
        bool allowed = false;
        for (const auto& pattern : AllowedFsckLines()) allowed = allowed || std::regex_match(line, pattern);
        if (!allowed) verdict.not_allowed.push_back(line);
    }
    return verdict;
}

// ---- the operations ----------------------------------------------------------

struct Operation {
    const char* name;
    std::function<bool(CommandRun&, const Prepared&)> run;
    // Whether a path is one the command may change or create.
    std::function<bool(const Prepared&, const std::string&)> touches;
    // What the touched paths may look like afterwards: problems, if any.
    std::function<void(const Prepared&, const Tree&, bool reported_success, std::vector<std::string>&)> judge;
};

void JudgeFile(const Tree& after, const std::string& path, const std::vector<std::vector<std::uint8_t>>& allowed,
               bool may_be_absent, const std::vector<std::uint8_t>* required, std::vector<std::string>& problems) {
    const auto it = after.find(path);
    if (it == after.end()) {
        if (!may_be_absent || required) problems.push_back(path + " is missing");
        return;
    }
    const Node& node = it->second;
    if (node.directory || !node.readable) {
        problems.push_back(path + " is " + Describe(node));
        return;
    }
    if (required) {
        if (node.data != *required) problems.push_back(path + " is " + Describe(node) + ", not the whole new content");
        return;
    }
    for (const auto& content : allowed)
        if (node.data == content) return;
    problems.push_back(path + " is " + Describe(node) + " matching neither its old nor its new content");
}

bool IsNewChild(const Prepared& p, const std::string& path, const std::string& folder) {
    return path.rfind(folder + "/", 0) == 0 && path.find('/', folder.size() + 1) == std::string::npos &&
           !Contains(p.tree, path);
}

// A cut between the sector with the long-name parts and the one with the
// short entry may leave the short entry alone, under the alias the engine
// chose for the name: an empty folder, or a file that is empty or (its
// entry being written after its data) whole, is all it may be then.
void JudgeAliasLeftovers(const Prepared& p, const Tree& after, const std::string& folder, const std::string& wanted,
                         const std::regex& alias, bool directory, std::vector<std::string>& problems,
                         const std::vector<std::uint8_t>* whole = nullptr) {
    for (const auto& [path, node] : after) {
        if (path == wanted || !IsNewChild(p, path, folder)) continue;
        const std::string name = path.substr(folder.size() + 1);
        const bool file_as_allowed =
            !node.directory && node.readable && (node.data.empty() || (whole && node.data == *whole));
        const bool empty = directory ? node.directory : file_as_allowed;
        bool holds_more = false;
        for (const auto& [inner, unused] : after) holds_more = holds_more || (inner != path && IsBelow(inner, path));
        if (!std::regex_match(name, alias) || !empty || holds_more)
            problems.push_back("unexpected " + path + " (" + Describe(node) + ")");
    }
}

// The renamed file's cluster chain is still allocated as it was, with its
// bytes: a file no name holds any more is then lost clusters that checkers
// recover whole.
bool ChainHoldsFile(const std::vector<std::uint32_t>& chain, const std::vector<std::uint8_t>& data) {
    FatVolume& volume = FatTheVolume();
    const std::uint32_t cluster_bytes = volume.sectors_per_cluster * kSectorSize;
    std::vector<std::uint8_t> bytes(cluster_bytes);
    for (std::size_t i = 0; i < chain.size(); ++i) {
        const std::uint32_t next = FatNextCluster(volume, chain[i]);
        if (next != (i + 1 < chain.size() ? chain[i + 1] : kFatEndOfChain)) return false;
        if (!volume.device->Read(FatClusterToSector(volume, chain[i]), bytes.data(), volume.sectors_per_cluster))
            return false;
        const std::size_t from = i * cluster_bytes;
        const std::size_t length = std::min<std::size_t>(cluster_bytes, data.size() - std::min(data.size(), from));
        const auto expected = data.begin() + static_cast<long>(from);
        if (!std::equal(bytes.begin(), bytes.begin() + static_cast<long>(length), expected)) return false;
    }
    return !chain.empty();
}

// A new folder: there and empty, or absent unless the command reported success.
void JudgeNewFolder(const Prepared& p, const Tree& after, const std::string& folder, const std::string& path,
                    bool success, std::vector<std::string>& problems) {
    const auto it = after.find(path);
    if (it == after.end()) {
        if (success) problems.push_back(path + " is missing");
    } else if (!it->second.directory) {
        problems.push_back(path + " is " + Describe(it->second));
    }
    for (const auto& [inner, node] : after)
        if (inner != path && IsBelow(inner, path)) problems.push_back("the new folder holds " + inner);
    JudgeAliasLeftovers(p, after, folder, path, std::regex(R"([A-Z0-9_]{1,6}~\d+)", std::regex::icase), true, problems);
}

// A new child of a folder after a batched put: under a name it was given,
// a folder where a folder was made, or a file holding nothing yet or its
// whole content; under an alias (the long name's sector not written), a
// folder or a file holding nothing or the whole content of one given.
bool FitsGivenContent(const Node& node, const std::vector<std::uint8_t>* content) {
    return !node.directory && node.readable && content && (node.data.empty() || node.data == *content);
}

void JudgeBatchChildren(const Prepared& p, const Tree& after, const std::string& folder,
                        const std::map<std::string, const std::vector<std::uint8_t>*>& given,
                        std::vector<std::string>& problems) {
    static const std::regex alias(R"([A-Z0-9_]{1,6}~\d+(\.[A-Z]{1,3})?)", std::regex::icase);
    for (const auto& [path, node] : after) {
        if (!IsNewChild(p, path, folder)) continue;
        bool fits = false;
        if (const auto named = given.find(path); named != given.end()) {
            fits = named->second ? FitsGivenContent(node, named->second) : node.directory;
        } else if (std::regex_match(path.substr(folder.size() + 1), alias)) {
            fits = node.directory;
            for (const auto& [name, content] : given) fits = fits || FitsGivenContent(node, content);
        }
        if (!fits) problems.push_back("unexpected " + path + " (" + Describe(node) + ")");
    }
}

const std::vector<Operation>& Operations() {
    static const std::vector<Operation> operations = {
        {"put_new_file",
         [](CommandRun& c, const Prepared& p) { return c.Put("/docs", "New photo 0001.jpg", p.new_content); },
         [](const Prepared& p, const std::string& path) { return IsNewChild(p, path, "/docs"); },
         [](const Prepared& p, const Tree& after, bool success, std::vector<std::string>& problems) {
             JudgeFile(after, kNewFile, {{}, p.new_content}, true, success ? &p.new_content : nullptr, problems);
             JudgeAliasLeftovers(p, after, "/docs", kNewFile, std::regex(R"([A-Z0-9_]{1,6}~\d+\.JPG)", std::regex::icase), false,
                                 problems, &p.new_content);
         }},
        {"put_replace_file",
         [](CommandRun& c, const Prepared& p) { return c.Put("/", "old.bin", p.replace_content); },
         [](const Prepared&, const std::string& path) { return path == kOldFile; },
         [](const Prepared& p, const Tree& after, bool success, std::vector<std::string>& problems) {
             // The command deletes a file it could not write whole.
             JudgeFile(after, kOldFile, {{}, p.tree.at(kOldFile).data, p.replace_content}, true,
                       success ? &p.replace_content : nullptr, problems);
         }},
        {"mkdir",
         [](CommandRun& c, const Prepared&) { return c.Mkdir(kNewFolder); },
         [](const Prepared& p, const std::string& path) {
             return IsBelow(path, kNewFolder) || IsNewChild(p, path, "/docs");
         },
         [](const Prepared& p, const Tree& after, bool success, std::vector<std::string>& problems) {
             JudgeNewFolder(p, after, "/docs", kNewFolder, success, problems);
         }},
        {"mkdir_grows_directory",
         [](CommandRun& c, const Prepared&) { return c.Mkdir(kFolderInFull); },
         [](const Prepared& p, const std::string& path) {
             return IsBelow(path, kFolderInFull) || IsNewChild(p, path, kFullFolder);
         },
         [](const Prepared& p, const Tree& after, bool success, std::vector<std::string>& problems) {
             JudgeNewFolder(p, after, kFullFolder, kFolderInFull, success, problems);
         }},
        {"rename_grows_directory",
         [](CommandRun& c, const Prepared&) { return c.Rename(kRenamed, kRenamedTo); },
         [](const Prepared&, const std::string& path) { return path == kRenamed || path == kRenamedPath; },
         [](const Prepared& p, const Tree& after, bool success, std::vector<std::string>& problems) {
             // Under one of its names with all its bytes; between retiring
             // the old name and writing the new one, under none, but then
             // its clusters must still hold it.
             const bool old_there = Contains(after, kRenamed), new_there = Contains(after, kRenamedPath);
             const Node& original = p.tree.at(kRenamed);
             if (!old_there && !new_there && !ChainHoldsFile(p.renamed_chain, original.data))
                 problems.push_back("the renamed file is under neither name, and its clusters no longer hold it");
             if (old_there && new_there) problems.push_back("the renamed file is under both names");
             if (old_there && !SameNode(after.at(kRenamed), original))
                 problems.push_back(kRenamed + " is " + Describe(after.at(kRenamed)) + ", not its old content");
             if (new_there && !SameNode(after.at(kRenamedPath), original))
                 problems.push_back(kRenamedPath + " is " + Describe(after.at(kRenamedPath)) +
                                    ", not the renamed file's content");
             if (success && (old_there || !new_there))
                 problems.push_back("the rename reported success but the file is not (only) under its new name");
         }},
        {"put_batch",
         [](CommandRun& c, const Prepared& p) {
             return c.InOneBatch([&] {
                 return c.Put("/docs", "Batch photo 0001.jpg", p.new_content) && c.Mkdir(kBatchFolder) &&
                        c.Put(kBatchFolder, "Inner file.txt", p.new_content) &&
                        c.Put("/", "old.bin", p.replace_content) &&
                        c.Put(kFullFolder, "Batch photo 0002.jpg", p.replace_content);
             });
         },
         [](const Prepared& p, const std::string& path) {
             return IsNewChild(p, path, "/docs") || IsBelow(path, kBatchFolder) || IsNewChild(p, path, kFullFolder) ||
                    path == kOldFile;
         },
         [](const Prepared& p, const Tree& after, bool success, std::vector<std::string>& problems) {
             JudgeFile(after, kOldFile, {{}, p.tree.at(kOldFile).data, p.replace_content}, true,
                       success ? &p.replace_content : nullptr, problems);
             JudgeBatchChildren(p, after, "/docs", {{kBatchFirst, &p.new_content}, {kBatchFolder, nullptr}}, problems);
             JudgeBatchChildren(p, after, kBatchFolder, {{kBatchInner, &p.new_content}}, problems);
             JudgeBatchChildren(p, after, kFullFolder, {{kBatchInFull, &p.replace_content}}, problems);
             if (!success) return;
             for (const auto& [path, content] : {std::pair{kBatchFirst, &p.new_content},
                                                 std::pair{kBatchInner, &p.new_content},
                                                 std::pair{kBatchInFull, &p.replace_content}})
                 JudgeFile(after, path, {}, false, content, problems);
         }},
        {"rm_tree",
         [](CommandRun& c, const Prepared&) { return c.RemoveRecursively(kTree); },
         [](const Prepared&, const std::string& path) { return IsBelow(path, kTree); },
         [](const Prepared& p, const Tree& after, bool success, std::vector<std::string>& problems) {
             // Whatever is left of the tree is as it was.
             for (const auto& [path, node] : after) {
                 if (!IsBelow(path, kTree)) continue;
                 const auto before = p.tree.find(path);
                 if (before == p.tree.end())
                     problems.push_back(path + " appeared");
                 else if (!SameNode(before->second, node))
                     problems.push_back(path + " is " + Describe(node) + " instead of " + Describe(before->second));
             }
             if (success && Contains(after, kTree))
                 problems.push_back("rm -r reported success but " + kTree + " is there");
         }},
    };
    return operations;
}

// ---- the fixture ---------------------------------------------------------------

struct CaseParam {
    const ImageKind* kind;
    std::size_t operation;
    Fault fault;
};

std::string ParamName(const CaseParam& p) {
    const char* fault = p.fault == Fault::kCutAfterWrite ? "cut"
                        : p.fault == Fault::kTornWrite   ? "torn"
                                                         : "failed_read";
    return std::string(p.kind->name) + "_" + Operations()[p.operation].name + "_" + fault;
}

void PrintTo(const CaseParam& p, std::ostream* out) { *out << ParamName(p); }

class PowerCut : public EngineFixture, public ::testing::WithParamInterface<CaseParam> {
protected:
    void TearDown() override {
        faulty_.Disarm();
        FatResetFiles();
        EngineFixture::TearDown();
    }

    int MountWrapped() { return fat::MountCodeOf(fat::DefaultVolume().Mount(faulty_)); }
    // The image the faulty device passes its transfers to.
    void AttachWrapped(const std::string& image) {
        AttachImage(image);
        faulty_.Attach(OpenImageDevice());
    }

    powercut::FaultyDevice faulty_;

    Tree Snapshot() {
        Tree tree;
        Walk("/", 0, tree);
        return tree;
    }
    void Walk(const std::string& folder, int depth, Tree& tree) {
        FatEntryInfoList entries;
        FatListDirectory(entries, folder.c_str());
        for (const auto& entry : entries) {
            const std::string name = entry.name;
            if (name == "." || name == "..") continue;
            const std::string path = JoinVolumePath(folder, name);
            Node& node = tree[path];
            node.directory = entry.is_directory != 0;
            if (node.directory) {
                if (depth < 8 && tree.size() < 1000) Walk(path, depth + 1, tree);
            } else {
                node.readable = ReadAll(path, &node.data);
            }
        }
    }

    // A whole file; an entry claiming more than the volume could hold is
    // damage and reads as unreadable instead of as a huge buffer.
    bool ReadAll(const std::string& path, std::vector<std::uint8_t>* data) {
        FatFile* file = FatOpenFile("rb", path.c_str());
        if (!file) return false;
        bool ok = file->size <= (64u << 20);
        if (ok) {
            data->assign(file->size, 0);
            ok = file->size == 0 || FatReadFile(file, file->size, data->data()) == static_cast<int>(file->size);
        }
        FatCloseFile(file);
        return ok;
    }

    // Slots of a directory that are in use (long-name parts too), or free.
    std::uint32_t CountSlots(std::uint32_t start, bool in_use) {
        FatDirScanner scan(Volume(), start);
        std::uint32_t count = 0;
        while (scan.Next())
            if (FatIsUnusedSlot(scan.Entry()) != in_use) ++count;
        return count;
    }

    void Prepare(const ImageKind& kind) {
        const std::string dir = ScratchDir();
        prepared.base = dir + "/base.img";
        prepared.work = dir + "/work.img";
        MakeFatImage(prepared.base, kind.bytes, kind.mkfs_options);
        AttachWrapped(prepared.base);
        faulty_.Disarm();
        ASSERT_EQ(MountWrapped(), kFatMountOk);
        ASSERT_EQ(Volume().is_fat32, kind.fat32 ? 1u : 0u);
        const std::uint32_t c = Volume().sectors_per_cluster * kSectorSize;

        // A hole of two clusters near the start, freed at the end, so that
        // new chains are split in two runs.
        ASSERT_TRUE(WriteWhole("/hole.bin", Pattern(2 * c, 1)));
        ASSERT_TRUE(WriteWhole("/keep1.bin", Pattern(3 * c + 100, 2)));
        ASSERT_TRUE(WriteWhole("/keep2.txt", Pattern(100, 3)));
        ASSERT_EQ(FatMakeDirectory("/docs"), 1);
        ASSERT_TRUE(WriteWhole("/docs/keep3.bin", Pattern(2 * c + 7, 4)));
        ASSERT_TRUE(WriteWhole("/docs/Keep Four, long name.dat", Pattern(50, 5)));
        // Small files until the next entry set of three slots starts at slot
        // 14 of a sector: the new file's and the new folder's entries then
        // lie across two sectors (on FAT32 across two clusters).
        FatEntryInfo docs{};
        ASSERT_EQ(FatLookupEntry("/docs", &docs), 1);
        for (int i = 0; i < 20 && CountSlots(docs.first_cluster, true) % kFatSlotsPerSector != 14; ++i) {
            const std::uint32_t at = CountSlots(docs.first_cluster, true) % kFatSlotsPerSector;
            const std::uint32_t missing = (14 + kFatSlotsPerSector - at) % kFatSlotsPerSector;
            char name[48];
            // Two slots for a short lower-case name, three for a longer one.
            std::snprintf(name, sizeof name, missing % 2 ? "/docs/Padding file %02d.txt" : "/docs/pad%02d.txt", i);
            ASSERT_TRUE(WriteWhole(name, Pattern(30 + i, 20 + i)));
        }
        ASSERT_EQ(CountSlots(docs.first_cluster, true) % kFatSlotsPerSector, 14u);
        ASSERT_TRUE(WriteWhole(kOldFile, Pattern(2 * c + 300, 6)));

        // A folder whose clusters (at least two) are full to the last slot.
        ASSERT_EQ(FatMakeDirectory(kFullFolder.c_str()), 1);
        FatEntryInfo full{};
        ASSERT_EQ(FatLookupEntry(kFullFolder.c_str(), &full), 1);
        for (int i = 0; i < 1000; ++i) {
            char name[16];
            std::snprintf(name, sizeof name, "/full/E%03d", i);
            ASSERT_TRUE(WriteWhole(name, name == kRenamed ? Pattern(c + 10, 7) : std::vector<std::uint8_t>{}));
            if (i >= 6 && Chain(full.first_cluster).size() >= 2 && CountSlots(full.first_cluster, false) == 0) break;
        }
        ASSERT_EQ(CountSlots(full.first_cluster, false), 0u);

        ASSERT_EQ(FatMakeDirectory(kTree.c_str()), 1);
        ASSERT_TRUE(WriteWhole("/tree/a.txt", Pattern(40, 8)));
        ASSERT_EQ(FatMakeDirectory("/tree/sub"), 1);
        ASSERT_TRUE(WriteWhole("/tree/sub/b.bin", Pattern(2 * c + 1, 9)));
        ASSERT_TRUE(WriteWhole("/tree/sub/A file with a long name.txt", Pattern(10, 10)));
        ASSERT_EQ(FatMakeDirectory("/tree/sub/deeper"), 1);
        ASSERT_TRUE(WriteWhole("/tree/z.bin", Pattern(c + 3, 11)));
        ASSERT_EQ(FatDeleteFile("/hole.bin"), 0);

        // Both span more clusters than one FAT sector describes, so their
        // chains reach into two FAT sectors.
        const std::uint32_t per_fat_sector = kSectorSize / (kind.fat32 ? 4 : 2);
        prepared.new_content = Pattern((per_fat_sector + 5) * c + 700, 12);
        prepared.replace_content = Pattern((per_fat_sector + 3) * c + 33, 13);

        ASSERT_EQ(MountWrapped(), kFatMountOk);
        prepared.tree = Snapshot();
        ASSERT_TRUE(Contains(prepared.tree, kRenamed));
        FatEntryInfo renamed{};
        ASSERT_EQ(FatLookupEntry(kRenamed.c_str(), &renamed), 1);
        prepared.renamed_chain = Chain(renamed.first_cluster);
        ASSERT_TRUE(Contains(prepared.tree, "/tree/sub/deeper"));
        NoteOwners();
        const RunResult base_fsck = Fsck(prepared.base);
        ASSERT_EQ(base_fsck.exit_code, 0) << base_fsck.out << base_fsck.err;

        const RunResult copied =
            testsupport::Run("cp --sparse=always " + Quote(prepared.base) + " " + Quote(prepared.work));
        ASSERT_EQ(copied.exit_code, 0) << copied.err;
        AttachWrapped(prepared.work);
        faulty_.ForgetTouched();
    }

    void NoteOwners() {
        std::vector<std::pair<std::string, std::uint32_t>> starts = {{"/", Volume().root_cluster}};
        for (const auto& [path, node] : prepared.tree) {
            FatEntryInfo info{};
            if (FatLookupEntry(path.c_str(), &info) && info.first_cluster)
                starts.emplace_back(path, info.first_cluster);
        }
        for (const auto& [path, first] : starts)
            if (FatIsDataCluster(Volume(), first))
                for (std::uint32_t cluster : Chain(first)) prepared.owner[cluster] = path;
    }

    // Puts back every sector the last runs wrote.
    void RestoreWork() {
        std::ifstream base(prepared.base, std::ios::binary);
        std::fstream work(prepared.work, std::ios::binary | std::ios::in | std::ios::out);
        std::vector<char> sector(kSectorSize);
        for (std::uint32_t s : faulty_.State().touched) {
            base.seekg(std::streamoff{s} * kSectorSize);
            base.read(sector.data(), kSectorSize);
            work.seekp(std::streamoff{s} * kSectorSize);
            work.write(sector.data(), kSectorSize);
        }
        faulty_.ForgetTouched();
    }

    // The sectors where the work image differs from the base, with their
    // bytes: equal keys are equal images, so fsck.fat runs once per state.
    std::string DifferenceKey() {
        std::ifstream base(prepared.base, std::ios::binary);
        std::ifstream work(prepared.work, std::ios::binary);
        std::string key;
        std::string a(kSectorSize, '\0'), b(kSectorSize, '\0');
        for (std::uint32_t s : faulty_.State().touched) {
            base.seekg(std::streamoff{s} * kSectorSize);
            base.read(a.data(), kSectorSize);
            work.seekg(std::streamoff{s} * kSectorSize);
            work.read(b.data(), kSectorSize);
            if (a != b) key += std::to_string(s) + ":" + b;
        }
        return key;
    }

    // Names a sector range for the write log.
    std::string Label(std::uint32_t sector, std::uint32_t count) {
        const FatVolume& v = Volume();
        std::ostringstream out;
        if (sector < v.reserved_sectors) {
            if (sector == 0)
                out << "boot sector";
            else if (v.is_fat32 && sector == v.fsinfo_sector)
                out << "FSInfo";
            else
                out << "reserved sector " << sector;
        } else if (sector < v.first_fat_sector + std::uint32_t{v.fat_count} * v.fat_size) {
            const std::uint32_t offset = sector - v.first_fat_sector;
            const std::uint32_t per = v.is_fat32 ? 128 : 256;
            out << "FAT" << offset / v.fat_size + 1 << " sector " << offset % v.fat_size << " (clusters "
                << offset % v.fat_size * per << "-" << (offset % v.fat_size + 1) * per - 1 << ")";
        } else if (!v.is_fat32 && sector < FatClusterToSector(v, 2)) {
            out << "root sector " << sector - FatClusterToSector(v, 0);
        } else {
            const std::uint32_t data = sector - FatClusterToSector(v, 2);
            const std::uint32_t cluster = data / v.sectors_per_cluster + 2;
            const std::uint32_t last = (data + count - 1) / v.sectors_per_cluster + 2;
            out << "cluster " << cluster;
            if (last != cluster) out << "-" << last;
            if (v.sectors_per_cluster > 1) out << " +" << data % v.sectors_per_cluster;
            const auto owner = prepared.owner.find(cluster);
            out << " (" << (owner == prepared.owner.end() ? std::string("free before") : owner->second) << ")";
        }
        if (count > 1) out << ", " << count << " sectors";
        return out.str();
    }

    std::string TransferLog(bool writes_only) {
        std::ostringstream out;
        std::uint32_t reads = 0, writes = 0;
        for (const auto& t : faulty_.State().log) {
            const std::uint32_t number = t.write ? ++writes : ++reads;
            if (writes_only && !t.write) continue;
            out << "    " << (t.write ? "write " : "read ") << number << ": " << Label(t.sector, t.count);
            switch (t.outcome) {
                case powercut::Outcome::kDone: break;
                case powercut::Outcome::kTorn: out << "  <- TORN (" << t.bytes_through << " bytes reached)"; break;
                case powercut::Outcome::kRefused: out << "  <- refused (no power)"; break;
                case powercut::Outcome::kFailed: out << "  <- FAILED"; break;
            }
            out << "\n";
        }
        return out.str();
    }

    struct CaseResult {
        bool reported_success = false;
        std::uint32_t reads = 0, writes = 0;
        std::vector<std::string> problems;
        std::string fsck_output;
        std::string log;
    };

    // One run of the command with the fault at N, and everything checked after it.
    CaseResult RunCase(const Operation& op, Fault fault, std::uint32_t at) {
        CaseResult result;
        RestoreWork();
        faulty_.Disarm();
        if (MountWrapped() != kFatMountOk) {
            result.problems.push_back("the prepared image does not mount");
            return result;
        }
        CommandRun command;
        command.media = &faulty_.State();
        command.label = [this](std::uint32_t sector, std::uint32_t count) { return Label(sector, count); };
        faulty_.Arm(fault, at, true);
        result.reported_success = op.run(command, prepared);
        result.reads = faulty_.State().reads;
        result.writes = faulty_.State().writes;
        result.log = TransferLog(fault != Fault::kFailRead);
        result.problems = command.problems;
        faulty_.Disarm();

        const int mounted = MountWrapped();
        if (mounted != kFatMountOk) {
            result.problems.push_back("the volume does not mount (code " + std::to_string(mounted) + ")");
        } else {
            const Tree after = Snapshot();
            for (const auto& [path, node] : prepared.tree) {
                if (op.touches(prepared, path)) continue;
                const auto it = after.find(path);
                if (it == after.end())
                    result.problems.push_back("untouched " + path + " is missing");
                else if (!SameNode(it->second, node))
                    result.problems.push_back("untouched " + path + " is " + Describe(it->second) + " instead of " +
                                              Describe(node) + (it->second.data.size() == node.data.size() &&
                                                                        !it->second.directory
                                                                    ? " with other bytes"
                                                                    : ""));
            }
            for (const auto& [path, node] : after)
                if (!op.touches(prepared, path) && !Contains(prepared.tree, path))
                    result.problems.push_back("unexpected " + path + " (" + Describe(node) + ")");
            op.judge(prepared, after, result.reported_success, result.problems);
        }
        faulty_.Disarm();

        const std::string key = DifferenceKey();
        auto cached = fsck_cache.find(key);
        if (cached == fsck_cache.end()) cached = fsck_cache.emplace(key, JudgeFsck(prepared.work)).first;
        for (const auto& line : cached->second.not_allowed) result.problems.push_back("fsck.fat: " + line);
        result.fsck_output = cached->second.output;
        return result;
    }

    Prepared prepared;
    std::map<std::string, FsckVerdict> fsck_cache;
};

TEST_P(PowerCut, every_fault_point_leaves_a_sound_volume) {
    const CaseParam param = GetParam();
    const Operation& op = Operations()[param.operation];
    ASSERT_NO_FATAL_FAILURE(Prepare(*param.kind));

    // The whole command without a fault: how many reads and writes it
    // makes, and the order of its writes.
    const CaseResult whole = RunCase(op, Fault::kNone, 0);
    const std::string heading = std::string(param.kind->name) + " " + op.name + ", " + FaultName(param.fault);
    EXPECT_TRUE(whole.reported_success) << heading << ": the command fails without any fault";
    EXPECT_TRUE(whole.problems.empty()) << heading << ": without any fault:\n  "
                                        << ::testing::PrintToString(whole.problems) << "\n"
                                        << whole.fsck_output;
    const std::uint32_t points = param.fault == Fault::kFailRead ? whole.reads : whole.writes;
    ASSERT_GT(points, 0u);
    if (std::getenv("QUILLON_POWER_CUT_LOG"))
        std::printf("%s: %u reads, %u writes:\n%s", heading.c_str(), whole.reads, whole.writes, whole.log.c_str());

    std::vector<std::uint32_t> failing;
    for (std::uint32_t n = 1; n <= points; ++n) {
        const CaseResult r = RunCase(op, param.fault, n);
        if (r.problems.empty()) continue;
        failing.push_back(n);
        std::ostringstream problems;
        for (const auto& p : r.problems) problems << "  - " << p << "\n";
        ADD_FAILURE() << heading << " at N=" << n << " (the command "
                      << (r.reported_success ? "reported success" : "reported failure") << "):\n"
                      << problems.str() << r.fsck_output << "  transfers of this run:\n"
                      << r.log;
    }
    std::ostringstream summary;
    for (std::uint32_t n : failing) summary << " " << n;
    std::printf("[ power cut ] %s: %u fault points, %zu failing%s%s\n", heading.c_str(), points, failing.size(),
                failing.empty() ? "" : ":", summary.str().c_str());
    if (!failing.empty())
        std::printf("  the whole command's writes, in order:\n%s", whole.log.c_str());
}

std::vector<CaseParam> AllCases() {
    std::vector<CaseParam> cases;
    for (const ImageKind* kind : {&kFat16, &kFat32, &kFat32Wide})
        for (std::size_t op = 0; op < Operations().size(); ++op)
            for (Fault fault : {Fault::kCutAfterWrite, Fault::kTornWrite, Fault::kFailRead})
                cases.push_back({kind, op, fault});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Commands, PowerCut, ::testing::ValuesIn(AllCases()),
                         [](const auto& info) { return ParamName(info.param); });

}  // namespace
