#include "aws/base/atomic_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <system_error>
#include <vector>

#include "support/files.h"

namespace fs = std::filesystem;
using testing_support::readFile;
using testing_support::ScratchDir;

namespace {

mode_t modeOf(const fs::path& path) {
  struct stat info {};
  ::stat(path.c_str(), &info);
  return info.st_mode & 07777;
}

// Every file in `folder`, so that a temporary file left behind shows.
std::vector<std::string> namesIn(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(AtomicFile, ReplacesWholeAndKeepsWhatTheOptionsAsk) {
  const mode_t umask_was = ::umask(022);
  struct Case {
    const char* name;
    aws::AtomicWriteOptions options;
    std::optional<mode_t> existing_mode;  // a file already there, with this mode
    mode_t want_mode;
  } cases[] = {
      {"new file: the umask decides", {}, std::nullopt, 0644},
      {"replaced file keeps its mode", {}, 0640, 0640},
      {"owner only, new", {.owner_only = true}, std::nullopt, 0600},
      {"owner only beats the old mode", {.owner_only = true}, 0644, 0600},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchDir dir;
    const fs::path target = dir.path() / "out.json";
    if (c.existing_mode) {
      std::ofstream(target) << "old";
      fs::permissions(target, fs::perms(*c.existing_mode));
    }
    aws::writeFileAtomically(target, "new text", c.options);
    EXPECT_EQ(readFile(target), "new text");
    EXPECT_EQ(modeOf(target), c.want_mode);
    EXPECT_EQ(namesIn(dir.path()), std::vector<std::string>{"out.json"});
  }
  ::umask(umask_was);
}

TEST(AtomicFile, FollowsSymlinksAndWritesDevicesInPlace) {
  ScratchDir dir;
  const fs::path real = dir.path() / "real.json";
  const fs::path link = dir.path() / "link.json";
  fs::create_symlink("real.json", link);  // dangling until written
  aws::writeFileAtomically(link, "through the link");
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(readFile(real), "through the link");
  // /dev/null cannot be renamed over; it is written as named.
  EXPECT_NO_THROW(aws::writeFileAtomically("/dev/null", "discarded"));
}

TEST(AtomicFile, MakesFoldersOnlyWhenAskedAndLeavesNothingOnFailure) {
  ScratchDir dir;
  const fs::path deep = dir.path() / "a" / "b" / "token.json";
  EXPECT_THROW(aws::writeFileAtomically(deep, "x"), std::system_error);
  EXPECT_FALSE(fs::exists(dir.path() / "a"));
  aws::writeFileAtomically(deep, "x", {.owner_only = true, .make_folders = true});
  EXPECT_EQ(readFile(deep), "x");
  EXPECT_EQ(modeOf(dir.path() / "a"), 0700);
  {
    // A streaming writer that never commits leaves the old file alone.
    aws::AtomicFile file(deep);
    ASSERT_EQ(aws::writeAll(file.fd(), "half"), 0);
  }
  EXPECT_EQ(readFile(deep), "x");
  EXPECT_EQ(namesIn(deep.parent_path()), std::vector<std::string>{"token.json"});
}

}  // namespace
