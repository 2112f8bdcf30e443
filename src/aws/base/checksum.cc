#include "aws/base/checksum.h"

#ifdef PROBEFLEET_HAVE_ISAL
#include <isa-l/crc.h>
#else
#include <zlib.h>
#endif

#include <openssl/evp.h>

#include <algorithm>

namespace aws {

void Crc32::update(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
#ifdef PROBEFLEET_HAVE_ISAL
  // ISA-L folds with carry-less multiplication: about ten times zlib's speed.
  value_ = crc32_gzip_refl(value_, bytes, size);
#else
  while (size > 0) {
    const auto piece = static_cast<uInt>(std::min<std::size_t>(size, 1u << 30));
    value_ = static_cast<std::uint32_t>(::crc32(value_, bytes, piece));
    bytes += piece;
    size -= piece;
  }
#endif
}

std::string Crc32::base64() const {
  const unsigned char big_endian[4] = {
      static_cast<unsigned char>(value_ >> 24), static_cast<unsigned char>(value_ >> 16),
      static_cast<unsigned char>(value_ >> 8), static_cast<unsigned char>(value_)};
  return base64Encode(big_endian, sizeof(big_endian));
}

std::string base64Encode(const void* data, std::size_t size) {
  std::string out(4 * ((size + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                static_cast<const unsigned char*>(data), static_cast<int>(size));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

}  // namespace aws
