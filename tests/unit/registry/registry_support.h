// Helpers shared by the store's tests: a temporary folder that removes itself,
// file contents, and a text dump of a key's whole subtree for comparisons.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/registry/Registry.h"
#include "tests/support/TempDir.h"

namespace orvyn::reg::test {

using TempDir = orvyn::test::TempDir;

bool Exists(const std::string& path);
// Empty for anything but a readable regular file.
std::vector<uint8_t> ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> Bytes(const std::string& text);
std::vector<std::string> ListDir(const std::string& dir);

// Every key below `key` with every value (name, type, hex data), one line
// each, in enumeration order; a failing call shows up as an "error" line.
std::string Dump(const Store& store, const std::string& key);

}  // namespace orvyn::reg::test
