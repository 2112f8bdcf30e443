#include "support/files.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testing_support {

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeFile(const std::filesystem::path& path, const std::string& text) {
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

TempFile::TempFile(const std::string& content) {
  std::string pattern = "/tmp/probefleet-test-XXXXXX";
  const int fd = ::mkstemp(pattern.data());
  if (fd < 0) throw std::runtime_error("cannot create a temporary file");
  ::close(fd);
  path_ = pattern;
  if (!content.empty()) write(content);
}

TempFile::~TempFile() {
  std::remove(path_.c_str());
}

ScratchDir::ScratchDir(const std::string& prefix) {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + prefix + "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("cannot create a scratch folder " + pattern);
  }
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::vector<std::string> ScratchDir::entries() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(path_)) {
    names.push_back(std::filesystem::relative(entry.path(), path_).string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace testing_support
