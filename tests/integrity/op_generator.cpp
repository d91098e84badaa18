#include "op_generator.h"

#include <algorithm>
#include <cctype>
#include <cwctype>
#include <functional>

namespace integrity {
namespace {

const std::vector<std::string> kWords = {
    "report", "final",  "holiday", "photo",   "IMG",    "data",    "backup",    "notes",
    "draft",  "summary", "budget", "meeting", "scan",   "invoice", "readme",    "camera",
    "firmware", "update", "log",   "config",  "Quarterly", "project", "new",    "old",
    "copy",   "v2",     "2023",    "12",      "x",      "Long",    "File",      "Name"};
const std::vector<std::string> kExtensions = {".txt", ".TXT", ".jpg", ".JPG", ".jpeg", ".dat", ".bin", ".docx",
                                              ".md",  ".tar.gz", ".log", ".cfg", ".html", ".mp4", ".c", ""};
const std::vector<std::string> kCjk = {"日", "本", "語", "文", "件", "資", "料", "写", "真", "新", "建",
                                       "夹", "報", "告", "書", "東", "京", "大", "阪", "中", "国", "北",
                                       "上", "海", "한", "국", "어", "테", "스", "트", "の", "ファ", "イル"};
const std::vector<std::string> kAccented = {"café",  "résumé", "naïve", "Ærøskøbing", "façade", "Ünïcödé",
                                            "señor", "Zürich", "Øresund", "Łódź",     "Ελληνικά", "Привет",
                                            "mañana", "crème brûlée", "piñata"};
// Beyond the BMP: each takes two UTF-16 units.
const std::vector<std::string> kAstral = {"😀", "🎉", "📷", "🚀", "🌸", "🐱", "𠀋", "𝄞"};
const std::vector<std::string> kLossyPieces = {"a+b", "one,two", "x;y", "k=v", "C++ notes", "v1.2.3",
                                               "archive.2024.01", "Budget (final)", "50% off", "it's",
                                               "a&b", "{brace}", "#tag", "@home", "x^2", "`tick`"};
// Characters an exact 8.3 name may use besides letters and digits ('~' is
// left out: a name of the form NAME~1 would stand for another file's alias).
const std::string k83Punctuation = "_-!#$%&'()@^{}";

}  // namespace

std::string Utf8Of(char32_t cp) {
    std::string out;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return out;
}

namespace {

bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// The 8.3 form a name reduces to before any numeric tail: what a second
// name must spell to share it.
std::string PlainShortForm(const std::string& name) {
    std::string rest = name;
    while (!rest.empty() && rest[0] == '.') rest.erase(0, 1);
    const std::size_t dot = rest.rfind('.');
    std::string base = dot == std::string::npos ? rest : rest.substr(0, dot);
    std::string ext = dot == std::string::npos ? "" : rest.substr(dot + 1);
    auto reduce = [](const std::string& part, std::size_t limit) {
        std::string out;
        for (char32_t cp : CodePoints(part)) {
            if (out.size() == limit) break;
            if (cp == ' ' || cp == '.') continue;
            const bool ok = cp < 0x80 && (std::isalnum(static_cast<int>(cp)) ||
                                          std::string("!#$%&'()-@^_`{}~").find(static_cast<char>(cp)) !=
                                              std::string::npos);
            out += ok ? static_cast<char>(std::toupper(static_cast<int>(cp))) : '_';
        }
        return out;
    };
    base = reduce(base, 8);
    ext = reduce(ext, 3);
    if (base.empty()) return "";
    return ext.empty() ? base : base + "." + ext;
}

}  // namespace

const std::set<std::string>& AllNameKinds() {
    static const std::set<std::string> kinds = {"words", "exact83", "unicode", "collide83", "lossy",
                                                "longest", "dotnames", "spacedot"};
    return kinds;
}

std::set<std::string> DefaultNameKinds() {
    std::set<std::string> kinds = AllNameKinds();
    kinds.erase("dotnames");
    kinds.erase("spacedot");
    return kinds;
}

const std::set<std::string>& AllOpSwitches() {
    static const std::set<std::string> ops = {"hide", "case-rename", "put-folder", "rename", "rm"};
    return ops;
}

std::u32string CodePoints(const std::string& utf8) {
    std::u32string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto b = static_cast<unsigned char>(utf8[i]);
        const std::size_t n = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
        char32_t cp = n == 1 ? b : n == 2 ? (b & 0x1F) : n == 3 ? (b & 0x0F) : (b & 0x07);
        for (std::size_t k = 1; k < n && i + k < utf8.size(); ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        out += cp;
        i += n;
    }
    return out;
}

std::string MtoolsShownName(const std::string& name) {
    std::string shown;
    for (char32_t cp : CodePoints(name)) shown += cp >= 0x10000 ? "__" : Utf8Of(cp);
    return shown;
}

std::u32string MtoolsFolded(const std::string& name) {
    std::u32string folded;
    for (char32_t cp : CodePoints(name)) {
        if (cp >= 0x10000) {
            folded += cp;
        } else {
            folded += static_cast<char32_t>(std::towupper(static_cast<wint_t>(cp)));
        }
    }
    return folded;
}

bool IsGoodName(const std::string& name, bool local, bool allow_leading_dot) {
    if (name.empty() || name == "." || name == "..") return false;
    if (local && name.size() > 255) return false;
    if (Utf16Units(name) > 255) return false;
    if (name.back() == '.' || name.back() == ' ' || name.front() == ' ' || name.front() == '-') return false;
    if (name.front() == '.' && !allow_leading_dot) return false;
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F) return false;
        if (std::string("\\/:*?\"<>|[]~").find(c) != std::string::npos) return false;
    }
    return true;
}

OpGenerator::OpGenerator(std::uint64_t seed, const MixSettings& settings)
    : rng_(seed), settings_(settings), content_(seed << 20) {}

bool OpGenerator::Chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng_) < p; }

std::uint64_t OpGenerator::Between(std::uint64_t low, std::uint64_t high) {
    return std::uniform_int_distribution<std::uint64_t>(low, high)(rng_);
}

std::string OpGenerator::Extension() { return Pick(kExtensions); }

std::string OpGenerator::Words(Use) {
    std::string name;
    const std::vector<std::string> separators = {" ", " ", "_", "-", " - "};
    const std::uint64_t count = Between(1, 5);
    for (std::uint64_t i = 0; i < count; ++i) {
        std::string word = Pick(kWords);
        if (Chance(0.3)) word[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(word[0])));
        if (Chance(0.1)) std::transform(word.begin(), word.end(), word.begin(), ::toupper);
        if (i) name += Pick(separators);
        name += word;
    }
    return name + Extension();
}

std::string OpGenerator::Exact83() {
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789" + k83Punctuation;
    std::string base, ext;
    const std::uint64_t base_length = Between(1, 8), ext_length = Between(0, 3);
    for (std::uint64_t i = 0; i < base_length; ++i) base += alphabet[Between(0, 35 + (Chance(0.2) ? k83Punctuation.size() : 0))];
    for (std::uint64_t i = 0; i < ext_length; ++i) ext += alphabet[Between(0, 35)];
    std::string name = ext.empty() ? base : base + "." + ext;
    const std::uint64_t style = Between(0, 3);
    for (char& c : name) {
        if (!IsAsciiLetter(c)) continue;
        if (style == 1 || (style == 2 && Chance(0.5))) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return name;
}

std::string OpGenerator::Unicode(Use use) {
    std::string name;
    switch (Between(0, 3)) {
        case 0: {  // CJK, short or long
            const std::uint64_t count = use == Use::kVolume && Chance(0.3) ? Between(60, 240) : Between(1, 30);
            for (std::uint64_t i = 0; i < count; ++i) name += Pick(kCjk);
            break;
        }
        case 1: {
            const std::uint64_t count = Between(1, 3);
            for (std::uint64_t i = 0; i < count; ++i) name += (i ? " " : "") + Pick(kAccented);
            break;
        }
        case 2: {
            name = Pick(kAstral) + " " + Pick(kWords) + " " + Pick(kCjk) + Pick(kCjk);
            if (Chance(0.5)) name += Pick(kAstral);
            break;
        }
        default:
            name = Pick(kWords) + " " + Pick(kAccented) + " " + Pick(kAstral);
            break;
    }
    return name + Extension();
}

// A name whose plain 8.3 form equals that of a name already in the folder
// ("Long File Name.dat" then "longfile.dat", "a b" then "ab"), or one of a
// series sharing a long base ("report 7 final.txt").
std::string OpGenerator::Collide83(const Node& folder) {
    std::vector<const Node*> siblings;
    for (const auto& [key, child] : folder.children) siblings.push_back(&child);
    if (!siblings.empty() && Chance(0.6)) {
        for (int attempt = 0; attempt < 6; ++attempt) {
            const Node* other = Pick(siblings);
            std::string shortened = PlainShortForm(other->name);
            if (shortened.empty() || FoldName(shortened) == FoldName(other->name)) continue;
            if (Chance(0.7)) std::transform(shortened.begin(), shortened.end(), shortened.begin(), ::tolower);
            return shortened;
        }
    }
    switch (Between(0, 3)) {
        case 0: return "report " + std::to_string(Between(1, 40)) + " final.txt";
        case 1: return "Long File Name " + std::to_string(++series_) + ".dat";
        case 2: return std::string(1, static_cast<char>('a' + Between(0, 5))) + " " +
                       std::string(1, static_cast<char>('a' + Between(0, 5)));
        default: return "IMG " + std::to_string(Between(1000, 1030)) + ".JPG";
    }
}

std::string OpGenerator::Lossy() {
    std::string name = Pick(kLossyPieces);
    if (Chance(0.5)) name += " " + Pick(kLossyPieces);
    if (Chance(0.3)) name += "." + Pick(kWords);
    return name + Extension();
}

std::string OpGenerator::Longest(Use use) {
    if (use == Use::kVolume && Chance(0.4)) {
        std::string name;
        const std::uint64_t units = Between(200, 255);
        std::uint64_t have = 0;
        while (have < units) {
            const std::string piece = Chance(0.1) && have + 2 <= units ? Pick(kAstral) : Pick(kCjk);
            if (have + Utf16Units(piece) > units) break;
            name += piece;
            have += Utf16Units(piece);
        }
        return name;
    }
    const std::uint64_t length = Between(200, 255);
    const std::string ext = Extension();
    std::string name;
    while (name.size() + ext.size() < length) name += (name.empty() ? "" : " ") + Pick(kWords);
    name = name.substr(0, length - ext.size());
    while (!name.empty() && name.back() == ' ') name.pop_back();
    return name + ext;
}

std::string OpGenerator::NameOfKind(const std::string& kind, const Node& folder, Use use) {
    if (kind == "words") return Words(use);
    if (kind == "exact83") return Exact83();
    if (kind == "unicode") return Unicode(use);
    if (kind == "collide83") return Collide83(folder);
    if (kind == "lossy") return Lossy();
    if (kind == "longest") return Longest(use);
    if (kind == "dotnames") return "." + Words(use);
    if (kind == "spacedot") {
        std::string ext = Extension();
        return Pick(kWords) + " " + (ext.empty() ? ".txt" : ext);
    }
    return Words(use);
}

// A name no entry of the folder answers to, in the engine's eyes or in
// mtools' (which also folds letters beyond ASCII).
bool OpGenerator::Fits(const Node& folder, const std::string& name) const {
    if (folder.children.count(FoldName(name))) return false;
    const std::u32string folded = MtoolsFolded(name);
    for (const auto& [key, child] : folder.children)
        if (MtoolsFolded(child.name) == folded) return false;
    return true;
}

std::string OpGenerator::NewName(const Node& folder, Use use) {
    static const std::vector<std::pair<std::string, int>> weights = {
        {"words", 5}, {"exact83", 3}, {"unicode", 4}, {"collide83", 4}, {"lossy", 2},
        {"longest", 1}, {"dotnames", 1}, {"spacedot", 1}};
    int total = 0;
    for (const auto& [kind, weight] : weights)
        if (settings_.names.count(kind)) total += weight;
    for (int attempt = 0; attempt < 30 && total > 0; ++attempt) {
        int roll = static_cast<int>(Between(0, total - 1));
        std::string kind;
        for (const auto& [k, weight] : weights) {
            if (!settings_.names.count(k)) continue;
            if (roll < weight) {
                kind = k;
                break;
            }
            roll -= weight;
        }
        const std::string name = NameOfKind(kind, folder, use);
        if (IsGoodName(name, use == Use::kLocal, settings_.names.count("dotnames") > 0) && Fits(folder, name))
            return name;
    }
    std::string name;
    do {
        name = "file " + std::to_string(Between(0, 1u << 30)) + ".bin";
    } while (!Fits(folder, name));
    return name;
}

std::string OpGenerator::CaseVariant(const std::string& name) {
    std::string variant = name;
    for (char& c : variant)
        if (IsAsciiLetter(c) && Chance(0.5)) c ^= 0x20;
    if (variant == name) {
        for (char& c : variant)
            if (IsAsciiLetter(c)) {
                c ^= 0x20;
                break;
            }
    }
    return variant;
}

// A path to an existing entry, now and then spelled in another case: the
// engine must find it all the same.
std::string OpGenerator::Spelling(const std::string& path) {
    if (!Chance(0.25)) return path;
    std::string spelled;
    std::string part;
    auto flush = [&] {
        spelled += Chance(0.5) ? CaseVariant(part) : part;
        part.clear();
    };
    for (char c : path) {
        if (c == '/') {
            flush();
            spelled += '/';
        } else {
            part += c;
        }
    }
    flush();
    return spelled;
}

std::uint64_t OpGenerator::FileSize(const Model& model, std::uint32_t free_clusters, bool small) {
    const std::uint64_t cluster = model.Geometry().cluster_bytes;
    const std::uint64_t cap = settings_.max_file_bytes;
    if (settings_.nearly_full && !small) {
        const std::uint64_t free_bytes = std::uint64_t{free_clusters} * cluster;
        switch (Between(0, 4)) {
            case 0:
            case 1: return Between(0, 8192);
            case 2: {  // right at the edge of what fits
                const std::int64_t delta = static_cast<std::int64_t>(Between(0, 6) * cluster) - 3 * cluster +
                                           static_cast<std::int64_t>(Between(0, 2)) - 1;
                return static_cast<std::uint64_t>(std::max<std::int64_t>(0, static_cast<std::int64_t>(free_bytes) + delta));
            }
            case 3: return Between(0, std::max<std::uint64_t>(free_bytes / 2, 1));
            default: return std::min(cap, Between(free_bytes + cluster, 3 * free_bytes + 4 * cluster));
        }
    }
    const std::uint64_t roll = Between(0, 99);
    if (roll < 12) return 0;
    if (roll < 37) return Between(1, 2000);
    if (roll < 57) return std::max<std::int64_t>(0, static_cast<std::int64_t>(Between(1, 8) * cluster) +
                                                        static_cast<std::int64_t>(Between(0, 2)) - 1);
    if (roll < 82 || small) return Between(2000, 300000);
    if (roll < 95) return Between(300000, std::min<std::uint64_t>(cap, 1536 * 1024));
    return Between(std::min<std::uint64_t>(cap, 1536 * 1024), cap);
}

std::vector<std::string> OpGenerator::FoldersFor(const Model& model, std::size_t max_depth, bool creating) const {
    std::vector<std::string> folders;
    const ImageGeometry& g = model.Geometry();
    // Keep clear of a nearly used-up fixed root; the model still judges it.
    const bool root_tight = creating && !g.fat32 && model.RootSlotsWritten() * 10 > g.root_entries * 6;
    for (const std::string& folder : model.Folders()) {
        if (!model.FindVisible(folder)) continue;
        const auto depth = static_cast<std::size_t>(std::count(folder.begin(), folder.end(), '/')) - (folder == "/");
        if (folder == "/" && root_tight) continue;
        if (folder == "/" || depth < max_depth) folders.push_back(folder);
    }
    if (folders.empty()) folders.push_back("/");
    return folders;
}

Op OpGenerator::PutNew(const Model& model, std::uint32_t free_clusters) {
    Op op;
    op.kind = OpKind::kPutFile;
    const std::string folder = Pick(FoldersFor(model, 4, true));
    op.path = Spelling(folder);
    op.name = NewName(*model.Find(folder), Use::kLocal);
    op.size = FileSize(model, free_clusters, false);
    op.content = NextContent();
    return op;
}

// On a nearly full volume the size is drawn against the file it replaces:
// one that fits beside the old content, one that would fit only if the old
// content were removed first, or one that never fits, often right at the
// edges between them.
Op OpGenerator::PutReplace(const Model& model, std::uint32_t free_clusters) {
    ReplaceRoom room = ReplaceRoom::kNone;
    if (settings_.nearly_full) {
        const std::uint64_t roll = Between(0, 9);
        room = roll < 4 ? ReplaceRoom::kBeside : roll < 7 ? ReplaceRoom::kIfOldRemoved : ReplaceRoom::kNever;
    }
    std::vector<std::string> files, holding;
    for (const std::string& path : model.Entries()) {
        const Node* node = model.FindVisible(path);
        if (!node || node->dir || node->name.size() > 255) continue;
        files.push_back(path);
        if (node->size > 0) holding.push_back(path);
    }
    if (files.empty()) return PutNew(model, free_clusters);
    // Only a file that holds clusters can make room by going.
    if (room == ReplaceRoom::kIfOldRemoved && holding.empty()) room = ReplaceRoom::kNever;
    const std::vector<std::string>& from = room == ReplaceRoom::kIfOldRemoved ? holding : files;
    std::string path = Pick(from);
    if (room == ReplaceRoom::kIfOldRemoved || room == ReplaceRoom::kNever) {
        // A refused replace still needs its whole local file: the smaller of
        // two picks keeps the fillers of tens of MiB to a few of them.
        const std::string other = Pick(from);
        if (model.Find(other)->size < model.Find(path)->size) path = other;
    }
    const auto [folder, leaf] = Model::Split(path);
    Op op;
    op.kind = OpKind::kPutFile;
    op.path = Spelling(folder);
    op.name = Chance(0.5) ? CaseVariant(leaf) : leaf;
    op.size = room == ReplaceRoom::kNone ? FileSize(model, free_clusters, false)
                                         : ReplaceSize(model, free_clusters, model.Find(path)->size, room);
    op.content = NextContent();
    return op;
}

std::uint64_t OpGenerator::ReplaceSize(const Model& model, std::uint32_t free_clusters, std::uint64_t old_size,
                                       ReplaceRoom room) {
    const std::uint64_t cluster = model.Geometry().cluster_bytes;
    const std::uint64_t old_clusters = (old_size + cluster - 1) / cluster;
    // The largest sizes that fit beside the old content, and in its place.
    const std::uint64_t beside = std::uint64_t{free_clusters} * cluster;
    const std::uint64_t instead = beside + old_clusters * cluster;
    switch (room) {
        case ReplaceRoom::kBeside:
            switch (Between(0, 3)) {
                case 0: return beside;
                case 1: return beside - Between(0, std::min<std::uint64_t>(beside, cluster - 1));
                case 2: return std::min(old_size, beside);  // the same size, other bytes
                default: return Between(0, beside);
            }
        case ReplaceRoom::kIfOldRemoved:
            switch (Between(0, 2)) {
                case 0: return beside + 1;
                case 1: return instead;
                default: return Between(beside + 1, instead);
            }
        case ReplaceRoom::kNever:
            switch (Between(0, 2)) {
                case 0: return instead + 1;
                case 1: return instead + Between(1, 4 * cluster);
                default: return instead + Between(1, std::max<std::uint64_t>(instead / 4, cluster));
            }
        case ReplaceRoom::kNone:
            break;
    }
    return FileSize(model, free_clusters, false);
}

Op OpGenerator::Get(const Model& model, const std::string& path, bool missing) {
    Op op;
    op.kind = OpKind::kGet;
    const Node* file = missing ? nullptr : model.FindVisible(path);
    // A local folder can take only names that fit in a local file name.
    const bool local_name = missing || (file && file->name.size() <= 255);
    const std::uint64_t roll = Between(0, 99);
    op.dest = roll < 30                  ? GetDest::kNew
              : roll < 60                ? GetDest::kFile
              : roll < 78 && local_name  ? GetDest::kFolder
              : roll < 94 && !missing && local_name ? GetDest::kFolderHolding
              : roll >= 94               ? GetDest::kImage
                                         : GetDest::kFile;
    // The name the folder already holds is the stored one: asked for in
    // another case the copy could carry either spelling.
    op.path = op.dest == GetDest::kFolderHolding ? path : Spelling(path);
    if (op.dest == GetDest::kFile || op.dest == GetDest::kFolderHolding || op.dest == GetDest::kFolder) {
        const std::uint64_t volume_size = file ? file->size : 0;
        // Longer and shorter than what replaces it, and the same length.
        switch (Between(0, 3)) {
            case 0: op.size = volume_size; break;
            case 1: op.size = Between(0, 2000); break;
            default: op.size = Between(0, std::min<std::uint64_t>(2 * volume_size + 5000, 1u << 20)); break;
        }
        op.content = NextContent();
    }
    if (op.dest == GetDest::kImage) op.variant = static_cast<int>(Between(0, 3));
    return op;
}

Op OpGenerator::PutTree(const Model& model, std::uint32_t free_clusters) {
    Op op;
    op.kind = OpKind::kPutTree;
    const std::string folder = Pick(FoldersFor(model, 2, true));
    op.path = Spelling(folder);
    const Node& target = *model.Find(folder);
    // Sometimes onto a folder that exists: put merges into it.
    std::vector<std::string> existing;
    for (const auto& [key, child] : target.children)
        if (child.dir && child.name.size() <= 255) existing.push_back(child.name);
    op.name = !existing.empty() && Chance(0.2) ? (Chance(0.5) ? CaseVariant(Pick(existing)) : Pick(existing))
                                               : NewName(target, Use::kLocal);
    // The local tree: names unique byte for byte, as a Linux folder has them.
    std::function<void(const std::string&, const Node*, int)> fill = [&](const std::string& rel, const Node* mirror,
                                                                         int depth) {
        Node local;
        if (mirror) local = *mirror;  // names already there collide on purpose
        std::set<std::string> taken;
        const std::uint64_t files = Between(0, 5), folders = depth < 2 ? Between(0, 2) : 0;
        for (std::uint64_t i = 0; i < files + folders; ++i) {
            const bool is_dir = i >= files;
            std::string name;
            if (mirror && !mirror->children.empty() && Chance(0.25)) {
                std::vector<std::string> names;
                for (const auto& [key, child] : mirror->children)
                    if (child.name.size() <= 255) names.push_back(child.name);
                if (!names.empty()) name = Chance(0.5) ? CaseVariant(Pick(names)) : Pick(names);
            } else if (!taken.empty() && Chance(0.05)) {
                name = CaseVariant(*taken.begin());  // two local names, one volume entry
            }
            if (name.empty() || taken.count(name) || !IsGoodName(name, true, true)) name = NewName(local, Use::kLocal);
            if (taken.count(name)) continue;
            taken.insert(name);
            local.children[FoldName(name)] = MakeNode(name, is_dir);
            const std::string item_rel = rel.empty() ? name : rel + "/" + name;
            TreeItem item{item_rel, is_dir, is_dir ? 0 : FileSize(model, free_clusters, true), 0};
            if (!is_dir) item.content = NextContent();
            op.tree.push_back(item);
            if (is_dir) {
                const Node* inner = nullptr;
                if (mirror) {
                    auto found = mirror->children.find(FoldName(name));
                    if (found != mirror->children.end() && found->second.dir) inner = &found->second;
                }
                fill(item_rel, inner, depth + 1);
            }
        }
    };
    const Node* mirror = model.Find(Model::Join(folder, op.name));
    fill("", mirror && mirror->dir ? mirror : nullptr, 0);
    return op;
}

Op OpGenerator::Filler(const Model& model, std::uint32_t free_clusters) {
    Op op;
    op.kind = OpKind::kPutFile;
    op.path = "/";
    op.name = "filler " + std::to_string(++series_) + ".bin";
    const std::uint64_t cluster = model.Geometry().cluster_bytes;
    const std::uint64_t margin = Between(2, 200) * cluster;
    const std::uint64_t free_bytes = std::uint64_t{free_clusters} * cluster;
    op.size = free_bytes > margin + cluster ? free_bytes - margin - Between(0, cluster - 1) : 0;
    op.content = NextContent();
    filled_ = true;
    return op;
}

Op OpGenerator::Next(const Model& model, std::uint32_t free_clusters) {
    if (settings_.nearly_full && !filled_) return Filler(model, free_clusters);

    // Hidden entries are out of quillon-cli's reach; only "hidden-name"
    // aims at them, to see that their names stay taken.
    std::vector<std::string> files, folders, entries, hidden;
    for (const std::string& path : model.Entries()) {
        const Node* node = model.FindVisible(path);
        if (!node) {
            const Node* any = model.Find(path);
            if (any->hidden && model.FindVisible(Model::Split(path).first)) hidden.push_back(path);
            continue;
        }
        entries.push_back(path);
        (node->dir ? folders : files).push_back(path);
    }
    struct Choice {
        const char* what;
        int weight;
    };
    const bool full = settings_.nearly_full;
    const auto& on = settings_.ops;
    std::vector<Choice> choices = {
        {"put", full ? 28 : 22},   {"replace", full ? 14 : 8}, {"tree", on.count("put-folder") ? (full ? 4 : 5) : 0},
        {"get", 10},               {"mkdir", full ? 6 : 8},     {"mkdir-taken", 1},
        {"rm", on.count("rm") ? 7 : 0}, {"rm-r", on.count("rm") ? 3 : 0}, {"rm-folder", on.count("rm") ? 1 : 0},
        {"rename", on.count("rename") ? 10 : 0}, {"rename-folder", on.count("rename") ? 4 : 0},
        {"rename-self", on.count("case-rename") ? 1 : 0}, {"rename-taken", on.count("rename") ? 1 : 0},
        {"hide", on.count("hide") ? 1 : 0}, {"hidden-name", hidden.empty() ? 0 : 2}, {"missing", 1},
        {"refill", full ? 3 : 0}};
    int total = 0;
    for (const Choice& c : choices) total += c.weight;
    int roll = static_cast<int>(Between(0, total - 1));
    std::string what;
    for (const Choice& c : choices) {
        if (roll < c.weight) {
            what = c.what;
            break;
        }
        roll -= c.weight;
    }

    Op op;
    if (what == "replace") return PutReplace(model, free_clusters);
    if (what == "tree") return PutTree(model, free_clusters);
    if (what == "refill") return Filler(model, free_clusters);
    if (what == "get" && !files.empty()) return Get(model, Pick(files), false);
    if (what == "mkdir") {
        const std::string folder = Pick(FoldersFor(model, 3, true));
        op.kind = OpKind::kMkdir;
        op.path = Model::Join(Spelling(folder), NewName(*model.Find(folder), Use::kVolume));
        return op;
    }
    if (what == "mkdir-taken" && !entries.empty()) {
        const auto [folder, leaf] = Model::Split(Pick(entries));
        op.kind = OpKind::kMkdir;
        op.path = Model::Join(folder, CaseVariant(leaf));
        return op;
    }
    if (what == "rm" && !files.empty()) {
        op.kind = OpKind::kRm;
        op.path = Spelling(Pick(files));
        return op;
    }
    if (what == "rm-r" && !entries.empty()) {
        op.kind = OpKind::kRmTree;
        op.path = Spelling(Pick(folders.empty() || Chance(0.2) ? entries : folders));
        return op;
    }
    if (what == "rm-folder" && !folders.empty()) {
        op.kind = OpKind::kRm;
        op.path = Spelling(Pick(folders));
        return op;
    }
    if ((what == "rename" && !files.empty()) || (what == "rename-folder" && !folders.empty())) {
        const std::string path = Pick(what == "rename" ? files : folders);
        const auto [folder, leaf] = Model::Split(path);
        op.kind = OpKind::kRename;
        op.path = Spelling(path);
        op.name = NewName(*model.Find(folder), Use::kVolume);
        return op;
    }
    if (what == "rename-self" && !entries.empty()) {
        const std::string path = Pick(entries);
        op.kind = OpKind::kRename;
        op.path = Spelling(path);
        op.name = CaseVariant(Model::Split(path).second);
        if (!IsGoodName(op.name, false, true)) op.name = Model::Split(path).second;
        return op;
    }
    if (what == "rename-taken" && entries.size() >= 2) {
        const std::string path = Pick(entries);
        const auto [folder, leaf] = Model::Split(path);
        const Node& parent = *model.Find(folder);
        if (parent.children.size() >= 2) {
            std::vector<std::string> others;
            for (const auto& [key, child] : parent.children)
                if (key != FoldName(leaf)) others.push_back(child.name);
            op.kind = OpKind::kRename;
            op.path = Spelling(path);
            op.name = CaseVariant(Pick(others));
            return op;
        }
    }
    if (what == "hide" && !entries.empty()) {
        op.kind = OpKind::kHide;
        op.path = Pick(entries);
        return op;
    }
    if (what == "hidden-name") {
        const auto [folder, leaf] = Model::Split(Pick(hidden));
        const std::string name = Chance(0.5) ? CaseVariant(leaf) : leaf;
        const Node& parent = *model.Find(folder);
        std::vector<std::string> siblings;
        for (const auto& [key, child] : parent.children)
            if (!child.hidden) siblings.push_back(Model::Join(folder, child.name));
        const std::uint64_t how = Between(0, 2);
        if (how == 0 && name.size() <= 255) {
            op.kind = OpKind::kPutFile;
            op.path = folder;
            op.name = name;
            op.size = FileSize(model, free_clusters, true);
            op.content = NextContent();
        } else if (how == 1 && !siblings.empty()) {
            op.kind = OpKind::kRename;
            op.path = Pick(siblings);
            op.name = name;
        } else {
            op.kind = OpKind::kMkdir;
            op.path = Model::Join(folder, name);
        }
        return op;
    }
    if (what == "missing") {
        const std::string folder = Pick(FoldersFor(model, 4, false));
        const std::string path = Model::Join(folder, NewName(*model.Find(folder), Use::kVolume));
        if (Chance(0.5)) return Get(model, path, true);
        op.kind = OpKind::kRm;
        op.path = path;
        return op;
    }
    return PutNew(model, free_clusters);
}

}  // namespace integrity
