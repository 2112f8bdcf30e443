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

}  // namespace

void writeOwnerOnlyFile(const std::string& path, const std::string& content) {
  FileDescriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (file.get() < 0) fail("open", path);
  try {
    if (::fchmod(file.get(), 0600) != 0) fail("restrict the mode of", path);
    writeAll(file.get(), content, path);
    if (file.release() != 0) fail("close", path);
  } catch (...) {
    // A partial key is of no use to anyone; leave no file behind.
    const int saved = errno;
    ::unlink(path.c_str());
    errno = saved;
    throw;
  }
}

}  // namespace probefleet
