// The key-pair fingerprint of arbitrary bytes taken as PEM private-key text:
// a fingerprint or std::runtime_error, and the same answer twice.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string_view>

#include "s3/fingerprint.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view pem(reinterpret_cast<const char*>(data), size);
  try {
    const s3lib::FingerprintResult first = s3lib::fingerprintOfPem(pem);
    // 20 bytes of SHA-1, as "aa:bb:...".
    if (first["fingerprint"].get<std::string>().size() != 59) __builtin_trap();
    if (s3lib::fingerprintOfPem(pem) != first) __builtin_trap();
  } catch (const std::runtime_error&) {
  }
  return 0;
}
