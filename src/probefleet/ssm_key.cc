#include "probefleet/ssm_key.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <system_error>

#include <openssl/crypto.h>

#include "testlib/common.h"

namespace probefleet {

namespace {

// Clears the key text from memory once it is no longer needed.
class Wiped {
 public:
  explicit Wiped(std::string& text) : text_(text) {}
  ~Wiped() { OPENSSL_cleanse(text_.data(), text_.size()); }
  Wiped(const Wiped&) = delete;
  Wiped& operator=(const Wiped&) = delete;

 private:
  std::string& text_;
};

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  /// Closes now; the close's own failure is an error of the write.
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

// Writes `key` to `path` readable by its owner only from the first byte on:
// a new file is created with 0600, an existing one is set to 0600 before
// anything is written into it.
void writePrivateFile(const std::string& path, const std::string& key) {
  FileDescriptor file(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (file.get() < 0) fail("open", path);
  try {
    if (::fchmod(file.get(), 0600) != 0) fail("restrict the mode of", path);
    writeAll(file.get(), key, path);
    if (file.release() != 0) fail("close", path);
  } catch (...) {
    // A partial key is of no use to anyone; leave no file behind.
    ::unlink(path.c_str());
    throw;
  }
}

}  // namespace

void getPemKeyFromSSM(const aws::SsmClient& ssm, const std::string& parameter_name,
                      const Args& args) {
  if (!given(args.key_name)) throw std::invalid_argument("no key name to write the key file to");
  testlib::logger()->info("- Download pem key " + parameter_name + " from SSM");

  aws::GetParameterRequest request;
  request.name = parameter_name;
  request.with_decryption = true;
  aws::SsmParameter parameter = ssm.getParameter(request);
  const Wiped wiped(parameter.value);
  writePrivateFile(*args.key_name, parameter.value);
}

}  // namespace probefleet
