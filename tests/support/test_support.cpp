#include "support/test_support.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace testsupport {

std::string ScratchDir() {
    const char* base = std::getenv("QUILLON_TEST_TMP");
    fs::path root = base ? fs::path(base) : fs::temp_directory_path() / "quillon-tests";
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "adhoc";
    for (char& c : name)
        if (c == '/') c = '_';
    fs::path dir = root / name;
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir.string();
}

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'')
            quoted += "'\\''";
        else
            quoted += c;
    }
    return quoted + "'";
}

namespace {
std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}
}  // namespace

RunResult Run(const std::string& command_line) {
    static int counter = 0;
    fs::path dir = fs::temp_directory_path() / ("quillon-run-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    fs::path out = dir / ("out" + std::to_string(counter));
    fs::path err = dir / ("err" + std::to_string(counter++));
    std::string full = "(" + command_line + ") >" + Quote(out.string()) + " 2>" + Quote(err.string()) + " </dev/null";
    int status = std::system(full.c_str());
    RunResult result{WIFEXITED(status) ? WEXITSTATUS(status) : 128, Slurp(out), Slurp(err)};
    fs::remove(out);
    fs::remove(err);
    return result;
}

RunResult Cli(const std::string& arguments) {
    return Run(Quote(QUILLON_CLI_PATH) + " " + arguments);
}

void MakeEmptyImage(const std::string& path, std::uint64_t bytes) {
    fs::remove(path);
    { std::ofstream create(path, std::ios::binary); }
    fs::resize_file(path, bytes);
}

void MakeFatImage(const std::string& path, std::uint64_t bytes, const std::string& mkfs_options) {
    MakeEmptyImage(path, bytes);
    RunResult r = Run("mkfs.fat " + mkfs_options + " " + Quote(path));
    if (r.exit_code != 0) throw std::runtime_error("mkfs.fat failed: " + r.out + r.err);
}

RunResult Fsck(const std::string& path, std::uint64_t byte_offset) {
    // -S also rejects short names with spaces inside, which repairers rename.
    if (byte_offset == 0) return Run("fsck.fat -n -S " + Quote(path));
    std::string copy = path + ".volume";
    Run("dd if=" + Quote(path) + " of=" + Quote(copy) + " bs=512 skip=" +
        std::to_string(byte_offset / 512) + " conv=sparse status=none");
    RunResult r = Run("fsck.fat -n -S " + Quote(copy));
    fs::remove(copy);
    return r;
}

std::vector<std::uint8_t> ReadFileBytes(const std::string& path) {
    std::string text = Slurp(path);
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

void WriteFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::uint8_t> ReadSector(const std::string& image, std::uint64_t sector) {
    std::vector<std::uint8_t> bytes(512);
    std::ifstream in(image, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(sector * 512));
    in.read(reinterpret_cast<char*>(bytes.data()), 512);
    return bytes;
}

void WriteSector(const std::string& image, std::uint64_t sector, const std::vector<std::uint8_t>& bytes) {
    std::fstream io(image, std::ios::binary | std::ios::in | std::ios::out);
    io.seekp(static_cast<std::streamoff>(sector * 512));
    io.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::uint8_t> BytesFromHexDump(const std::string& dump, std::size_t size) {
    std::vector<std::uint8_t> bytes(size, 0);
    std::istringstream lines(dump);
    std::string line;
    while (std::getline(lines, line)) {
        line = line.substr(0, line.find('#'));
        auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::size_t offset = std::stoul(line.substr(0, colon), nullptr, 16);
        std::istringstream hex(line.substr(colon + 1));
        std::string byte;
        while (hex >> byte) {
            if (offset >= size) throw std::runtime_error("hex dump runs past its size");
            bytes[offset++] = static_cast<std::uint8_t>(std::stoul(byte, nullptr, 16));
        }
    }
    return bytes;
}

}  // namespace testsupport
