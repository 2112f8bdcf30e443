#include "aws/base/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <mutex>
#include <set>
#include <string>
#include <system_error>

namespace aws {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

std::string folderOf(const std::string& path) {
  const std::string folder = fs::path(path).parent_path().string();
  return folder.empty() ? "." : folder;
}

void makeFolders(const std::string& folder, mode_t mode) {
  for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
    const std::string prefix = folder.substr(0, slash);
    if (::mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST)
      fail(errno, "cannot create " + prefix);
    if (slash == std::string::npos) return;
  }
}

// Makes the rename itself durable; a failure here loses nothing already
// written, so it is not reported.
void syncFolder(const std::string& folder) {
  UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd) ::fsync(fd.get());
}

// The file that writing `path` really reaches: a symlink is followed to its
// target, a dangling one too.
std::string resolveOutputPath(const std::string& path) {
  std::error_code error;
  if (fs::exists(path, error)) {
    const fs::path real = fs::canonical(path, error);
    return error ? path : real.string();
  }
  fs::path current = path;
  for (int hops = 0; hops < 40 && fs::is_symlink(fs::symlink_status(current, error)); ++hops) {
    const fs::path next = fs::read_symlink(current, error);
    if (error) break;
    current = next.is_absolute() ? next : current.parent_path() / next;
  }
  return current.string();
}

void writeInPlace(const std::string& target, std::string_view text) {
  UniqueFd fd(::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
  if (!fd) fail(errno, "cannot open " + target);
  if (int error = writeAll(fd.get(), text)) fail(error, "cannot write " + target);
  struct stat info {};
  if (::fstat(fd.get(), &info) == 0 && S_ISREG(info.st_mode) && ::fsync(fd.get()) != 0) {
    fail(errno, "cannot flush " + target);
  }
  if (fd.close() != 0) fail(errno, "cannot close " + target);
}

}  // namespace

int writeAll(int fd, std::string_view text) {
  for (std::size_t written = 0; written < text.size();) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    written += static_cast<std::size_t>(n);
  }
  return 0;
}

namespace {

// The temporary files in the making, for removePendingAtomicFiles().
std::mutex pending_mutex;
std::set<std::string>& pendingFiles() {
  static auto* files = new std::set<std::string>();  // outlives every AtomicFile
  return *files;
}

// A file is listed as it is made (AtomicFile's constructor) and forgotten
// once it is renamed or removed.
void forgetPending(const std::string& path) {
  std::lock_guard<std::mutex> lock(pending_mutex);
  pendingFiles().erase(path);
}

}  // namespace

void removePendingAtomicFiles() {
  std::lock_guard<std::mutex> lock(pending_mutex);
  for (const std::string& path : pendingFiles()) ::unlink(path.c_str());
  pendingFiles().clear();
}

AtomicFile::AtomicFile(std::string target, AtomicWriteOptions options)
    : target_(std::move(target)) {
  const std::string folder = folderOf(target_);
  if (options.make_folders) makeFolders(folder, options.owner_only ? 0700 : 0777);
  static std::atomic<unsigned> counter{0};
  const mode_t mode = options.owner_only ? 0600 : 0666;
  {
    // Made and listed as one step: an interruption that removes the pending
    // files between the two would leave this one behind.
    std::lock_guard<std::mutex> lock(pending_mutex);
    for (int tries = 0;; ++tries) {
      path_ = target_ + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
      fd_.reset(::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
      if (fd_) break;
      if (errno != EEXIST || tries >= 100) fail(errno, "cannot create " + path_);
    }
    pendingFiles().insert(path_);
  }
  struct stat existing {};
  if (!options.owner_only && ::stat(target_.c_str(), &existing) == 0 && S_ISREG(existing.st_mode) &&
      ::fchmod(fd_.get(), existing.st_mode & 07777) != 0) {
    const int error = errno;
    ::unlink(path_.c_str());
    forgetPending(path_);
    fail(error, "cannot set the permissions of " + path_);
  }
}

AtomicFile::~AtomicFile() {
  if (!committed_) ::unlink(path_.c_str());
  forgetPending(path_);
}

void AtomicFile::commit() {
  if (::fsync(fd_.get()) != 0) fail(errno, "cannot flush " + path_);
  if (fd_.close() != 0) fail(errno, "cannot close " + path_);
  if (::rename(path_.c_str(), target_.c_str()) != 0) {
    fail(errno, "cannot rename " + path_ + " to " + target_);
  }
  committed_ = true;
  forgetPending(path_);
  syncFolder(folderOf(target_));
}

void writeFileAtomically(const std::string& path, std::string_view text,
                         const AtomicWriteOptions& options) {
  // A device or pipe is written through as named.
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
    writeInPlace(path, text);
    return;
  }
  const std::string target = resolveOutputPath(path);
  const std::string folder = folderOf(target);
  // A missing folder goes the atomic way too, whose error names the file.
  if (::access(folder.c_str(), W_OK | X_OK) != 0 && errno != ENOENT) {
    writeInPlace(target, text);
    return;
  }
  AtomicFile file(target, options);
  if (int error = writeAll(file.fd(), text)) fail(error, "cannot write " + file.path());
  file.commit();
}

}  // namespace aws
