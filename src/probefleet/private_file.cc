#include "probefleet/private_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace probefleet {

namespace {

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  /// Closes now; the close's own failure is a failure of the write.
  int release() {
    const int result = ::close(fd_);
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

[[noreturn]] void fail(const std::string& what, const std::string& path) {
  throw std::system_error(errno, std::generic_category(), "cannot " + what + " key file " + path);
}

void writeAll(int fd, const std::string& text, const std::string& path) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
    if (written < 0) {
      if (errno == EINTR) continue;
      fail("write", path);
    }
    done += static_cast<std::size_t>(written);
  }
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
  FileDescriptor file(openForKey(path, created));
  if (file.get() < 0) fail("open", path);
  try {
    // Narrow first, truncate second: a file whose mode cannot be narrowed
    // keeps its old content rather than being emptied.
    if (::fchmod(file.get(), 0600) != 0) fail("restrict the mode of", path);
    if (::ftruncate(file.get(), 0) != 0) fail("truncate", path);
    writeAll(file.get(), content, path);
    if (file.release() != 0) fail("close", path);
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
