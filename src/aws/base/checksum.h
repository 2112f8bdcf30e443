#pragma once
// Checksums S3 verifies on upload.

#include <cstddef>
#include <cstdint>
#include <string>

namespace aws {

/// CRC-32 as zlib and S3's "CRC32" algorithm compute it (reflected
/// polynomial 0xEDB88320), built up piece by piece.
class Crc32 {
 public:
  void update(const void* data, std::size_t size);
  std::uint32_t value() const { return value_; }
  /// The form S3 headers and trailers carry: base64 of the four big-endian bytes.
  std::string base64() const;

 private:
  std::uint32_t value_ = 0;
};

/// Standard base64 (RFC 4648, with padding).
std::string base64Encode(const void* data, std::size_t size);

}  // namespace aws
