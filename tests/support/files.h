#pragma once
// Small file helpers the tests share.

#include <filesystem>
#include <string>
#include <vector>

namespace testing_support {

/// The whole file as bytes ("" when it cannot be read).
std::string readFile(const std::filesystem::path& path);
/// Writes `text` to `path`, making its parent folders.
void writeFile(const std::filesystem::path& path, const std::string& text);

/// A new file under /tmp, holding `content`, removed when it goes out of scope.
class TempFile {
 public:
  explicit TempFile(const std::string& content = "");
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }
  void write(const std::string& data) const { writeFile(path_, data); }
  std::string read() const { return readFile(path_); }

 private:
  std::string path_;
};

/// A new folder under $TMPDIR (or /tmp), removed with all it holds when it
/// goes out of scope.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& prefix = "probefleet-test");
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }
  /// Every entry below the folder, as paths relative to it, sorted.
  std::vector<std::string> entries() const;

 private:
  std::filesystem::path path_;
};

}  // namespace testing_support
