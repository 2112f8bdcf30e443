// The test configuration reader and writer: any text either parses or is
// refused with TestConfigError; each use's check accepts or refuses cleanly;
// and a parsed document written out and read back is the same document,
// written the same way (what the program writes, it must read again).

#include <cstddef>
#include <cstdint>
#include <string>

#include "probefleet/config/test_config.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using probefleet::ConfigUse;
  using probefleet::TestConfigError;
  const std::string text(reinterpret_cast<const char*>(data), size);
  probefleet::TestConfig document;
  try {
    document = probefleet::parseJsonText(text, "fuzz.json");
  } catch (const TestConfigError&) {
    return 0;
  }
  for (ConfigUse use : {ConfigUse::kDeploy, ConfigUse::kTeardown, ConfigUse::kResults}) {
    try {
      probefleet::validateTestConfig(document, "fuzz.json", use);
    } catch (const TestConfigError&) {
    }
  }
  std::string written;
  try {
    written = probefleet::formatTestConfig(document);
  } catch (const TestConfigError&) {
    return 0;  // a value JSON text cannot hold (a float beyond double's range)
  }
  const probefleet::TestConfig reread = probefleet::parseJsonText(written, "written.json");
  if (reread != document) __builtin_trap();
  if (probefleet::formatTestConfig(reread) != written) __builtin_trap();
  return 0;
}
