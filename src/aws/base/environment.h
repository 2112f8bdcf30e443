#pragma once
// The environment seam: variables and files read for configuration
// (credentials files, config files, CA bundles). Tests substitute a map.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace aws {

class Environment {
 public:
  virtual ~Environment() = default;
  /// The variable's value; nullopt when unset.
  virtual std::optional<std::string> get(const std::string& name) const = 0;
  /// The whole file; nullopt when it cannot be read.
  virtual std::optional<std::string> readFile(const std::string& path) const = 0;
  /// The user's home folder ("" when unknown).
  std::string home() const;
  /// get(name) when set and not empty, else nullopt.
  std::optional<std::string> nonEmpty(const std::string& name) const;
};

/// The process environment and the real file system.
class ProcessEnvironment : public Environment {
 public:
  std::optional<std::string> get(const std::string& name) const override;
  std::optional<std::string> readFile(const std::string& path) const override;
};

/// Variables from a map, files from a map; for tests.
class MapEnvironment : public Environment {
 public:
  std::map<std::string, std::string> vars;
  std::map<std::string, std::string> files;
  std::optional<std::string> get(const std::string& name) const override;
  std::optional<std::string> readFile(const std::string& path) const override;
};

/// Whether `text` is well-formed UTF-8 (no overlong forms, no surrogates,
/// nothing above U+10FFFF). Names and values that go to AWS must be: the
/// command line and the environment hand us bytes.
bool isValidUtf8(std::string_view text);

/// A shared ProcessEnvironment.
std::shared_ptr<Environment> processEnvironment();

}  // namespace aws
