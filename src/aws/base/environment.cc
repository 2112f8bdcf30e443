#include "aws/base/environment.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace aws {

std::string Environment::home() const {
  return get("HOME").value_or("");
}

std::optional<std::string> Environment::nonEmpty(const std::string& name) const {
  auto value = get(name);
  if (!value || value->empty()) return std::nullopt;
  return value;
}

std::optional<std::string> ProcessEnvironment::get(const std::string& name) const {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

std::optional<std::string> ProcessEnvironment::readFile(const std::string& path) const {
  // A directory opens fine as a stream on Linux but cannot be read; treat it
  // like a missing file rather than as an empty one.
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return std::nullopt;
  return text.str();
}

std::optional<std::string> MapEnvironment::get(const std::string& name) const {
  auto it = vars.find(name);
  if (it == vars.end()) return std::nullopt;
  return it->second;
}

std::optional<std::string> MapEnvironment::readFile(const std::string& path) const {
  auto it = files.find(path);
  if (it == files.end()) return std::nullopt;
  return it->second;
}

bool isValidUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const auto byte = static_cast<unsigned char>(text[i]);
    // The length of the sequence and the range its second byte must lie in
    // (RFC 3629, section 4), which rules out overlong forms and surrogates.
    std::size_t length = 1;
    unsigned char low = 0x80, high = 0xBF;
    if (byte < 0x80) {
      ++i;
      continue;
    } else if (byte >= 0xC2 && byte <= 0xDF) {
      length = 2;
    } else if (byte >= 0xE0 && byte <= 0xEF) {
      length = 3;
      if (byte == 0xE0) low = 0xA0;
      if (byte == 0xED) high = 0x9F;
    } else if (byte >= 0xF0 && byte <= 0xF4) {
      length = 4;
      if (byte == 0xF0) low = 0x90;
      if (byte == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    if (i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF)) return false;
    }
    i += length;
  }
  return true;
}

std::shared_ptr<Environment> processEnvironment() {
  static const std::shared_ptr<Environment> env = std::make_shared<ProcessEnvironment>();
  return env;
}

}  // namespace aws
