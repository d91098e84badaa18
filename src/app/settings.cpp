#include "app/settings.h"

#include <ini.h>
#include <strings.h>

#include <charconv>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <vector>

#include "app/exe_directory.h"
#include "device/platform/local_path.h"

namespace {

constexpr char kWhiteSpace[] = " \t\r\n\v\f";
constexpr char kUtf8ByteOrderMark[] = "\xEF\xBB\xBF";

std::string Trim(const std::string& text) {
    const std::size_t first = text.find_first_not_of(kWhiteSpace);
    if (first == std::string::npos) return {};
    const std::size_t last = text.find_last_not_of(kWhiteSpace);
    return text.substr(first, last - first + 1);
}

bool IsUtf8Continuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// inih's line buffer has a size fixed when the library was built (200 bytes
// in Debian's), too short for values of 259 characters. So the reader keeps
// each value aside and hands inih the key with the value's index instead; the
// handler takes the real value from there. The reader also drops leading white
// space, as the settings format has no continuation lines.
struct IniSource {
    std::vector<std::string> lines;
    std::size_t next_line = 0;
    std::vector<std::string> values;
    Settings settings;
    std::set<const std::string*> keys_found;
};

std::vector<std::string> SplitLines(const std::string& content) {
    std::vector<std::string> lines;
    std::istringstream in(content);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    if (!lines.empty() && lines.front().rfind(kUtf8ByteOrderMark, 0) == 0)
        lines.front().erase(0, std::strlen(kUtf8ByteOrderMark));
    return lines;
}

// The line inih sees for one line of the file.
std::string LineForParser(const std::string& line, IniSource& source) {
    std::string text = line.substr(std::min(line.size(), line.find_first_not_of(kWhiteSpace)));
    const std::size_t equals = text.find('=');
    if (text.empty() || text[0] == '[' || equals == std::string::npos) return text;
    source.values.push_back(text.substr(equals + 1));
    return text.substr(0, equals) + "=" + std::to_string(source.values.size() - 1);
}

char* ReadLine(char* buffer, int size, void* stream) {
    auto& source = *static_cast<IniSource*>(stream);
    if (source.next_line >= source.lines.size() || size < 2) return nullptr;
    std::string line = LineForParser(source.lines[source.next_line++], source) + "\n";
    // A line still too long can only carry a key name no setting has.
    const std::size_t length = std::min(line.size(), static_cast<std::size_t>(size) - 1);
    std::memcpy(buffer, line.data(), length);
    buffer[length] = '\0';
    return buffer;
}

std::string* SettingByName(Settings& settings, const char* name) {
    struct Key {
        const char* name;
        std::string Settings::*member;
    };
    static const Key keys[] = {
        {"StartSectorAddress", &Settings::StartSectorAddress},
        {"ReadSectorAddress", &Settings::ReadSectorAddress},
        {"WriteSectorAddress", &Settings::WriteSectorAddress},
        {"NoOfSize", &Settings::NoOfSize},
    };
    for (const Key& key : keys)
        if (strcasecmp(name, key.name) == 0) return &(settings.*key.member);
    return nullptr;
}

int StoreSetting(void* user, const char* section, const char* name, const char* value_index) {
    auto& source = *static_cast<IniSource*>(user);
    if (strcasecmp(section, kSettingsSection) != 0) return 1;
    std::string* setting = SettingByName(source.settings, name);
    std::size_t index = 0;
    const char* end = value_index + std::strlen(value_index);
    const auto parsed = std::from_chars(value_index, end, index);
    if (!setting || parsed.ec != std::errc() || parsed.ptr != end || index >= source.values.size())
        return 1;
    // The first occurrence of a key counts, as with the classic INI reader.
    if (!source.keys_found.insert(setting).second) return 1;
    *setting = CutToCharacters(Trim(source.values[index]), kSettingsValueCharacters);
    return 1;
}

}  // namespace

std::string CutToCharacters(const std::string& text, std::size_t characters) {
    std::size_t seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (IsUtf8Continuation(static_cast<unsigned char>(text[i]))) continue;
        if (seen++ == characters) return text.substr(0, i);
    }
    return text;
}

Settings LoadSettings(const std::string& ini_path) {
    std::ifstream in(platform::LocalPath(ini_path), std::ios::binary);
    if (!in) return {};
    std::ostringstream content;
    content << in.rdbuf();
    IniSource source;
    source.lines = SplitLines(content.str());
    // Lines inih cannot parse are skipped; what it could read stays.
    ini_parse_stream(ReadLine, &source, StoreSetting, &source);
    return source.settings;
}

const Settings& ApplicationSettings() {
    static const Settings settings = LoadSettings(ExeDirectory() + "/" + kSettingsFileName);
    return settings;
}
