#pragma once
// The test configuration's JSON text. It is read with its key order kept and
// its big integers digit for digit, and written back in the same layout as
// Python's json.dumps(document, indent=2, ensure_ascii=True) followed by one
// line feed, so that a file the workflow's Python steps read or diff comes
// back byte for byte.

#include <cstdint>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

namespace probefleet {

/// The document in memory: an array of entry objects whose keys keep the
/// order of the file. Setting a key that exists keeps its place; a new key
/// goes after the existing ones.
using TestConfig = nlohmann::ordered_json;

/// A test configuration that cannot be used: unreadable, not JSON, not an
/// array of entry objects, or an entry without a key the run needs. The
/// message names the file and, where it applies, the entry and the key.
class TestConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// Binary subtype that marks an integer kept as its decimal digits.
inline constexpr std::uint8_t kBigIntegerSubtype = 0x69;

/// Parses JSON text into a document. Integers outside 64 bits are kept
/// digit for digit (as a binary value of subtype kBigIntegerSubtype holding
/// the digits), so that they are written back as they were read. Throws
/// TestConfigError naming `source` and the line and column of the fault when
/// the text is not JSON, and naming `source` when arrays and objects nest
/// deeper than 512 levels (more than writing them back can take).
TestConfig parseJsonText(const std::string& text, const std::string& source);

/// The document in the output layout: 2-space indentation, ", " free line
/// ends, ": " between key and value, non-ASCII escaped as \uXXXX (surrogate
/// pairs beyond the Basic Multilingual Plane), floats in their shortest
/// round-trip form as Python writes them, and one line feed at the end.
/// Throws TestConfigError on a value JSON cannot hold (invalid UTF-8, a
/// non-finite float, a binary value other than a kept big integer).
std::string formatTestConfig(const TestConfig& document);

}  // namespace probefleet
