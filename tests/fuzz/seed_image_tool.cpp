// Turns disk images into fuzz seeds.
//
//   seed_image_tool patch BASE_DIR FIXTURE OUT   a damaged-image fixture
//   seed_image_tool trim IMAGE...                  in place
//
// A fixture is a text file named after the defect it carries:
//
//   base: fat16                 # BASE_DIR/fat16.img, made by make-corpus
//   expect 000e: 01 00          # the base must hold these bytes (its layout)
//   8220: "A       TXT" 20      # bytes written over the base at an offset
//
// Offsets and bytes are hexadecimal; a quoted text stands for its bytes;
// "#" starts a comment. The base's expected bytes pin the layout the patches
// were written for: a mkfs.fat that lays volumes out differently fails here
// instead of giving seeds whose defect went missing.
//
// Seeds lose their trailing zero sectors: the fuzz target reads zeros past
// the end of its input anyway.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot open " + path);
    return Bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

// Keeps whole sectors up to the last one holding a nonzero byte (at least one).
void TrimZeroTail(Bytes& bytes) {
    std::size_t end = bytes.size();
    while (end > 0 && bytes[end - 1] == 0) --end;
    const std::size_t sectors = end == 0 ? 1 : (end + 511) / 512;
    if (sectors * 512 < bytes.size()) bytes.resize(sectors * 512);
}

struct Located {
    std::string file;
    int line;
    std::string What(const std::string& message) const { return file + ":" + std::to_string(line) + ": " + message; }
};

// "offset: bytes": the offset and the bytes of the rest of the line.
std::size_t ParseBytes(const std::string& text, Bytes* bytes, const Located& at) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) throw std::runtime_error(at.What("no offset"));
    std::size_t offset;
    try {
        offset = std::stoul(text.substr(0, colon), nullptr, 16);
    } catch (const std::exception&) {
        throw std::runtime_error(at.What("bad offset"));
    }
    std::size_t i = colon + 1;
    while (i < text.size()) {
        const char c = text[i];
        if (c == ' ' || c == '\t') {
            ++i;
        } else if (c == '"') {
            const std::size_t close = text.find('"', i + 1);
            if (close == std::string::npos) throw std::runtime_error(at.What("unclosed text"));
            bytes->insert(bytes->end(), text.begin() + static_cast<std::ptrdiff_t>(i + 1),
                          text.begin() + static_cast<std::ptrdiff_t>(close));
            i = close + 1;
        } else {
            std::size_t end = text.find_first_of(" \t", i);
            if (end == std::string::npos) end = text.size();
            const std::string token = text.substr(i, end - i);
            std::size_t used = 0;
            unsigned long value = 0;
            try {
                value = std::stoul(token, &used, 16);
            } catch (const std::exception&) {
                used = 0;
            }
            if (used != token.size() || token.size() > 2 || value > 0xFF)
                throw std::runtime_error(at.What("bad byte '" + token + "'"));
            bytes->push_back(static_cast<std::uint8_t>(value));
            i = end;
        }
    }
    return offset;
}

Bytes ApplyFixture(const std::string& base_dir, const std::string& fixture) {
    std::ifstream in(fixture);
    if (!in) throw std::runtime_error("cannot open " + fixture);
    Bytes image;
    bool have_base = false;
    std::string line;
    Located at{fixture, 0};
    while (std::getline(in, line)) {
        ++at.line;
        // A '#' inside quotes is text; outside it starts a comment.
        bool quoted = false;
        for (std::size_t i = 0; i < line.size(); ++i) {
            if (line[i] == '"') quoted = !quoted;
            if (line[i] == '#' && !quoted) {
                line.resize(i);
                break;
            }
        }
        if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
        std::istringstream words(line);
        std::string first;
        words >> first;
        if (first == "base:") {
            std::string name;
            words >> name;
            image = ReadAll(base_dir + "/" + name + ".img");
            have_base = true;
            continue;
        }
        if (!have_base) throw std::runtime_error(at.What("bytes before the base line"));
        const bool expect = first == "expect";
        const std::string rest = expect ? line.substr(line.find("expect") + 6) : line;
        Bytes bytes;
        const std::size_t offset = ParseBytes(rest, &bytes, at);
        if (offset + bytes.size() > image.size()) {
            // Bases come without their zero tail: patches may reach past it.
            if (expect) throw std::runtime_error(at.What("expected bytes past the end of the base"));
            image.resize(offset + bytes.size(), 0);
        }
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            if (!expect) {
                image[offset + i] = bytes[i];
            } else if (image[offset + i] != bytes[i]) {
                throw std::runtime_error(at.What("the base differs from what the fixture was written for"));
            }
        }
    }
    if (!have_base) throw std::runtime_error(fixture + ": no base line");
    return image;
}

int Usage() {
    std::fprintf(stderr, "usage: seed_image_tool patch BASE_DIR FIXTURE OUT | trim IMAGE...\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const std::string command = argc > 1 ? argv[1] : "";
        if (command == "patch" && argc == 5) {
            Bytes image = ApplyFixture(argv[2], argv[3]);
            TrimZeroTail(image);
            WriteAll(argv[4], image);
            return 0;
        }
        if (command == "trim" && argc > 2) {
            for (int i = 2; i < argc; ++i) {
                Bytes image = ReadAll(argv[i]);
                TrimZeroTail(image);
                WriteAll(argv[i], image);
            }
            return 0;
        }
        return Usage();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "seed_image_tool: %s\n", error.what());
        return 1;
    }
}
