// Shared test helpers: scratch folders, images made with the real tools, and
// running external programs.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// A fresh, empty scratch folder for the running test.
std::string ScratchDir();

struct RunResult {
    int exit_code;
    std::string out;
    std::string err;
};
// Runs a shell command line; captures standard output and error.
RunResult Run(const std::string& command_line);
// Quotes one argument for the shell.
std::string Quote(const std::string& text);

// Runs quillon-cli with the given arguments (already quoted as needed).
RunResult Cli(const std::string& arguments);

// Ends the running test as skipped where the named tool is a Linux one that
// the system under test does not have (the Windows build); does nothing on
// Linux, where a missing tool fails the test that runs it.
void RequireLinuxTool(const std::string& tool);

// Whether the tests run as Windows programs under Wine, which differs from
// Windows in a few file semantics a test may have to leave out.
bool RunsUnderWine();

// Sets an environment variable for this process, or removes it (nullptr).
void SetVariable(const char* name, const char* value);

// A zeroed image file of the given size (sparse).
void MakeEmptyImage(const std::string& path, std::uint64_t bytes);
// Runs mkfs.fat on a new image (skipped on Windows, as is Fsck) of the given size; extra holds its options.
void MakeFatImage(const std::string& path, std::uint64_t bytes, const std::string& mkfs_options);
// fsck.fat -n on an image (optionally at a byte offset); returns its result.
RunResult Fsck(const std::string& path, std::uint64_t byte_offset = 0);

std::vector<std::uint8_t> ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);
std::vector<std::uint8_t> ReadSector(const std::string& image, std::uint64_t sector);
void WriteSector(const std::string& image, std::uint64_t sector, const std::vector<std::uint8_t>& bytes);

// Builds bytes from a text hex dump: "offset: hex bytes" lines, "#" comments.
// Bytes not named stay zero. Used for the small damaged-image fixtures.
std::vector<std::uint8_t> BytesFromHexDump(const std::string& dump, std::size_t size);

}  // namespace testsupport
