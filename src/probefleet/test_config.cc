#include "probefleet/test_config.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <vector>

namespace probefleet {

namespace {

using Json = TestConfig;

// Builds the document from parser events. Unlike the library's own builder
// it keeps integers that do not fit 64 bits as their digits instead of
// turning them into lossy doubles.
class DocumentBuilder {
 public:
  using number_integer_t = Json::number_integer_t;
  using number_unsigned_t = Json::number_unsigned_t;
  using number_float_t = Json::number_float_t;
  using string_t = Json::string_t;
  using binary_t = Json::binary_t;

  explicit DocumentBuilder(Json& root) : root_(root) {}

  bool null() { return put(nullptr); }
  bool boolean(bool value) { return put(value); }
  bool number_integer(number_integer_t value) { return put(value); }
  bool number_unsigned(number_unsigned_t value) { return put(value); }
  bool number_float(number_float_t value, const string_t& literal) {
    if (literal.find_first_of(".eE") == string_t::npos) {
      // An integer literal reaches this event only when it overflowed.
      return put(Json::binary(binary_t::container_type(literal.begin(), literal.end()),
                              kBigIntegerSubtype));
    }
    return put(value);
  }
  bool string(string_t& value) { return put(std::move(value)); }
  bool binary(binary_t& value) { return put(Json::binary(std::move(value))); }
  bool start_object(std::size_t) {
    if (tooDeep()) return false;
    stack_.push_back(put(Json::object()) ? last_ : nullptr);
    return true;
  }
  bool key(string_t& name) {
    pending_key_ = std::move(name);
    return true;
  }
  bool end_object() {
    stack_.pop_back();
    return true;
  }
  bool start_array(std::size_t) {
    if (tooDeep()) return false;
    stack_.push_back(put(Json::array()) ? last_ : nullptr);
    return true;
  }
  bool end_array() {
    stack_.pop_back();
    return true;
  }
  bool parse_error(std::size_t position, const std::string&,
                   const nlohmann::detail::exception& error) {
    error_position_ = position;
    error_text_ = error.what();
    return false;
  }

  std::size_t errorPosition() const { return error_position_; }
  const std::string& errorText() const { return error_text_; }
  bool nestedTooDeep() const { return nested_too_deep_; }

  // Writing and comparing documents recurses once per level: deeper ones
  // would overflow the stack. Python's json module refuses them too.
  static constexpr std::size_t kMaxDepth = 512;

 private:
  bool tooDeep() {
    nested_too_deep_ = stack_.size() >= kMaxDepth;
    return nested_too_deep_;
  }

  // Stores `value` where the parser stands and remembers where it went.
  bool put(Json value) {
    if (stack_.empty()) {
      root_ = std::move(value);
      last_ = &root_;
    } else if (stack_.back()->is_array()) {
      stack_.back()->push_back(std::move(value));
      last_ = &stack_.back()->back();
    } else {
      // A repeated key keeps its first place and takes the last value, as
      // Python's json module does.
      Json& slot = (*stack_.back())[pending_key_];
      slot = std::move(value);
      last_ = &slot;
    }
    return true;
  }

  Json& root_;
  std::vector<Json*> stack_;
  Json* last_ = nullptr;
  string_t pending_key_;
  std::size_t error_position_ = 0;
  std::string error_text_;
  bool nested_too_deep_ = false;
};

// The library's message without its "[json.exception...] parse error at
// line L, column C: " preamble, which the caller words itself.
std::string errorDetail(const std::string& what) {
  std::string detail = what;
  if (auto bracket = detail.find("] ");
      detail.rfind("[json.exception", 0) == 0 && bracket != std::string::npos) {
    detail.erase(0, bracket + 2);
  }
  if (auto column = detail.find("column ");
      detail.rfind("parse error at", 0) == 0 && column != std::string::npos) {
    if (auto colon = detail.find(": ", column); colon != std::string::npos) {
      detail.erase(0, colon + 2);
    }
  }
  return detail;
}

// Line and column (both from 1) of the byte at which the parser stopped:
// `position` bytes were read, the last of them the offending one. At the end
// of the input just after a line feed, the column is 1 of the empty line.
std::pair<std::size_t, std::size_t> lineAndColumn(const std::string& text, std::size_t position) {
  position = std::min(position, text.size());
  std::size_t line = 1, line_start = 0;
  for (std::size_t i = 0; i < position; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return {line, std::max<std::size_t>(1, position - line_start)};
}

std::string quoted(const std::string& key) {
  return "\"" + key + "\"";
}

// ---- the output layout ----------------------------------------------------

void appendHex4(std::string& out, unsigned value) {
  static const char kDigits[] = "0123456789abcdef";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kDigits[(value >> shift) & 0xF];
}

// Decodes one UTF-8 sequence starting at text[i]; advances i past it.
unsigned decodeUtf8(const std::string& text, std::size_t& i) {
  const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  const unsigned lead = byte(i);
  int extra = 0;
  unsigned code = 0, minimum = 0;
  if (lead < 0x80) {
    ++i;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    extra = 1, code = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, code = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, code = lead & 0x07, minimum = 0x10000;
  } else {
    throw TestConfigError("text is not valid UTF-8");
  }
  if (i + extra >= text.size()) throw TestConfigError("text is not valid UTF-8");
  for (int k = 1; k <= extra; ++k) {
    const unsigned next = byte(i + k);
    if ((next & 0xC0) != 0x80) throw TestConfigError("text is not valid UTF-8");
    code = (code << 6) | (next & 0x3F);
  }
  if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
    throw TestConfigError("text is not valid UTF-8");
  }
  i += extra + 1;
  return code;
}

// A JSON string as Python writes it with ensure_ascii: printable ASCII as
// is, the usual short escapes, everything else as \uXXXX.
void appendString(std::string& out, const std::string& text) {
  static constexpr std::pair<unsigned, const char*> kShortEscapes[] = {
      {'"', "\\\""}, {'\\', "\\\\"}, {'\n', "\\n"}, {'\r', "\\r"},
      {'\t', "\\t"}, {'\b', "\\b"},  {'\f', "\\f"}};
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    const unsigned code = decodeUtf8(text, i);
    const auto* escape = std::find_if(std::begin(kShortEscapes), std::end(kShortEscapes),
                                      [&](const auto& e) { return e.first == code; });
    if (escape != std::end(kShortEscapes)) {
      out += escape->second;
    } else if (code >= 0x20 && code <= 0x7E) {
      out += static_cast<char>(code);
    } else if (code < 0x10000) {
      appendHex4(out, code);
    } else {
      const unsigned v = code - 0x10000;
      appendHex4(out, 0xD800 + (v >> 10));
      appendHex4(out, 0xDC00 + (v & 0x3FF));
    }
  }
  out += '"';
}

// A double as Python's repr() writes it: the shortest digits that read back
// to the same value, positional notation for decimal exponents -4 to 15
// (always with a fractional part), scientific with a signed exponent of at
// least two digits otherwise.
void appendFloat(std::string& out, double value) {
  if (!std::isfinite(value)) throw TestConfigError("a number is not finite");
  char buffer[64];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  std::string sci(buffer, result.ptr);  // e.g. "-1.2345e+17"
  std::string sign;
  if (sci[0] == '-') {
    sign = "-";
    sci.erase(0, 1);
  }
  const auto e_at = sci.find('e');
  const int exponent = std::stoi(sci.substr(e_at + 1));
  std::string digits = sci.substr(0, e_at);
  if (digits.size() > 1) digits.erase(1, 1);  // drop the decimal point

  out += sign;
  if (exponent >= -4 && exponent < 16) {
    if (exponent < 0) {
      out += "0." + std::string(-exponent - 1, '0') + digits;
    } else if (static_cast<int>(digits.size()) <= exponent + 1) {
      out += digits + std::string(exponent + 1 - digits.size(), '0') + ".0";
    } else {
      out += digits.substr(0, exponent + 1) + "." + digits.substr(exponent + 1);
    }
    return;
  }
  out += digits.substr(0, 1);
  if (digits.size() > 1) out += "." + digits.substr(1);
  const int magnitude = exponent < 0 ? -exponent : exponent;
  out += exponent < 0 ? "e-" : "e+";
  if (magnitude < 10) out += '0';
  out += std::to_string(magnitude);
}

void appendValue(std::string& out, const Json& value, int depth) {
  const auto newline = [&](int level) {
    out += '\n';
    out.append(static_cast<std::size_t>(level) * 2, ' ');
  };
  switch (value.type()) {
    case Json::value_t::null:
      out += "null";
      break;
    case Json::value_t::boolean:
      out += value.get<bool>() ? "true" : "false";
      break;
    case Json::value_t::number_integer:
      out += std::to_string(value.get<Json::number_integer_t>());
      break;
    case Json::value_t::number_unsigned:
      out += std::to_string(value.get<Json::number_unsigned_t>());
      break;
    case Json::value_t::number_float:
      appendFloat(out, value.get<double>());
      break;
    case Json::value_t::string:
      appendString(out, value.get_ref<const std::string&>());
      break;
    case Json::value_t::binary: {
      const auto& bytes = value.get_binary();
      if (!bytes.has_subtype() || bytes.subtype() != kBigIntegerSubtype) {
        throw TestConfigError("binary data cannot be written as JSON");
      }
      out.append(bytes.begin(), bytes.end());
      break;
    }
    case Json::value_t::array: {
      if (value.empty()) {
        out += "[]";
        break;
      }
      out += '[';
      bool first = true;
      for (const auto& element : value) {
        if (!first) out += ',';
        first = false;
        newline(depth + 1);
        appendValue(out, element, depth + 1);
      }
      newline(depth);
      out += ']';
      break;
    }
    case Json::value_t::object: {
      if (value.empty()) {
        out += "{}";
        break;
      }
      out += '{';
      bool first = true;
      for (const auto& [key, member] : value.items()) {
        if (!first) out += ',';
        first = false;
        newline(depth + 1);
        appendString(out, key);
        out += ": ";
        appendValue(out, member, depth + 1);
      }
      newline(depth);
      out += '}';
      break;
    }
    case Json::value_t::discarded:
      throw TestConfigError("a discarded value cannot be written");
  }
}

// ---- files -----------------------------------------------------------------

std::string systemError(int error) {
  return std::strerror(error);
}

// Closes a descriptor when it goes out of scope.
struct FileDescriptor {
  int fd = -1;
  ~FileDescriptor() {
    if (fd >= 0) ::close(fd);
  }
  int release() {
    const int out = fd;
    fd = -1;
    return ::close(out);
  }
};

std::string temporaryPathFor(const std::string& path) {
  static std::atomic<unsigned> counter{0};
  return path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
}

}  // namespace

TestConfig parseJsonText(const std::string& text, const std::string& source) {
  Json document;
  DocumentBuilder builder(document);
  if (!Json::sax_parse(text, &builder)) {
    if (builder.nestedTooDeep()) {
      throw TestConfigError("test config " + source + " is not usable: values nested deeper than " +
                            std::to_string(DocumentBuilder::kMaxDepth) + " levels");
    }
    const auto [line, column] = lineAndColumn(text, builder.errorPosition());
    throw TestConfigError("test config " + source + " is not valid JSON: line " +
                          std::to_string(line) + ", column " + std::to_string(column) + ": " +
                          errorDetail(builder.errorText()));
  }
  return document;
}

namespace {

// "entry 3 (nat-0a...)": an entry as a user finds it in the file.
std::string entryName(const Json& entry, std::size_t index) {
  std::string name = "entry " + std::to_string(index + 1);
  for (const char* key : {"nat_gw_id", "gw_name"}) {
    const auto found = entry.find(key);
    if (found != entry.end() && found->is_string() &&
        !found->get_ref<const std::string&>().empty()) {
      return name + " (" + key + " " + found->get<std::string>() + ")";
    }
  }
  return name;
}

// Two workers on one launch subnet would each find it empty and launch an
// instance of their own. Entries without a worker (no private_subnet_id)
// may share a subnet with another.
void requireDistinctWorkerSubnets(const Json& document, const std::string& where) {
  std::map<std::string, std::size_t> first_of;
  for (std::size_t i = 0; i < document.size(); ++i) {
    const Json& entry = document[i];
    if (entry.at("private_subnet_id").get_ref<const std::string&>().empty()) continue;
    const std::string& subnet = entry.at("gw_subnet_id").get_ref<const std::string&>();
    const auto [earlier, fresh] = first_of.emplace(subnet, i);
    if (!fresh) {
      throw TestConfigError(where + ": " + entryName(document[earlier->second], earlier->second) +
                            " and " + entryName(entry, i) + " both launch in gw_subnet_id " +
                            subnet + "; give each test subnet one entry");
    }
  }
}

}  // namespace

std::optional<std::uint32_t> parseIpv4(const std::string& text) {
  in_addr address{};
  if (::inet_pton(AF_INET, text.c_str(), &address) != 1) return std::nullopt;
  return ntohl(address.s_addr);
}

Ipv4Network parseIpv4Network(const std::string& text) {
  const auto fail = [&text](const std::string& why) -> std::invalid_argument {
    return std::invalid_argument("private_subnet_cidr \"" + text + "\" " + why);
  };
  const auto slash = text.find('/');
  const auto address = parseIpv4(text.substr(0, slash));
  if (!address) throw fail("is not an IPv4 network");

  std::uint32_t mask = 0xFFFFFFFFu;
  if (slash != std::string::npos) {
    const std::string suffix = text.substr(slash + 1);
    if (!suffix.empty() && suffix.size() <= 2 &&
        suffix.find_first_not_of("0123456789") == std::string::npos) {
      const int length = std::stoi(suffix);
      if (length > 32) throw fail("has a prefix length above 32");
      mask = length == 0 ? 0 : 0xFFFFFFFFu << (32 - length);
    } else if (const auto dotted = parseIpv4(suffix)) {
      // A netmask: ones then zeros.
      if ((~*dotted & (~*dotted + 1)) != 0) throw fail("has an invalid netmask");
      mask = *dotted;
    } else {
      throw fail("is not an IPv4 network");
    }
  }
  if ((*address & ~mask) != 0) throw fail("has host bits set");
  return {*address, mask};
}

void validateTestConfig(const TestConfig& document, const std::string& source, ConfigUse use) {
  const std::string where = "test config " + source;
  if (!document.is_array()) {
    throw TestConfigError(where + ": the top-level value is not an array of entries");
  }
  if (document.empty()) throw TestConfigError(where + ": the array holds no entry");
  for (std::size_t i = 0; i < document.size(); ++i) {
    const Json& entry = document[i];
    const std::string which = where + ": entry " + std::to_string(i + 1);
    if (!entry.is_object()) throw TestConfigError(which + " is not an object");
    const auto require = [&](const std::string& key, const std::string& why) {
      const auto found = entry.find(key);
      if (found == entry.end())
        throw TestConfigError(which + " lacks the key " + quoted(key) + why);
      if (!found->is_string()) {
        throw TestConfigError(which + ": the value of " + quoted(key) + " is not a string");
      }
    };
    // Each use checks only the keys it reads: a file a teardown can handle
    // must never block the teardown.
    if (use == ConfigUse::kResults) {
      require("private_subnet_id", "");
      require("gw_name", "");
      continue;
    }
    require("gw_subnet_id", "");
    require("private_subnet_id", "");
    if (use != ConfigUse::kDeploy) continue;
    if (entry.at("private_subnet_id").get_ref<const std::string&>().empty()) {
      require("nat_gw_id", " (required when private_subnet_id is empty)");
    } else {
      require("gw_private_ip", "");
      // The second interface's address is picked by this network: a value
      // that names none would fail only after the instance is launched.
      require("private_subnet_cidr", "");
      try {
        (void)parseIpv4Network(entry.at("private_subnet_cidr").get<std::string>());
      } catch (const std::invalid_argument& bad) {
        throw TestConfigError(which + ": " + bad.what());
      }
    }
  }
  if (use != ConfigUse::kResults) requireDistinctWorkerSubnets(document, where);
}

TestConfig readTestConfig(const std::string& path, ConfigUse use) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw TestConfigError("test config " + path + " cannot be read: " + systemError(errno));
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    throw TestConfigError("test config " + path + " cannot be read: " + systemError(errno));
  }
  TestConfig document = parseJsonText(text.str(), path);
  validateTestConfig(document, path, use);
  return document;
}

std::string formatTestConfig(const TestConfig& document) {
  std::string out;
  appendValue(out, document, 0);
  out += '\n';
  return out;
}

namespace {

// The file that writing `path` really reaches: a symlink is followed to its
// target, a dangling one too (writing creates the target, as open(2) would).
std::string resolveOutputPath(const std::string& path) {
  namespace fs = std::filesystem;
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

void writeAllText(int fd, const std::string& text, const std::function<void(int)>& fail) {
  for (std::size_t written = 0; written < text.size();) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno);
    }
    written += static_cast<std::size_t>(n);
  }
}

// Through the file itself: for devices and pipes, and for a file whose folder
// takes no new entries. Not atomic, but the only way to reach such a target.
void writeInPlace(const std::string& path, const std::string& target, const std::string& text) {
  const auto fail = [&](const std::string& step, int error) {
    throw TestConfigError("output test config " + path + ": " + step + ": " + systemError(error));
  };
  FileDescriptor file;
  file.fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (file.fd < 0) fail("cannot open " + target, errno);
  writeAllText(file.fd, text, [&](int error) { fail("cannot write", error); });
  struct stat info {};
  if (::fstat(file.fd, &info) == 0 && S_ISREG(info.st_mode) && ::fsync(file.fd) != 0) {
    fail("cannot flush", errno);
  }
  if (file.release() != 0) fail("cannot close", errno);
}

void writeAtomically(const std::string& path, const std::string& target, const std::string& text) {
  const std::string temporary = temporaryPathFor(target);
  const auto fail = [&](const std::string& step, int error) {
    ::unlink(temporary.c_str());
    throw TestConfigError("output test config " + path + ": " + step + ": " + systemError(error));
  };

  FileDescriptor file;
  // 0666 lets the umask decide, as an ordinary create would.
  file.fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (file.fd < 0) {
    throw TestConfigError("output test config " + path + ": cannot create " + temporary + ": " +
                          systemError(errno));
  }
  struct stat existing {};
  if (::stat(target.c_str(), &existing) == 0 && S_ISREG(existing.st_mode)) {
    if (::fchmod(file.fd, existing.st_mode & 07777) != 0) fail("cannot set permissions", errno);
  }
  writeAllText(file.fd, text, [&](int error) { fail("cannot write", error); });
  if (::fsync(file.fd) != 0) fail("cannot flush", errno);
  if (file.release() != 0) fail("cannot close", errno);
  if (::rename(temporary.c_str(), target.c_str()) != 0) fail("cannot replace the file", errno);
}

}  // namespace

void writeTestConfig(const std::string& path, const TestConfig& document) {
  const std::string text = formatTestConfig(document);
  // A device or pipe (/dev/stdout among them) is written through as named.
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode)) {
    writeInPlace(path, path, text);
    return;
  }
  const std::string target = resolveOutputPath(path);
  std::string folder = std::filesystem::path(target).parent_path().string();
  if (folder.empty()) folder = ".";
  // A missing folder goes the atomic way too, whose error names the file.
  if (::access(folder.c_str(), W_OK | X_OK) != 0 && errno != ENOENT) {
    writeInPlace(path, target, text);
    return;
  }
  writeAtomically(path, target, text);
}

}  // namespace probefleet
