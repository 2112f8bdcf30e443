// The aws-chunked framing of upload bodies: arbitrary payloads, chunk sizes
// and read sizes are framed by AwsChunkedEncoder, then read back by a decoder
// written here from AWS's description of the format
// (https://docs.aws.amazon.com/AmazonS3/latest/API/sigv4-streaming.html):
//
//   <hex size>[;chunk-signature=<64 hex>]\r\n<bytes>\r\n ... 0\r\n
//   <trailer name>:<value>\r\n ... \r\n
//
// The payload must come back byte for byte, the trailer must carry its CRC32
// (computed here bit by bit, apart from the encoder's), the stream must be as
// long as encodedLength() announced, and a rewound encoder must write the same
// stream again. A source that ends early must be refused.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "aws/http/aws_chunked.h"
#include "aws/base/checksum.h"

namespace {

struct Decoded {
  std::string payload;
  std::vector<std::pair<std::string, std::string>> trailers;
};

[[noreturn]] void fail() {
  __builtin_trap();
}

std::size_t lineEnd(const std::string& stream, std::size_t from) {
  const std::size_t end = stream.find("\r\n", from);
  if (end == std::string::npos) fail();
  return end;
}

// Unsigned streams carry no signature; a signed one carries exactly 64 hex digits.
std::uint64_t chunkHeader(const std::string& line, bool signed_stream) {
  const std::size_t semicolon = line.find(';');
  const std::string size_text = line.substr(0, semicolon);
  if (size_text.empty() || size_text.size() > 16) fail();
  std::uint64_t size = 0;
  for (char c : size_text) {
    const char* digits = "0123456789abcdef";
    const char* at = std::strchr(digits, c);
    if (c == 0 || at == nullptr) fail();  // lower-case hex only, as botocore writes it
    size = size * 16 + static_cast<std::uint64_t>(at - digits);
  }
  if (size_text.size() > 1 && size_text[0] == '0') fail();
  if (semicolon == std::string::npos) {
    if (signed_stream) fail();
    return size;
  }
  const std::string extension = line.substr(semicolon + 1);
  const std::string prefix = "chunk-signature=";
  if (!signed_stream || extension.rfind(prefix, 0) != 0) fail();
  if (extension.size() != prefix.size() + 64) fail();
  return size;
}

Decoded decode(const std::string& stream, bool signed_stream) {
  Decoded out;
  std::size_t at = 0;
  for (;;) {
    const std::size_t end = lineEnd(stream, at);
    const std::uint64_t size = chunkHeader(stream.substr(at, end - at), signed_stream);
    at = end + 2;
    if (size == 0) break;
    if (size > stream.size() - at) fail();
    out.payload.append(stream, at, size);
    at += size;
    if (stream.compare(at, 2, "\r\n") != 0) fail();
    at += 2;
  }
  for (;;) {
    const std::size_t end = lineEnd(stream, at);
    if (end == at) {
      at += 2;
      break;
    }
    const std::string line = stream.substr(at, end - at);
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos || colon == 0) fail();
    out.trailers.emplace_back(line.substr(0, colon), line.substr(colon + 1));
    at = end + 2;
  }
  if (at != stream.size()) fail();
  return out;
}

std::uint32_t crc32Bitwise(const std::string& data) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char c : data) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

// The whole stream, read in pieces of `capacity` bytes from a source that
// hands out at most `source_step` bytes per call.
std::string frame(aws::AwsChunkedEncoder& encoder, const std::string& payload, std::size_t capacity,
                  std::size_t source_step) {
  std::size_t taken = 0;
  const aws::AwsChunkedEncoder::Source source = [&](char* out, std::size_t size) {
    const std::size_t n = std::min({size, source_step, payload.size() - taken});
    std::memcpy(out, payload.data() + taken, n);
    taken += n;
    return n;
  };
  std::string stream;
  std::vector<char> buffer(capacity);
  while (const std::size_t n = encoder.read(buffer.data(), buffer.size(), source)) {
    if (n > capacity) fail();
    stream.append(buffer.data(), n);
  }
  return stream;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  aws::AwsChunked framing;
  framing.chunk_size = 1 + data[0] % 64 + (data[1] & 0x80 ? 8192 : 0);
  const std::size_t capacity = 1 + data[1] % 97;
  const std::size_t source_step = 1 + data[2] % 200;
  const bool short_source = data[3] == 0xFF;
  const std::string payload(reinterpret_cast<const char*>(data) + 4, size - 4);

  if (short_source) {
    // Announce one byte more than the source has: the encoder must refuse.
    aws::AwsChunkedEncoder encoder(payload.size() + 1, framing);
    try {
      frame(encoder, payload, capacity, source_step);
    } catch (const std::runtime_error&) {
      return 0;
    }
    fail();
  }

  aws::AwsChunkedEncoder encoder(payload.size(), framing);
  const std::string stream = frame(encoder, payload, capacity, source_step);
  if (stream.size() != framing.encodedLength(payload.size())) fail();

  const Decoded decoded = decode(stream, /*signed_stream=*/false);
  if (decoded.payload != payload) fail();
  const std::uint32_t crc = crc32Bitwise(payload);
  const unsigned char crc_bytes[4] = {
      static_cast<unsigned char>(crc >> 24), static_cast<unsigned char>(crc >> 16),
      static_cast<unsigned char>(crc >> 8), static_cast<unsigned char>(crc)};
  if (decoded.trailers.size() != 1 || decoded.trailers[0].first != framing.trailer ||
      decoded.trailers[0].second != aws::base64Encode(crc_bytes, 4) ||
      encoder.checksum().value() != crc) {
    fail();
  }

  // A request sent again (a retry) must send the very same bytes.
  encoder.rewind();
  if (frame(encoder, payload, 1 + (capacity * 7) % 113, source_step) != stream) fail();
  return 0;
}
