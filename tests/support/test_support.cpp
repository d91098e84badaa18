#include "support/test_support.h"

#include <gtest/gtest.h>

#ifdef _WIN32
#include <process.h>
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace testsupport {

namespace {
constexpr int kScratchAttempts = 20;
}  // namespace

std::string ScratchDir() {
    const char* base = std::getenv("QUILLON_TEST_TMP");
    fs::path root = base ? fs::path(base) : fs::temp_directory_path() / "quillon-tests";
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "adhoc";
    for (char& c : name)
        if (c == '/') c = '_';
    fs::path dir = root / name;
    // On Windows a folder holding a file still open (an image whose handle
    // the program caches) cannot be removed yet; the test then gets a fresh
    // folder beside it.
    std::error_code error;
    for (int attempt = 1; fs::remove_all(dir, error) == static_cast<std::uintmax_t>(-1) || error; ++attempt) {
        if (attempt > kScratchAttempts) throw std::runtime_error("cannot empty scratch folder " + dir.string());
        dir = root / (name + "-" + std::to_string(attempt));
    }
    fs::create_directories(dir);
    return dir.string();
}

#ifdef _WIN32
// As the C runtime splits a command line into arguments: backslashes count
// only before a quote. cmd.exe leaves what is inside quotes alone.
std::string Quote(const std::string& text) {
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (char c : text) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    return quoted.append(backslashes * 2, '\\') + "\"";
}
#else
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
#endif

namespace {
std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}
}  // namespace

#ifdef _WIN32
// cmd.exe runs the line and gives the program's exit code back as it is.
// The redirections go on the line's last command (the program under test
// after a "cd DIR &&"); the outer quotes are the ones cmd /c takes off.
std::string Redirected(const std::string& command_line, const fs::path& out, const fs::path& err) {
    return "\"" + command_line + " >" + Quote(out.string()) + " 2>" + Quote(err.string()) + " <NUL\"";
}
int ProcessId() { return ::_getpid(); }
int ExitCodeOf(int status) { return status; }
#else
std::string Redirected(const std::string& command_line, const fs::path& out, const fs::path& err) {
    return "(" + command_line + ") >" + Quote(out.string()) + " 2>" + Quote(err.string()) + " </dev/null";
}
int ProcessId() { return ::getpid(); }
int ExitCodeOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128; }
#endif

#ifdef _WIN32
// The programs the tests run besides the one under test: the other FAT
// tools and the shell's helpers. Windows has none of them.
constexpr const char* kLinuxTools[] = {"mkfs.fat", "fsck.fat", "mcopy", "mdir", "mmd", "mattrib", "mtype",
                                       "mdel", "mren", "dd", "touch", "flock", "timeout", "sh", "bash"};

// The program a command line starts, past leading VAR=value settings.
std::string ProgramOf(const std::string& command_line) {
    std::istringstream words(command_line);
    std::string word;
    while (words >> word && word.find('=') != std::string::npos && word.front() != '"') {
    }
    return word;
}
#endif

RunResult Run(const std::string& command_line) {
#ifdef _WIN32
    const std::string program = ProgramOf(command_line);
    for (const char* tool : kLinuxTools)
        if (program == tool) RequireLinuxTool(tool);
#endif
    static int counter = 0;
    fs::path dir = fs::temp_directory_path() / ("quillon-run-" + std::to_string(ProcessId()));
    fs::create_directories(dir);
    fs::path out = dir / ("out" + std::to_string(counter));
    fs::path err = dir / ("err" + std::to_string(counter++));
    const std::string full = Redirected(command_line, out, err);
    int status = std::system(full.c_str());
    RunResult result{ExitCodeOf(status), Slurp(out), Slurp(err)};
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

void RequireLinuxTool(const std::string& tool) {
#ifdef _WIN32
    const std::string reason = tool + " is a Linux tool; this check runs in the Linux build";
    [&] { GTEST_SKIP() << reason; }();
    // The skip is recorded; the exception ends the test there, as GoogleTest
    // ends a test quietly on this one, without a failure of its own.
    throw ::testing::AssertionException(
        ::testing::TestPartResult(::testing::TestPartResult::kSkip, __FILE__, __LINE__, reason.c_str()));
#else
    (void)tool;
#endif
}

bool RunsUnderWine() {
#ifdef _WIN32
    const HMODULE system_library = ::GetModuleHandleW(L"ntdll.dll");
    return system_library && ::GetProcAddress(system_library, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

void SetVariable(const char* name, const char* value) {
#ifdef _WIN32
    // An empty value removes the variable there: Windows has no empty ones.
    ::_putenv_s(name, value ? value : "");
#else
    if (value)
        ::setenv(name, value, 1);
    else
        ::unsetenv(name);
#endif
}

void MakeFatImage(const std::string& path, std::uint64_t bytes, const std::string& mkfs_options) {
    RequireLinuxTool("mkfs.fat");
    MakeEmptyImage(path, bytes);
    RunResult r = Run("mkfs.fat " + mkfs_options + " " + Quote(path));
    if (r.exit_code != 0) throw std::runtime_error("mkfs.fat failed: " + r.out + r.err);
}

RunResult Fsck(const std::string& path, std::uint64_t byte_offset) {
    RequireLinuxTool("fsck.fat");
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
