#pragma once
// S3's "aws-chunked" content encoding with a checksum trailer. The payload
// goes out in chunks ("<hex size>\r\n<bytes>\r\n"), then a last, empty chunk
// whose trailer carries the payload's CRC32. The checksum is computed while
// the bytes are sent, so an upload reads its file once and still has S3
// verify every byte it stored.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "aws/base/checksum.h"

namespace aws {

/// How a file body is framed (HttpRequest::aws_chunked).
struct AwsChunked {
  std::uint64_t chunk_size = 1024 * 1024;
  /// The trailer's header name; its value is the CRC32 in S3's base64 form.
  std::string trailer = "x-amz-checksum-crc32";

  /// Length of the framed stream for a payload of `payload_length` bytes: what
  /// Content-Length must announce.
  std::uint64_t encodedLength(std::uint64_t payload_length) const;
};

/// Produces the framed stream piece by piece, pulling the payload from a
/// source as it goes.
class AwsChunkedEncoder {
 public:
  /// Fills up to `size` bytes at `out` with payload; returns how many it
  /// wrote. 0 means the payload ended early.
  using Source = std::function<std::size_t(char* out, std::size_t size)>;

  AwsChunkedEncoder(std::uint64_t payload_length, AwsChunked framing);

  /// Writes up to `capacity` bytes of the stream at `out` and returns how many;
  /// 0 once the stream is complete. Throws std::runtime_error when the source
  /// ends before the announced payload length.
  std::size_t read(char* out, std::size_t capacity, const Source& source);
  /// Back to the first byte (a request sent again).
  void rewind();
  /// The payload's CRC32; complete once read() has returned 0.
  const Crc32& checksum() const { return crc_; }

 private:
  std::uint64_t length_;
  AwsChunked framing_;
  Crc32 crc_;
  std::uint64_t payload_sent_ = 0;
  std::uint64_t chunk_left_ = 0;
  std::string text_;  // framing text not yet written
  std::size_t text_pos_ = 0;
  bool trailer_made_ = false;
};

}  // namespace aws
