#include "transfer/local_tree.h"

#include <algorithm>
#include <set>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "device/platform/file_device.h"
#include "device/platform/local_path.h"

namespace fs = std::filesystem;

namespace {

// A folder's identity, whatever path reaches it.
using FolderIdentity = std::pair<std::uint64_t, std::uint64_t>;

bool IsWithin(const fs::path& path, const fs::path& folder) {
    const fs::path relative = path.lexically_relative(folder);
    return !relative.empty() && *relative.begin() != "..";
}

class TreeWalk {
public:
    explicit TreeWalk(LocalTreeVisitor& visitor) : visitor_(visitor) {}

    bool Root(const fs::path& root) {
        std::error_code error;
        const fs::file_status status = fs::status(root, error);
        if (!fs::is_directory(status)) return Entry(root, status);
        tree_ = fs::canonical(root, error);
        if (error) return Fail("cannot read folder " + platform::Utf8Name(root));
        return Folder(root);
    }

private:
    bool Fail(const std::string& message) {
        visitor_.Failed(message);
        return false;
    }

    // status says what path itself is: a link is not followed, except for the
    // root, which is taken as what it names.
    bool Entry(const fs::path& path, const fs::file_status& status) {
        if (fs::is_symlink(status)) return Link(path);
        if (fs::is_directory(status)) return Folder(path);
        if (fs::is_regular_file(status)) return visitor_.File(path);
        if (!fs::exists(status)) return Fail("no such file: " + platform::Utf8Name(path));
        visitor_.Skipped("", path, "not a regular file");
        return true;
    }

    // Only a regular file outside the tree is taken through a link: a folder
    // could lead back up the tree, and anything inside it is met anyway.
    bool Link(const fs::path& link) {
        std::error_code error;
        const fs::path target = fs::canonical(link, error);
        if (error) return Skip(link, "it leads nowhere");
        if (IsWithin(target, tree_)) return Skip(link, "it points inside the folder being imported");
        const fs::file_status status = fs::status(target, error);
        if (fs::is_directory(status)) return Skip(link, "it points to a folder");
        if (!fs::is_regular_file(status)) return Skip(link, "it does not point to a regular file");
        return visitor_.File(link);
    }

    bool Skip(const fs::path& link, const char* reason) {
        visitor_.Skipped("symbolic link ", link, reason);
        return true;
    }

    bool Folder(const fs::path& folder) {
        platform::LocalFileFacts info{};
        if (!platform::ReadLocalFileFacts(platform::Utf8Name(folder), &info))
            return Fail("cannot read folder " + platform::Utf8Name(folder));
        // Links are never followed into folders, but a folder mounted inside
        // itself still reaches an earlier one.
        if (!visited_.emplace(info.device, info.inode).second) {
            visitor_.Skipped("", folder, "the same folder as one already imported");
            return true;
        }
        if (!visitor_.EnterFolder(folder)) return false;
        std::vector<fs::directory_entry> children;
        if (!ReadFolder(folder, &children)) return false;
        for (const fs::directory_entry& child : children) {
            std::error_code error;
            if (!Entry(child.path(), child.symlink_status(error))) return false;
        }
        visitor_.LeaveFolder();
        return true;
    }

    bool ReadFolder(const fs::path& folder, std::vector<fs::directory_entry>* children) {
        std::error_code error;
        for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
            children->push_back(*it);
        if (error) return Fail("cannot read folder " + platform::Utf8Name(folder));
        std::sort(children->begin(), children->end());
        return true;
    }

    LocalTreeVisitor& visitor_;
    fs::path tree_;  // the folder being imported, as the file system names it
    std::set<FolderIdentity> visited_;
};

}  // namespace

bool WalkLocalTree(const fs::path& root, LocalTreeVisitor& visitor) {
    TreeWalk walk(visitor);
    return walk.Root(root);
}
