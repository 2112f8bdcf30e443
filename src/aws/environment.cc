#include "aws/environment.h"

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

std::shared_ptr<Environment> processEnvironment() {
  static const std::shared_ptr<Environment> env = std::make_shared<ProcessEnvironment>();
  return env;
}

}  // namespace aws
