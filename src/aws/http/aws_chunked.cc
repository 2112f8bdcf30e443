#include "aws/http/aws_chunked.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace aws {

namespace {

std::string hexSize(std::uint64_t size) {
  char text[24];
  std::snprintf(text, sizeof(text), "%llx", static_cast<unsigned long long>(size));
  return text;
}

/// "<hex>\r\n" + bytes + "\r\n"
std::uint64_t framedChunkLength(std::uint64_t size) {
  return hexSize(size).size() + 4 + size;
}

constexpr std::size_t kCrc32Base64Length = 8;  // four bytes, base64 with "=="

}  // namespace

std::uint64_t AwsChunked::encodedLength(std::uint64_t payload_length) const {
  const std::uint64_t full = payload_length / chunk_size;
  const std::uint64_t rest = payload_length % chunk_size;
  std::uint64_t total = full * framedChunkLength(chunk_size);
  if (rest > 0) total += framedChunkLength(rest);
  // "0\r\n" + "<trailer>:<value>\r\n" + "\r\n"
  return total + 3 + trailer.size() + 1 + kCrc32Base64Length + 2 + 2;
}

AwsChunkedEncoder::AwsChunkedEncoder(std::uint64_t payload_length, AwsChunked framing)
    : length_(payload_length), framing_(std::move(framing)) {
  if (framing_.chunk_size == 0) throw std::invalid_argument("aws-chunked: chunk size 0");
}

void AwsChunkedEncoder::rewind() {
  crc_ = Crc32{};
  payload_sent_ = 0;
  chunk_left_ = 0;
  text_.clear();
  text_pos_ = 0;
  trailer_made_ = false;
}

std::size_t AwsChunkedEncoder::read(char* out, std::size_t capacity, const Source& source) {
  std::size_t written = 0;
  while (written < capacity) {
    if (text_pos_ < text_.size()) {
      const std::size_t n = std::min(capacity - written, text_.size() - text_pos_);
      std::memcpy(out + written, text_.data() + text_pos_, n);
      text_pos_ += n;
      written += n;
      continue;
    }
    if (chunk_left_ > 0) {
      // Payload goes straight into the caller's buffer; the checksum is
      // taken there while the bytes are still in cache.
      const auto want =
          static_cast<std::size_t>(std::min<std::uint64_t>(capacity - written, chunk_left_));
      const std::size_t got = source(out + written, want);
      if (got == 0) {
        throw std::runtime_error("the body ended after " + std::to_string(payload_sent_) + " of " +
                                 std::to_string(length_) + " bytes");
      }
      crc_.update(out + written, got);
      chunk_left_ -= got;
      payload_sent_ += got;
      written += got;
      if (chunk_left_ == 0) {
        text_ = "\r\n";
        text_pos_ = 0;
      }
      continue;
    }
    if (trailer_made_) break;
    text_pos_ = 0;
    if (payload_sent_ < length_) {
      chunk_left_ = std::min(framing_.chunk_size, length_ - payload_sent_);
      text_ = hexSize(chunk_left_) + "\r\n";
    } else {
      text_ = "0\r\n" + framing_.trailer + ":" + crc_.base64() + "\r\n\r\n";
      trailer_made_ = true;
    }
  }
  return written;
}

}  // namespace aws
