#include "probefleet/config/test_config.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "aws/base/atomic_file.h"
#include "aws/base/strings.h"
#include "probefleet/config/ipv4.h"

namespace probefleet {

namespace {

using Json = TestConfig;

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

namespace {

// The entry holds `key` as a JSON string; `why` says when it is needed.
void requireString(const Json& entry, const std::string& which, const std::string& key,
                   const std::string& why = "") {
  const auto found = entry.find(key);
  if (found == entry.end()) {
    throw TestConfigError(which + " lacks the key " + aws::inQuotes(key) + why);
  }
  if (!found->is_string()) {
    throw TestConfigError(which + ": the value of " + aws::inQuotes(key) + " is not a string");
  }
}

// Each use checks only the keys it reads: a file a teardown can handle must
// never block the teardown.
void checkEntry(const Json& entry, const std::string& which, ConfigUse use) {
  if (!entry.is_object()) throw TestConfigError(which + " is not an object");
  if (use == ConfigUse::kResults) {
    requireString(entry, which, "private_subnet_id");
    requireString(entry, which, "gw_name");
    return;
  }
  requireString(entry, which, "gw_subnet_id");
  requireString(entry, which, "private_subnet_id");
  if (use != ConfigUse::kDeploy) return;
  if (entry.at("private_subnet_id").get_ref<const std::string&>().empty()) {
    requireString(entry, which, "nat_gw_id", " (required when private_subnet_id is empty)");
    return;
  }
  requireString(entry, which, "gw_private_ip");
  // The second interface's address is picked by this network: a value that
  // names none would fail only after the instance is launched.
  requireString(entry, which, "private_subnet_cidr");
  try {
    (void)parseIpv4Network(entry.at("private_subnet_cidr").get<std::string>());
  } catch (const std::invalid_argument& bad) {
    throw TestConfigError(which + ": " + bad.what());
  }
}

}  // namespace

void validateTestConfig(const TestConfig& document, const std::string& source, ConfigUse use) {
  const std::string where = "test config " + source;
  if (!document.is_array()) {
    throw TestConfigError(where + ": the top-level value is not an array of entries");
  }
  if (document.empty()) throw TestConfigError(where + ": the array holds no entry");
  for (std::size_t i = 0; i < document.size(); ++i) {
    checkEntry(document[i], where + ": entry " + std::to_string(i + 1), use);
  }
  if (use != ConfigUse::kResults) requireDistinctWorkerSubnets(document, where);
}

TestConfig readTestConfig(const std::string& path, ConfigUse use) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    throw TestConfigError("test config " + path + " cannot be read: " + std::strerror(errno));
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) {
    throw TestConfigError("test config " + path + " cannot be read: " + std::strerror(errno));
  }
  TestConfig document = parseJsonText(text.str(), path);
  validateTestConfig(document, path, use);
  return document;
}

void writeTestConfig(const std::string& path, const TestConfig& document) {
  const std::string text = formatTestConfig(document);
  try {
    aws::writeFileAtomically(path, text);
  } catch (const std::system_error& failed) {
    throw TestConfigError("output test config " + path + ": " + failed.what());
  }
}

}  // namespace probefleet
