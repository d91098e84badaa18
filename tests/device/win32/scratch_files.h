// Scratch folders and files for the backend's tests, made and read with the
// system's wide calls directly, so that what the backend did is checked by
// something other than the backend.
#pragma once

#include "device/platform/win32/windows_api.h"

#include <cstdint>
#include <string>
#include <vector>

namespace win32test {

// A fresh, empty folder for the running test, as a UTF-8 path.
std::string ScratchFolder();

// "\\?\" and the absolute form of a UTF-8 path, for calls of any length.
std::wstring LongForm(const std::string& utf8_path);

bool Exists(const std::string& utf8_path);
void MakeFolder(const std::string& utf8_path);
// A file of `bytes` bytes, each the low byte of its own offset plus `seed`,
// so that bytes from the wrong offset do not pass for the right ones.
void MakePatternFile(const std::string& utf8_path, std::size_t bytes, unsigned seed = 0);
std::vector<std::uint8_t> Pattern(std::size_t offset, std::size_t bytes, unsigned seed = 0);
std::vector<std::uint8_t> ReadBytes(const std::string& utf8_path, std::uint64_t offset, std::size_t bytes);
void WriteBytes(const std::string& utf8_path, std::uint64_t offset, const std::vector<std::uint8_t>& bytes);
std::uint64_t FileSize(const std::string& utf8_path);
// The names in a folder, as the system lists them.
std::vector<std::wstring> NamesIn(const std::string& utf8_folder);

}  // namespace win32test
