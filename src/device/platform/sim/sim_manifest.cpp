// Reading a camera manifest (camera.json) into a SimulatedPlatform.
#include <algorithm>
#include <cctype>
#include <climits>
#include <filesystem>
#include <fstream>
#include <set>
#include <vector>

#include <nlohmann/json.hpp>

#include "device/platform/local_path.h"
#include "device/platform/sim/sim_platform.h"

namespace platform {
namespace {

using Json = nlohmann::json;

struct DriveTypeName {
    const char* name;
    DriveType type;
};
constexpr DriveTypeName kDriveTypeNames[] = {
    {"removable", DriveType::Removable}, {"fixed", DriveType::Fixed}, {"remote", DriveType::Remote},
    {"cdrom", DriveType::CdRom},         {"ramdisk", DriveType::RamDisk}, {"unknown", DriveType::Unknown},
};

// Reads one manifest; the first problem found stops the reading and names
// the file and the key ("drives[1].type").
class ManifestReader {
public:
    ManifestReader(std::string file, SimulatedPlatform& platform)
        : file_(std::move(file)), base_(std::filesystem::path(file_).parent_path()), platform_(platform) {}

    bool Read(const Json& document) {
        if (!document.is_object()) return Fail("", "the manifest must be a JSON object");
        bool administrator = true;
        if (!OptionalBool(document, "admin", "admin", &administrator)) return false;
        platform_.SetAdministrator(administrator);
        return ReadList(document, "drives", &ManifestReader::ReadDrive) &&
               ReadList(document, "interfaces", &ManifestReader::ReadInterface) &&
               ReadList(document, "physical_drives", &ManifestReader::ReadPhysicalDrive);
    }

    const std::string& Error() const { return error_; }

private:
    using ItemReader = bool (ManifestReader::*)(const Json& item, const std::string& where);

    bool Fail(const std::string& key, const std::string& problem) {
        error_ = file_ + ": " + (key.empty() ? "" : key + ": ") + problem;
        return false;
    }

    static std::string Key(const std::string& where, const char* key) { return where + "." + key; }

    bool ReadList(const Json& document, const char* key, ItemReader read_item) {
        if (!document.contains(key)) return true;
        const Json& list = document[key];
        if (!list.is_array()) return Fail(key, "must be a list");
        for (std::size_t i = 0; i < list.size(); ++i) {
            const std::string where = std::string(key) + "[" + std::to_string(i) + "]";
            if (!list[i].is_object()) return Fail(where, "must be an object");
            if (!(this->*read_item)(list[i], where)) return false;
        }
        return true;
    }

    bool OptionalBool(const Json& object, const char* key, const std::string& name, bool* value) {
        if (!object.contains(key)) return true;
        if (!object[key].is_boolean()) return Fail(name, "must be true or false");
        *value = object[key].get<bool>();
        return true;
    }

    bool OptionalString(const Json& object, const char* key, const std::string& name, std::optional<std::string>* value) {
        if (!object.contains(key)) return true;
        if (!object[key].is_string()) return Fail(name, "must be a text");
        *value = object[key].get<std::string>();
        return true;
    }

    bool RequiredString(const Json& object, const char* key, const std::string& name, std::string* value) {
        std::optional<std::string> found;
        if (!OptionalString(object, key, name, &found)) return false;
        if (!found) return Fail(name, "missing");
        *value = *found;
        return true;
    }

    bool OptionalNumber(const Json& object, const char* key, const std::string& name, std::uint64_t limit,
                        std::optional<std::uint64_t>* value) {
        if (!object.contains(key)) return true;
        const Json& number = object[key];
        if (!number.is_number_unsigned() && !(number.is_number_integer() && number.get<std::int64_t>() >= 0))
            return Fail(name, "must be a whole number of 0 or more");
        const std::uint64_t read = number.get<std::uint64_t>();
        if (read > limit) return Fail(name, "must not exceed " + std::to_string(limit));
        *value = read;
        return true;
    }

    bool OptionalDeviceNumber(const Json& object, const std::string& where, std::optional<std::uint32_t>* value) {
        std::optional<std::uint64_t> read;
        if (!OptionalNumber(object, "device_number", Key(where, "device_number"), UINT32_MAX, &read)) return false;
        if (read) *value = static_cast<std::uint32_t>(*read);
        return true;
    }

    // Relative paths count from the manifest's folder.
    std::string LocalPath(const std::string& path) const {
        const std::filesystem::path given(path);
        return given.is_absolute() ? path : (base_ / given).lexically_normal().string();
    }

    bool ReadLetter(const Json& item, const std::string& where, char* letter) {
        std::string text;
        if (!RequiredString(item, "letter", Key(where, "letter"), &text)) return false;
        const unsigned char first = text.empty() ? 0 : static_cast<unsigned char>(text[0]);
        if (text.size() != 1 || first > 0x7F || !std::isalpha(first))
            return Fail(Key(where, "letter"), "\"" + text + "\" is not a drive letter A to Z");
        *letter = static_cast<char>(std::toupper(first));
        if (!letters_.insert(*letter).second)
            return Fail(Key(where, "letter"), std::string("drive ") + *letter + " is listed twice");
        return true;
    }

    bool ReadDriveType(const Json& item, const std::string& where, DriveType* type) {
        std::optional<std::string> name;
        if (!OptionalString(item, "type", Key(where, "type"), &name)) return false;
        if (!name) return true;
        for (const auto& known : kDriveTypeNames) {
            if (*name == known.name) {
                *type = known.type;
                return true;
            }
        }
        return Fail(Key(where, "type"),
                    "\"" + *name + "\" is not one of removable, fixed, remote, cdrom, ramdisk, unknown");
    }

    bool ReadFailureCount(const Json& eject, const std::string& where, const char* key, unsigned* count) {
        std::optional<std::uint64_t> read;
        if (!OptionalNumber(eject, key, Key(where, key), UINT64_MAX, &read)) return false;
        if (read) *count = static_cast<unsigned>(std::min<std::uint64_t>(*read, kAlwaysFails));
        return true;
    }

    bool ReadEject(const Json& item, const std::string& where, SimulatedEject* eject) {
        if (!item.contains("eject")) return true;
        const std::string name = Key(where, "eject");
        const Json& object = item["eject"];
        if (!object.is_object()) return Fail(name, "must be an object");
        return OptionalBool(object, "open_fails", Key(name, "open_fails"), &eject->open_fails) &&
               ReadFailureCount(object, name, "lock_failures", &eject->lock_failures) &&
               ReadFailureCount(object, name, "dismount_failures", &eject->dismount_failures) &&
               ReadFailureCount(object, name, "eject_failures", &eject->eject_failures);
    }

    bool ReadDrive(const Json& item, const std::string& where) {
        SimulatedDrive drive;
        std::optional<std::string> root;
        if (!ReadLetter(item, where, &drive.letter) ||
            !OptionalBool(item, "opens", Key(where, "opens"), &drive.opens) ||
            !OptionalDeviceNumber(item, where, &drive.device_number) || !ReadDriveType(item, where, &drive.type) ||
            !OptionalString(item, "label", Key(where, "label"), &drive.label) ||
            !OptionalNumber(item, "total_bytes", Key(where, "total_bytes"), UINT64_MAX, &drive.total_bytes) ||
            !OptionalNumber(item, "free_bytes", Key(where, "free_bytes"), UINT64_MAX, &drive.free_bytes) ||
            !OptionalString(item, "root", Key(where, "root"), &root) || !ReadEject(item, where, &drive.eject))
            return false;
        if (root) {
            if (root->empty()) return Fail(Key(where, "root"), "must name a folder");
            drive.root = LocalPath(*root);
        }
        platform_.AddDrive(drive);
        return true;
    }

    bool ReadInterfaceClass(const Json& item, const std::string& where, InterfaceClass* interface_class) {
        std::optional<std::string> name;
        if (!OptionalString(item, "class", Key(where, "class"), &name)) return false;
        if (!name || *name == "disk") return true;
        if (*name == "cdrom") {
            *interface_class = InterfaceClass::CdRom;
            return true;
        }
        return Fail(Key(where, "class"), "\"" + *name + "\" is not one of disk, cdrom");
    }

    bool ReadInterface(const Json& item, const std::string& where) {
        SimulatedInterface device_interface;
        std::optional<std::string> parent;
        if (!ReadInterfaceClass(item, where, &device_interface.interface_class) ||
            !OptionalDeviceNumber(item, where, &device_interface.device_number) ||
            !RequiredString(item, "path", Key(where, "path"), &device_interface.path) ||
            !OptionalString(item, "parent", Key(where, "parent"), &parent))
            return false;
        if (device_interface.path.empty()) return Fail(Key(where, "path"), "must not be empty");
        device_interface.parent = parent.value_or("");
        platform_.AddInterface(device_interface);
        return true;
    }

    // A physical drive without an image is listed but does not open. Its
    // image answers the identity commands unless identity_answer is false.
    bool ReadPhysicalDrive(const Json& item, const std::string& where) {
        std::optional<std::uint64_t> number;
        std::optional<std::string> image;
        bool identity_answer = true;
        if (!OptionalNumber(item, "number", Key(where, "number"), INT_MAX, &number) ||
            !OptionalString(item, "image", Key(where, "image"), &image) ||
            !OptionalBool(item, "identity_answer", Key(where, "identity_answer"), &identity_answer))
            return false;
        if (!number) return Fail(Key(where, "number"), "missing");
        if (!drive_numbers_.insert(static_cast<int>(*number)).second)
            return Fail(Key(where, "number"), "physical drive " + std::to_string(*number) + " is listed twice");
        if (!image || image->empty()) return true;
        const std::string image_path = LocalPath(*image);
        // The marker and the volume commands write to the image: the
        // manifest named as its own image would be overwritten by them.
        if (IsSameFile(image_path, file_))
            return Fail(Key(where, "image"),
                        "\"" + *image + "\" is the manifest itself; a disk image must be a file of its own");
        platform_.MapPhysicalDrive(static_cast<int>(*number), image_path);
        platform_.SetIdentityAnswer(static_cast<int>(*number), identity_answer);
        return true;
    }

    std::string file_;
    std::filesystem::path base_;
    SimulatedPlatform& platform_;
    std::set<char> letters_;
    std::set<int> drive_numbers_;
    std::string error_;
};

// A manifest is a few kilobytes of JSON. The cap keeps a wrong file (a disk
// image, /dev/zero) from being read without end into memory.
constexpr std::size_t kMebibyte = 1024 * 1024;
constexpr std::size_t kManifestMaxBytes = kMebibyte;
constexpr std::size_t kManifestReadChunk = 64 * 1024;

enum class ManifestText { Read, Unreadable, TooLarge };

// Reads at most one byte more than the cap: enough to tell that it is over.
ManifestText ReadManifestText(const std::string& path, std::string* text) {
    std::ifstream in(LocalPath(path), std::ios::binary);
    if (!in) return ManifestText::Unreadable;
    std::vector<char> chunk(kManifestReadChunk);
    while (in && text->size() <= kManifestMaxBytes) {
        const std::size_t wanted = std::min(chunk.size(), kManifestMaxBytes + 1 - text->size());
        in.read(chunk.data(), static_cast<std::streamsize>(wanted));
        text->append(chunk.data(), static_cast<std::size_t>(in.gcount()));
    }
    if (in.bad()) return ManifestText::Unreadable;
    return text->size() > kManifestMaxBytes ? ManifestText::TooLarge : ManifestText::Read;
}

}  // namespace

bool SimulatedPlatform::LoadManifestInto(const std::string& path, SimulatedPlatform& platform, std::string* error) {
    std::string text;
    std::error_code ignored;
    const ManifestText read =
        std::filesystem::is_directory(path, ignored) ? ManifestText::Unreadable : ReadManifestText(path, &text);
    if (read != ManifestText::Read) {
        if (error)
            *error = path + (read == ManifestText::TooLarge
                                 ? ": larger than " + std::to_string(kManifestMaxBytes / kMebibyte) +
                                       " MiB, too large for a camera manifest"
                                 : std::string(": cannot read the camera manifest"));
        return false;
    }
    Json document;
    try {
        document = Json::parse(text);
    } catch (const Json::parse_error& problem) {
        if (error) *error = path + ": not valid JSON (" + problem.what() + ")";
        return false;
    }
    ManifestReader reader(path, platform);
    if (!reader.Read(document)) {
        if (error) *error = reader.Error();
        return false;
    }
    return true;
}

std::unique_ptr<SimulatedPlatform> SimulatedPlatform::LoadManifest(const std::string& path, std::string* error) {
    auto platform = std::make_unique<SimulatedPlatform>();
    if (!LoadManifestInto(path, *platform, error)) return nullptr;
    return platform;
}

}  // namespace platform
