#include "volume_model.h"

#include <algorithm>
#include <functional>

namespace integrity {
namespace {

constexpr std::uint32_t kSlotsPerSector = 16;
constexpr std::uint32_t kUnitsPerLongNamePart = 13;

const Node* Child(const Node& folder, const std::string& name) {
    auto found = folder.children.find(FoldName(name));
    return found == folder.children.end() ? nullptr : &found->second;
}

std::vector<std::string> Components(const std::string& path) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : path) {
        if (c == '/') {
            if (!part.empty()) parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) parts.push_back(part);
    return parts;
}

Prediction Certain(Expect expect, std::string why, bool out_of_room = false) {
    Prediction prediction;
    prediction.expect = expect;
    prediction.why = std::move(why);
    prediction.out_of_room = out_of_room;
    return prediction;
}

}  // namespace

std::string FoldName(const std::string& name) {
    std::string folded = name;
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

std::size_t Utf16Units(const std::string& utf8) {
    std::size_t units = 0;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        const auto byte = static_cast<unsigned char>(utf8[i]);
        if ((byte & 0xC0) == 0x80) continue;  // continuation
        units += byte >= 0xF0 ? 2 : 1;
    }
    return units;
}

std::uint32_t SlotsFor(const std::string& name) {
    const auto units = static_cast<std::uint32_t>(Utf16Units(name));
    return (units + kUnitsPerLongNamePart - 1) / kUnitsPerLongNamePart + 1;
}

Node MakeNode(const std::string& name, bool dir, std::uint64_t size, std::uint64_t content) {
    Node node;
    node.name = name;
    node.dir = dir;
    node.size = size;
    node.content = content;
    return node;
}

const char* OpKindName(OpKind kind) {
    switch (kind) {
        case OpKind::kPutFile: return "put";
        case OpKind::kPutTree: return "put-folder";
        case OpKind::kGet: return "get";
        case OpKind::kMkdir: return "mkdir";
        case OpKind::kRm: return "rm";
        case OpKind::kRmTree: return "rm-r";
        case OpKind::kRename: return "rename";
        case OpKind::kHide: return "hide";
    }
    return "?";
}

const char* GetDestName(GetDest dest) {
    switch (dest) {
        case GetDest::kNew: return "a new file";
        case GetDest::kFile: return "an existing file";
        case GetDest::kFolder: return "an existing folder";
        case GetDest::kFolderHolding: return "an existing folder holding a file of that name";
        case GetDest::kImage: return "the image itself";
    }
    return "?";
}

const char* ReplaceRoomName(ReplaceRoom room) {
    switch (room) {
        case ReplaceRoom::kNone: return "not a replace";
        case ReplaceRoom::kBeside: return "fits beside the old file";
        case ReplaceRoom::kIfOldRemoved: return "fits only if the old file were removed first";
        case ReplaceRoom::kNever: return "never fits";
    }
    return "?";
}

Model::Model(const ImageGeometry& geometry) : geometry_(geometry) {
    root_.dir = true;
}

std::string Model::Join(const std::string& folder, const std::string& name) {
    return folder == "/" || folder.empty() ? "/" + name : folder + "/" + name;
}

std::pair<std::string, std::string> Model::Split(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {"/", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

const Node* Model::Find(const std::string& path) const {
    const Node* node = &root_;
    for (const std::string& part : Components(path)) {
        if (!node->dir) return nullptr;
        node = Child(*node, part);
        if (!node) return nullptr;
    }
    return node;
}

const Node* Model::FindVisible(const std::string& path) const {
    const Node* node = &root_;
    for (const std::string& part : Components(path)) {
        if (!node->dir) return nullptr;
        node = Child(*node, part);
        if (!node || node->hidden) return nullptr;
    }
    return node;
}

Node* Model::FindMutable(const std::string& path) { return const_cast<Node*>(Find(path)); }

Node VisiblePart(const Node& node) {
    Node copy = node;
    copy.children.clear();
    for (const auto& [key, child] : node.children)
        if (!child.hidden) copy.children[key] = VisiblePart(child);
    return copy;
}

bool HoldsHidden(const Node& node) {
    for (const auto& [key, child] : node.children)
        if (child.hidden || HoldsHidden(child)) return true;
    return false;
}

void Model::KeepOnlyListed(const std::string& path, const Node* listed) {
    const auto [folder, leaf] = Split(path);
    Node* parent = FindMutable(folder);
    if (!parent) return;
    if (!listed) {
        parent->children.erase(FoldName(leaf));
        return;
    }
    std::function<void(Node&, const Node&)> prune = [&](Node& node, const Node& seen) {
        for (auto it = node.children.begin(); it != node.children.end();) {
            if (it->second.hidden) {
                ++it;
                continue;
            }
            auto found = seen.children.find(it->first);
            if (found == seen.children.end()) {
                it = node.children.erase(it);
                continue;
            }
            if (it->second.dir) prune(it->second, found->second);
            ++it;
        }
    };
    if (Node* node = FindMutable(path)) prune(*node, *listed);
}

std::vector<std::string> Model::Folders() const {
    std::vector<std::string> folders;
    std::function<void(const Node&, const std::string&)> walk = [&](const Node& node, const std::string& path) {
        folders.push_back(path);
        for (const auto& [key, child] : node.children)
            if (child.dir) walk(child, Join(path, child.name));
    };
    walk(root_, "/");
    return folders;
}

std::vector<std::string> Model::Entries() const {
    std::vector<std::string> entries;
    std::function<void(const Node&, const std::string&)> walk = [&](const Node& node, const std::string& path) {
        for (const auto& [key, child] : node.children) {
            entries.push_back(Join(path, child.name));
            if (child.dir) walk(child, Join(path, child.name));
        }
    };
    walk(root_, "/");
    return entries;
}

std::int64_t Model::Clusters(std::uint64_t bytes) const {
    return static_cast<std::int64_t>((bytes + geometry_.cluster_bytes - 1) / geometry_.cluster_bytes);
}

// A directory that grows for an entry set grows by at most the clusters
// the whole set would fill on its own.
std::int64_t Model::GrowthFor(const std::string& name) const {
    const std::uint32_t per_cluster = kSlotsPerSector * geometry_.sectors_per_cluster;
    return (SlotsFor(name) + per_cluster - 1) / per_cluster;
}

Model::StepCheck Model::CheckNewEntry(bool in_root, const std::string& name, bool renaming) const {
    StepCheck check;
    if (in_root && !geometry_.fat32) {
        // Every entry takes at least one slot: past that the root is surely
        // full (a renamed entry may give up its slots first).
        if (root_.children.size() + (renaming ? 0 : 1) > geometry_.root_entries) {
            check.expect = Expect::kFail;
            check.why = "the fixed root holds " + std::to_string(root_.children.size()) + " entries already";
        } else if (root_slots_written_ + SlotsFor(name) > geometry_.root_entries) {
            check.expect = Expect::kEither;
            check.why = "the fixed root may have no run of " + std::to_string(SlotsFor(name)) + " free slots";
        }
        return check;
    }
    check.need_max = GrowthFor(name);
    return check;
}

Model::StepCheck Model::CheckPutFile(const std::string& folder, const std::string& name, std::uint64_t size) const {
    StepCheck check;
    const Node* parent = FindVisible(folder);
    if (!parent || !parent->dir) {
        check.expect = Expect::kFail;
        check.why = "no such folder " + folder;
        return check;
    }
    const Node* existing = Child(*parent, name);
    if (existing && existing->hidden) {
        check.expect = Expect::kFail;
        check.why = "hidden " + Join(folder, existing->name) + " has that name";
        return check;
    }
    if (existing && existing->dir) {
        check.expect = Expect::kFail;
        check.why = Join(folder, existing->name) + " is a folder";
        return check;
    }
    const std::int64_t data = Clusters(size);
    if (existing) {
        // The new content is written beside the old, which is freed only
        // once the new one is whole: the old clusters are no room for it.
        check.need_min = data;
        check.need_max = data;
        check.release = Clusters(existing->size);
        return check;
    }
    check = CheckNewEntry(parent == &root_, name, false);
    check.need_min = data;
    check.need_max += data;
    return check;
}

Model::StepCheck Model::CheckMkdir(const std::string& folder, const std::string& name, bool may_exist) const {
    StepCheck check;
    const Node* parent = FindVisible(folder);
    if (!parent || !parent->dir) {
        check.expect = Expect::kFail;
        check.why = "no such folder " + folder;
        return check;
    }
    if (const Node* existing = Child(*parent, name)) {
        if (!(may_exist && existing->dir && !existing->hidden)) {
            check.expect = Expect::kFail;
            check.why = Join(folder, existing->name) + " already exists";
        }
        return check;
    }
    check = CheckNewEntry(parent == &root_, name, false);
    check.need_min = 1;
    check.need_max += 1;
    return check;
}

Model::StepCheck Model::CheckRename(const std::string& path, const std::string& new_name) const {
    StepCheck check;
    const Node* node = FindVisible(path);
    if (!node || node == &root_) {
        check.expect = Expect::kFail;
        check.why = "no such entry " + path;
        return check;
    }
    const auto [folder, leaf] = Split(path);
    const Node* parent = Find(folder);
    if (FoldName(new_name) == FoldName(node->name)) {
        // Changing only the case of a name is an ordinary rename on FAT;
        // refusing it as "already exists" is accepted here, and reported.
        check.expect = Expect::kEither;
        check.why = "renames " + node->name + " to a case variant of itself";
        return check;
    }
    if (const Node* other = Child(*parent, new_name)) {
        check.expect = Expect::kFail;
        check.why = Join(folder, other->name) + " already exists";
        return check;
    }
    return CheckNewEntry(parent == &root_, new_name, true);
}

Prediction Model::Combine(const StepCheck& check, std::uint32_t free_clusters) const {
    if (check.expect == Expect::kFail) return Certain(Expect::kFail, check.why);
    const auto free = static_cast<std::int64_t>(free_clusters);
    if (check.need_min > free)
        return Certain(Expect::kFail,
                       "needs at least " + std::to_string(check.need_min) + " clusters, " +
                           std::to_string(free) + " free",
                       true);
    if (check.expect == Expect::kSucceed && check.need_max <= free) return Certain(Expect::kSucceed, "");
    return Certain(Expect::kEither, check.why.empty() ? "needs up to " + std::to_string(check.need_max) +
                                                            " clusters, " + std::to_string(free) + " free"
                                                      : check.why);
}

std::vector<ImportStep> Model::ImportSteps(const Op& op) {
    std::vector<ImportStep> steps;
    steps.push_back(ImportStep{true, op.path, op.name, 0, 0});
    std::map<std::string, std::vector<const TreeItem*>> by_parent;
    for (const TreeItem& item : op.tree) {
        const std::size_t slash = item.rel.rfind('/');
        by_parent[slash == std::string::npos ? "" : item.rel.substr(0, slash)].push_back(&item);
    }
    auto leaf = [](const TreeItem* item) {
        const std::size_t slash = item->rel.rfind('/');
        return slash == std::string::npos ? item->rel : item->rel.substr(slash + 1);
    };
    // Put takes a folder's entries in byte order of their names.
    std::function<void(const std::string&, const std::string&)> visit = [&](const std::string& rel,
                                                                            const std::string& volume_dir) {
        std::vector<const TreeItem*> kids = by_parent[rel];
        std::sort(kids.begin(), kids.end(), [&](const TreeItem* a, const TreeItem* b) { return leaf(a) < leaf(b); });
        for (const TreeItem* kid : kids) {
            steps.push_back(ImportStep{kid->dir, volume_dir, leaf(kid), kid->size, kid->content});
            if (kid->dir) visit(kid->rel, Join(volume_dir, leaf(kid)));
        }
    };
    visit("", Join(op.path, op.name));
    return steps;
}

Prediction Model::Predict(const Op& op, std::uint32_t free_clusters) const {
    const Node* node = FindVisible(op.path);
    switch (op.kind) {
        case OpKind::kPutFile: {
            Prediction prediction = Combine(CheckPutFile(op.path, op.name, op.size), free_clusters);
            const Node* existing = node && node->dir ? Child(*node, op.name) : nullptr;
            if (!existing || existing->dir || existing->hidden) return prediction;
            const std::int64_t data = Clusters(op.size), old = Clusters(existing->size);
            const auto free = static_cast<std::int64_t>(free_clusters);
            if (data <= free) {
                prediction.replace = ReplaceRoom::kBeside;
            } else if (data <= free + old) {
                // Refused before anything is written, saying how it would fit.
                prediction.replace = ReplaceRoom::kIfOldRemoved;
                prediction.message_parts = {"the volume is too full", "remove it first"};
            } else {
                prediction.replace = ReplaceRoom::kNever;
                prediction.message_parts = {"the volume is too full", "was kept"};
            }
            return prediction;
        }
        case OpKind::kPutTree: {
            Model scratch = *this;
            auto free_low = static_cast<std::int64_t>(free_clusters), free_high = free_low;
            bool certain = true;
            for (const ImportStep& step : ImportSteps(op)) {
                const StepCheck check = step.dir ? scratch.CheckMkdir(step.parent, step.name, true)
                                                 : scratch.CheckPutFile(step.parent, step.name, step.size);
                const std::string at = Join(step.parent, step.name);
                if (check.expect == Expect::kFail)
                    return Certain(certain ? Expect::kFail : Expect::kEither, at + ": " + check.why);
                if (check.need_min > free_high)
                    return Certain(certain ? Expect::kFail : Expect::kEither,
                                   at + " needs more clusters than remain free");
                if (check.expect != Expect::kSucceed || check.need_max > free_low) certain = false;
                if (step.dir) {
                    scratch.MakeFolder(step.parent, step.name);
                } else {
                    scratch.PutFile(step.parent, step.name, step.size, step.content);
                }
                free_low -= check.need_max - check.release;
                free_high -= check.need_min - check.release;
            }
            return Certain(certain ? Expect::kSucceed : Expect::kEither,
                           certain ? "" : "the folder may not fit in the clusters free");
        }
        case OpKind::kGet:
            if (!node || node->dir) return Certain(Expect::kFail, node ? "is a folder" : "no such file");
            if (op.dest == GetDest::kImage) return Certain(Expect::kFail, "the destination is the image being read");
            return Certain(Expect::kSucceed, "");
        case OpKind::kMkdir: {
            const auto [folder, leaf] = Split(op.path);
            return Combine(CheckMkdir(folder, leaf, false), free_clusters);
        }
        case OpKind::kRm:
            if (!node || node == &root_) return Certain(Expect::kFail, "no such file");
            if (node->dir) return Certain(Expect::kFail, "a folder needs rm -r");
            return Certain(Expect::kSucceed, "");
        case OpKind::kRmTree:
            if (!node || node == &root_) return Certain(Expect::kFail, "no such entry");
            // What quillon-cli cannot see it cannot remove, nor the folders holding it.
            if (HoldsHidden(*node)) return Certain(Expect::kFail, "holds hidden entries");
            return Certain(Expect::kSucceed, "");
        case OpKind::kRename:
            return Combine(CheckRename(op.path, op.name), free_clusters);
        case OpKind::kHide:
            return Certain(Expect::kEither, "another program's doing");
    }
    return Certain(Expect::kEither, "");
}

void Model::NoteRootEntry(const std::string& folder, const std::string& name) {
    if (!geometry_.fat32 && Find(folder) == &root_) root_slots_written_ += SlotsFor(name);
}

void Model::PutFile(const std::string& folder, const std::string& name, std::uint64_t size, std::uint64_t content) {
    Node* parent = FindMutable(folder);
    if (!parent) return;
    auto found = parent->children.find(FoldName(name));
    if (found != parent->children.end()) {
        // A put onto a case variant replaces the file and keeps its stored name.
        found->second.size = size;
        found->second.content = content;
        return;
    }
    NoteRootEntry(folder, name);
    parent->children[FoldName(name)] = MakeNode(name, false, size, content);
}

void Model::MakeFolder(const std::string& folder, const std::string& name) {
    Node* parent = FindMutable(folder);
    if (!parent || parent->children.count(FoldName(name))) return;
    NoteRootEntry(folder, name);
    parent->children[FoldName(name)] = MakeNode(name, true);
}

void Model::ApplySuccess(const Op& op) {
    switch (op.kind) {
        case OpKind::kPutFile:
            PutFile(op.path, op.name, op.size, op.content);
            break;
        case OpKind::kPutTree:
            for (const ImportStep& step : ImportSteps(op)) {
                if (step.dir) {
                    MakeFolder(step.parent, step.name);
                } else {
                    PutFile(step.parent, step.name, step.size, step.content);
                }
            }
            break;
        case OpKind::kMkdir: {
            const auto [folder, leaf] = Split(op.path);
            MakeFolder(folder, leaf);
            break;
        }
        case OpKind::kRm:
        case OpKind::kRmTree: {
            const auto [folder, leaf] = Split(op.path);
            if (Node* parent = FindMutable(folder)) parent->children.erase(FoldName(leaf));
            break;
        }
        case OpKind::kRename: {
            const auto [folder, leaf] = Split(op.path);
            Node* parent = FindMutable(folder);
            if (!parent) break;
            auto found = parent->children.find(FoldName(leaf));
            if (found == parent->children.end()) break;
            Node moved = std::move(found->second);
            parent->children.erase(found);
            moved.name = op.name;
            NoteRootEntry(folder, op.name);
            parent->children[FoldName(op.name)] = std::move(moved);
            break;
        }
        case OpKind::kHide:
            if (Node* node = FindMutable(op.path); node && node != &root_) node->hidden = true;
            break;
        case OpKind::kGet:
            break;
    }
}

void Model::NoteFailure(const Op& op) {
    switch (op.kind) {
        case OpKind::kPutFile:
        case OpKind::kPutTree:
        case OpKind::kRename:
            NoteRootEntry(op.kind == OpKind::kRename ? Split(op.path).first : op.path, op.name);
            break;
        case OpKind::kMkdir: {
            const auto [folder, leaf] = Split(op.path);
            NoteRootEntry(folder, leaf);
            break;
        }
        default:
            break;
    }
}

std::pair<std::string, std::string> Model::OutcomeRegion(const Op& op) {
    if (op.kind == OpKind::kPutFile || op.kind == OpKind::kPutTree) return {op.path, op.name};
    return {"", ""};
}

std::vector<Model> Model::FailureOutcomes(const Op& op) const {
    std::vector<Model> outcomes{*this};
    // A failed file put leaves what was there, a replaced file included.
    if (!FindVisible(op.path) || op.kind != OpKind::kPutTree) return outcomes;
    Model state = *this;
    bool first = true;
    for (const ImportStep& step : ImportSteps(op)) {
        if (!first) outcomes.push_back(state);
        first = false;
        const StepCheck check = step.dir ? state.CheckMkdir(step.parent, step.name, true)
                                         : state.CheckPutFile(step.parent, step.name, step.size);
        if (check.expect == Expect::kFail) break;
        if (!step.dir) {
            state.PutFile(step.parent, step.name, step.size, step.content);
        } else {
            state.MakeFolder(step.parent, step.name);
        }
    }
    return outcomes;
}

bool SameShape(const Node* a, const Node* b, std::string* difference) {
    if (!a || !b) {
        if (a != b) *difference = std::string(a ? "expected " + a->name : "unexpected " + b->name);
        return a == b;
    }
    if (a->name != b->name || a->dir != b->dir || (!a->dir && a->size != b->size)) {
        *difference = "expected " + a->name + (a->dir ? "/" : " (" + std::to_string(a->size) + " bytes)") +
                      ", found " + b->name + (b->dir ? "/" : " (" + std::to_string(b->size) + " bytes)");
        return false;
    }
    auto ia = a->children.begin();
    auto ib = b->children.begin();
    while (ia != a->children.end() || ib != b->children.end()) {
        if (ib == b->children.end() || (ia != a->children.end() && ia->first < ib->first)) {
            *difference = "missing " + ia->second.name + " in " + a->name;
            return false;
        }
        if (ia == a->children.end() || ib->first < ia->first) {
            *difference = "unexpected " + ib->second.name + " in " + a->name;
            return false;
        }
        if (!SameShape(&ia->second, &ib->second, difference)) return false;
        ++ia;
        ++ib;
    }
    return true;
}

}  // namespace integrity
