// The model of a volume the random operations run against: the tree of
// names with each file's size and content id, and what every operation is
// expected to do to it, including when it must, may or must not fail.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "image_geometry.h"

namespace integrity {

// A FAT name as a lookup key: ASCII letters fold, nothing else does (the
// engine folds no other letters yet, and the random mix never relies on it).
std::string FoldName(const std::string& name);
// UTF-16 units of a UTF-8 name; a long name holds at most 255.
std::size_t Utf16Units(const std::string& utf8);
// Directory slots an entry set for the name takes: one per 13 units of the
// long name and the short entry.
std::uint32_t SlotsFor(const std::string& name);

struct Node {
    std::string name;  // as stored on the volume
    bool dir = false;
    std::uint64_t size = 0;
    std::uint64_t content = 0;
    // Marked hidden by another program: quillon-cli neither lists nor finds
    // it (nor anything below it), but its name stays taken.
    bool hidden = false;
    std::map<std::string, Node> children;  // by FoldName
};

Node MakeNode(const std::string& name, bool dir, std::uint64_t size = 0, std::uint64_t content = 0);

enum class OpKind { kPutFile, kPutTree, kGet, kMkdir, kRm, kRmTree, kRename, kHide };
const char* OpKindName(OpKind kind);

// One entry of a local folder tree given to put, relative to that folder.
struct TreeItem {
    std::string rel;  // "a/b/c.txt"
    bool dir = false;
    std::uint64_t size = 0;
    std::uint64_t content = 0;
};

// Where a get writes. Every get has a scratch folder of its own, made
// afresh, so that what the get leaves there can be listed exactly.
enum class GetDest {
    kNew,            // a path that nothing holds yet
    kFile,           // an existing regular file with other bytes
    kFolder,         // an existing folder holding an unrelated file
    kFolderHolding,  // an existing folder that already holds a file of the volume name
    kImage,          // the very image the volume is read from
};
const char* GetDestName(GetDest dest);

struct Op {
    OpKind kind = OpKind::kGet;
    // put: the volume folder; every other operation: the entry's path.
    std::string path;
    // put: the local file's or folder's name; rename: the new name.
    std::string name;
    // put: the local file; get onto kFile or kFolderHolding: the bytes the
    // local file holds before the get.
    std::uint64_t size = 0;
    std::uint64_t content = 0;
    std::vector<TreeItem> tree;
    GetDest dest = GetDest::kNew;
    // get onto kImage: which spelling of the image's path DEST takes.
    int variant = 0;
};

// How a put onto an existing file stands against the free clusters: the
// new content is written beside the old, so only the first kind fits.
enum class ReplaceRoom { kNone, kBeside, kIfOldRemoved, kNever };
const char* ReplaceRoomName(ReplaceRoom room);

enum class Expect { kSucceed, kFail, kEither };

struct Prediction {
    Expect expect = Expect::kSucceed;
    std::string why;
    // A failure for want of clusters: its message must say the volume is full.
    bool out_of_room = false;
    // A put onto an existing visible file: where the new content stands.
    ReplaceRoom replace = ReplaceRoom::kNone;
    // Texts a refusal's message must hold.
    std::vector<std::string> message_parts;
};

// One step of importing a local folder tree, in the order put takes them.
struct ImportStep {
    bool dir = false;
    std::string parent;  // volume folder, spelled with the local names
    std::string name;
    std::uint64_t size = 0;
    std::uint64_t content = 0;
};

class Model {
public:
    explicit Model(const ImageGeometry& geometry);

    const Node& Root() const { return root_; }
    // Any entry, hidden or not (what mtools sees).
    const Node* Find(const std::string& path) const;
    // An entry quillon-cli can reach: no hidden entry on the way.
    const Node* FindVisible(const std::string& path) const;
    // Volume paths of every folder ("/" first) and of every entry.
    std::vector<std::string> Folders() const;
    std::vector<std::string> Entries() const;

    Prediction Predict(const Op& op, std::uint32_t free_clusters) const;
    void ApplySuccess(const Op& op);
    // The states a failed operation may leave behind; the first is "nothing
    // changed". A folder put stops part-way, a failing new file removed and
    // a failing replaced file kept as it was; a failed file put changes
    // nothing.
    std::vector<Model> FailureOutcomes(const Op& op) const;
    // The folder and name whose subtree tells the failure outcomes apart.
    static std::pair<std::string, std::string> OutcomeRegion(const Op& op);
    // After a failed rm -r: the entries below the path that the volume no
    // longer lists are gone, the rest stay as they were.
    void KeepOnlyListed(const std::string& path, const Node* listed);

    // Counts a failed operation's entry sets against the fixed root as if
    // they had been written: they may have been.
    void NoteFailure(const Op& op);

    std::uint32_t RootSlotsWritten() const { return root_slots_written_; }
    const ImageGeometry& Geometry() const { return geometry_; }

    static std::vector<ImportStep> ImportSteps(const Op& op);
    static std::string Join(const std::string& folder, const std::string& name);
    static std::pair<std::string, std::string> Split(const std::string& path);

private:
    struct StepCheck {
        Expect expect = Expect::kSucceed;  // judged on names alone
        std::string why;
        std::int64_t need_min = 0;  // clusters free before the step
        std::int64_t need_max = 0;
        // Clusters given back once the step is done: a replaced file's old
        // content, which must still be on the medium while the new is written.
        std::int64_t release = 0;
    };

    Node* FindMutable(const std::string& path);
    StepCheck CheckPutFile(const std::string& folder, const std::string& name, std::uint64_t size) const;
    StepCheck CheckMkdir(const std::string& folder, const std::string& name, bool may_exist) const;
    StepCheck CheckRename(const std::string& path, const std::string& new_name) const;
    StepCheck CheckNewEntry(bool in_root, const std::string& name, bool renaming) const;
    Prediction Combine(const StepCheck& check, std::uint32_t free_clusters) const;
    void PutFile(const std::string& folder, const std::string& name, std::uint64_t size, std::uint64_t content);
    void MakeFolder(const std::string& folder, const std::string& name);
    void NoteRootEntry(const std::string& folder, const std::string& name);
    std::int64_t Clusters(std::uint64_t bytes) const;
    std::int64_t GrowthFor(const std::string& name) const;

    ImageGeometry geometry_;
    Node root_;
    // Slots ever written into a fixed FAT16 root: past them the root is
    // still unused, so a new entry set surely fits while this leaves room.
    std::uint32_t root_slots_written_ = 0;
};

// Whether two subtrees agree on names, kinds and sizes (not contents).
bool SameShape(const Node* a, const Node* b, std::string* difference);
// The subtree as quillon-cli lists it: hidden entries left out.
Node VisiblePart(const Node& node);
bool HoldsHidden(const Node& node);

}  // namespace integrity
