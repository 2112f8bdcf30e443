#pragma once
// Small file helpers the tests share.

#include <filesystem>
#include <string>

namespace testing_support {

/// The whole file as bytes ("" when it cannot be read).
std::string readFile(const std::filesystem::path& path);
/// Writes `text` to `path`, making its parent folders.
void writeFile(const std::filesystem::path& path, const std::string& text);

}  // namespace testing_support
