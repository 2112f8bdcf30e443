// probefleet's command line: the input split at NUL bytes into arguments.
// parseArgs promises never to throw and to answer every line with one of its
// kinds; a usage error's text ends with a newline, as the help does.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "probefleet/core/options.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> arguments;
  std::string current;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      arguments.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(data[i]);
    }
  }
  if (size > 0) arguments.push_back(current);

  const probefleet::ParseResult result = probefleet::parseArgs(arguments);
  using Kind = probefleet::ParseResult::Kind;
  if (result.kind == Kind::kArgs) {
    // Both required options were given.
    if (!result.text.empty()) __builtin_trap();
  } else if (result.text.empty() || result.text.back() != '\n') {
    __builtin_trap();
  }
  return 0;
}
