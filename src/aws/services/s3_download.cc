#include "aws/services/s3_download.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "aws/base/atomic_file.h"
#include "aws/base/unique_fd.h"
#include "aws/client/error.h"
#include "aws/services/parts.h"

namespace aws {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kBufferSize = 1 << 20;
constexpr std::size_t kAlignment = 4096;

// One aligned buffer of kBufferSize per thread, kept for the downloads it
// makes one after another (a folder of small files would otherwise map and
// unmap a megabyte per file). A thread runs one download at a time. Null
// when there is no memory for it.
char* threadBuffer() {
  struct Owned {
    char* data = nullptr;
    ~Owned() { std::free(data); }
  };
  thread_local Owned owned;
  if (owned.data == nullptr) {
    void* memory = nullptr;
    if (::posix_memalign(&memory, kAlignment, kBufferSize) != 0) return nullptr;
    owned.data = static_cast<char*>(memory);
  }
  return owned.data;
}

/// Receives a GetObject body into an open file; restart() empties it so a
/// retried download begins afresh, finish() writes what is still held.
///
/// Bytes gather in an aligned buffer. Once a body fills it (a large object),
/// full buffers are written with O_DIRECT: they go from the buffer to the disk
/// without a copy into the page cache, which is where most of a large
/// download's CPU time went. Small objects, file systems that refuse direct
/// I/O and the last partial buffer are written the ordinary way.
class FileStream : public ResponseStream {
 public:
  explicit FileStream(int fd) : fd_(fd) {}
  FileStream(const FileStream&) = delete;
  FileStream& operator=(const FileStream&) = delete;

  void restart() override {
    written_ = 0;
    held_ = 0;
    error_ = 0;
    setDirect(false);
    direct_tried_ = false;
    if (::ftruncate(fd_, 0) != 0 || ::lseek(fd_, 0, SEEK_SET) != 0) error_ = errno;
  }
  bool write(const char* data, std::size_t size) override {
    if (error_ == 0 && buffer_ == nullptr && !allocate()) return writeOut(data, size);
    while (size > 0 && error_ == 0) {
      const std::size_t n = std::min(size, kBufferSize - held_);
      std::memcpy(buffer_ + held_, data, n);
      held_ += n;
      data += n;
      size -= n;
      written_ += n;
      if (held_ == kBufferSize) {
        if (!direct_tried_) {
          direct_tried_ = true;
          setDirect(true);
        }
        if (!writeOut(buffer_, held_) && direct_ && error_ == EINVAL) {
          // The file system took O_DIRECT but not this write: write the
          // buffer again from its start, without it.
          error_ = 0;
          setDirect(false);
          if (::lseek(fd_, static_cast<off_t>(written_ - held_), SEEK_SET) < 0) {
            error_ = errno;
          } else {
            writeOut(buffer_, held_);
          }
        }
        held_ = 0;
      }
    }
    return error_ == 0;
  }
  /// Writes the bytes still held; false (see error()) when that fails.
  bool finish() {
    setDirect(false);
    if (held_ > 0 && error_ == 0) writeOut(buffer_, held_);
    held_ = 0;
    return error_ == 0;
  }
  int error() const { return error_; }

 private:
  bool allocate() {
    buffer_ = threadBuffer();
    return buffer_ != nullptr;
  }
  // Without a buffer (no memory for it) bytes go straight to the file.
  bool writeOut(const char* data, std::size_t size) {
    if (buffer_ == nullptr) written_ += size;
    while (size > 0 && error_ == 0) {
      const ssize_t n = ::write(fd_, data, size);
      if (n < 0) {
        if (errno == EINTR) continue;
        error_ = errno;
        break;
      }
      data += n;
      size -= static_cast<std::size_t>(n);
    }
    return error_ == 0;
  }
  void setDirect(bool on) {
    if (direct_ == on) return;
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags < 0) return;
    if (::fcntl(fd_, F_SETFL, on ? flags | O_DIRECT : flags & ~O_DIRECT) == 0) direct_ = on;
  }

  int fd_;
  int error_ = 0;
  std::uint64_t written_ = 0;
  char* buffer_ = nullptr;
  std::size_t held_ = 0;
  bool direct_ = false;
  bool direct_tried_ = false;
};

/// Receives one byte range of an object into its place in the file, with
/// pwrite: full aligned buffers through `direct_fd` (O_DIRECT, or -1 when the
/// file system refuses it), the rest through `fd`. restart() goes back to the
/// range's first byte, so a retried range overwrites what it had written.
class RangeStream : public ResponseStream {
 public:
  RangeStream(int fd, int direct_fd, std::uint64_t offset)
      : fd_(fd), direct_fd_(direct_fd), offset_(offset) {}
  RangeStream(const RangeStream&) = delete;
  RangeStream& operator=(const RangeStream&) = delete;

  void restart() override {
    flushed_ = 0;
    held_ = 0;
    error_ = 0;
  }
  bool write(const char* data, std::size_t size) override {
    while (size > 0 && error_ == 0) {
      const std::size_t n = std::min(size, kBufferSize - held_);
      std::memcpy(buffer() + held_, data, n);
      held_ += n;
      data += n;
      size -= n;
      if (held_ == kBufferSize) flush(direct_fd_ >= 0 ? direct_fd_ : fd_);
    }
    return error_ == 0;
  }
  bool finish() {
    if (held_ > 0 && error_ == 0) flush(fd_);
    return error_ == 0;
  }
  int error() const { return error_; }

 private:
  static char* buffer() {
    char* held = threadBuffer();
    if (held == nullptr) throw std::bad_alloc();
    return held;
  }
  void flush(int fd) {
    std::size_t done = 0;
    while (done < held_ && error_ == 0) {
      const ssize_t n = ::pwrite(fd, buffer() + done, held_ - done,
                                 static_cast<off_t>(offset_ + flushed_ + done));
      if (n >= 0) {
        done += static_cast<std::size_t>(n);
      } else if (errno == EINVAL && fd == direct_fd_ && done == 0) {
        fd = fd_;  // the file system took O_DIRECT at open but not this write
      } else if (errno != EINTR) {
        error_ = errno;
      }
    }
    flushed_ += held_;
    held_ = 0;
  }

  int fd_;
  int direct_fd_;
  std::uint64_t offset_;
  std::uint64_t flushed_ = 0;
  std::size_t held_ = 0;
  int error_ = 0;
};

// The temporary file beside `target`; failing to make it is reported against
// the target, the file the user asked for.
AtomicFile temporaryFileBeside(const fs::path& target) {
  try {
    return AtomicFile(target.string(), {.owner_only = true});
  } catch (const std::system_error& error) {
    throw std::system_error(error.code(),
                            "cannot create a temporary file beside " + target.string());
  }
}

// The file `path` names, with its parent folders made.
fs::path downloadTarget(const std::string& path) {
  fs::path target(path);
  if (target.filename().empty()) {
    throw std::invalid_argument("download target \"" + path + "\" names no file");
  }
  if (target.parent_path().empty()) target = fs::path(".") / target;
  fs::create_directories(target.parent_path());
  return target;
}

}  // namespace

S3ObjectInfo getObjectToFile(const S3Client& client, const std::string& bucket,
                             const std::string& key, const std::string& path) {
  checkS3Object(bucket, key);
  const fs::path target = downloadTarget(path);
  AtomicFile temp = temporaryFileBeside(target);
  FileStream stream(temp.fd());
  auto localFailure = [&] {
    return std::system_error(
        stream.error(), std::generic_category(),
        "cannot write " + temp.path() + " (download of s3://" + bucket + "/" + key + ")");
  };
  S3ObjectInfo info;
  try {
    info = client.getObject(bucket, key, stream);
  } catch (const TransportError&) {
    // A full disk shows up as a transfer the sink broke off.
    if (stream.error() != 0) throw localFailure();
    throw;
  }
  if (!stream.finish()) throw localFailure();
  temp.commit();
  return info;
}

S3ObjectInfo getObjectRangesToFile(const S3Client& client, const std::string& bucket,
                                   const std::string& key, const std::string& path,
                                   const ObjectVersion& object, std::uint64_t part_size,
                                   int max_concurrency) {
  checkS3Object(bucket, key);
  if (part_size == 0) throw std::invalid_argument("getObjectRangesToFile: a part size of 0");
  const fs::path target = downloadTarget(path);
  AtomicFile temp = temporaryFileBeside(target);
  if (::ftruncate(temp.fd(), static_cast<off_t>(object.size)) != 0) {
    throw std::system_error(errno, std::generic_category(), "cannot size " + temp.path());
  }
  // Whole buffers skip the page cache when every range starts aligned.
  UniqueFd direct(part_size % kAlignment == 0
                      ? ::open(temp.path().c_str(), O_WRONLY | O_DIRECT | O_CLOEXEC)
                      : -1);

  const std::uint64_t count = (object.size + part_size - 1) / part_size;
  S3ObjectInfo info;
  forEachPart(count, max_concurrency, [&](std::uint64_t index) {
    const std::uint64_t first = index * part_size;
    const std::uint64_t last = std::min(object.size, first + part_size) - 1;
    RangeStream stream(temp.fd(), direct.get(), first);
    S3ObjectInfo got;
    try {
      got = client.getObjectRange(bucket, key, first, last, object.etag, stream);
    } catch (const TransportError&) {
      if (stream.error() == 0) throw;
    }
    if (!stream.finish()) {
      throw std::system_error(
          stream.error(), std::generic_category(),
          "cannot write " + temp.path() + " (download of s3://" + bucket + "/" + key + ")");
    }
    if (index == 0) info = got;
  });
  temp.commit();
  info.content_length = object.size;
  return info;
}

}  // namespace aws
