#include "probefleet/resources/private_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "aws/base/atomic_file.h"
#include "aws/base/unique_fd.h"

namespace probefleet {

namespace {

[[noreturn]] void fail(const std::string& what, const std::string& path) {
  throw std::system_error(errno, std::generic_category(), "cannot " + what + " key file " + path);
}

// Opens `path` for writing without truncating it; `created` tells whether
// this call made the file. O_EXCL first, so a new file is 0600 from birth
// and an existing one is never mistaken for ours.
int openForKey(const std::string& path, bool& created) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      created = true;
      return fd;
    }
    if (errno != EEXIST) return -1;
    fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd >= 0 || errno != ENOENT) {
      created = false;
      return fd;
    }
    // Removed between the two opens: try to create it again.
  }
  return -1;
}

}  // namespace

void writeOwnerOnlyFile(const std::string& path, const std::string& content) {
  bool created = false;
  aws::UniqueFd file(openForKey(path, created));
  if (!file) fail("open", path);
  try {
    // Narrow first, truncate second: a file whose mode cannot be narrowed
    // keeps its old content rather than being emptied.
    if (::fchmod(file.get(), 0600) != 0) fail("restrict the mode of", path);
    if (::ftruncate(file.get(), 0) != 0) fail("truncate", path);
    if (const int error = aws::writeAll(file.get(), content)) {
      errno = error;
      fail("write", path);
    }
    if (file.close() != 0) fail("close", path);
  } catch (...) {
    // A partial key is of no use; but a file this call did not create is the
    // user's, and is left where it is.
    if (created) {
      const int saved = errno;
      ::unlink(path.c_str());
      errno = saved;
    }
    throw;
  }
}

}  // namespace probefleet
