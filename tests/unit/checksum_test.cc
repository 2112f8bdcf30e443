// Upload checksums and the aws-chunked framing. References: zlib's crc32
// (an implementation independent of the one we use), RFC 4648's base64
// vectors, and botocore's AwsChunkedWrapper for the framed bytes.

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "aws/http/aws_chunked.h"
#include "aws/base/checksum.h"
#include "support/serialization.h"

namespace {

std::string randomBytes(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::string out(size, '\0');
  for (char& c : out) c = static_cast<char>(rng() & 0xFF);
  return out;
}

std::uint32_t zlibCrc(const std::string& data) {
  return static_cast<std::uint32_t>(
      ::crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

using testing_support::toHex;

/// A payload source over a string, as a file would feed the encoder.
aws::AwsChunkedEncoder::Source sourceOf(const std::string& payload, std::size_t& at) {
  return [&payload, &at](char* out, std::size_t want) {
    const std::size_t n = std::min(want, payload.size() - at);
    payload.copy(out, n, at);
    at += n;
    return n;
  };
}

TEST(Crc32, EqualsZlibWhateverThePiecesItIsFedIn) {
  aws::Crc32 check;
  check.update("123456789", 9);
  EXPECT_EQ(check.value(), 0xCBF43926u);  // the CRC-32 check value
  EXPECT_EQ(aws::Crc32{}.value(), 0u);

  // Lengths around the vector widths of the fast paths, fed whole and in
  // uneven pieces.
  for (std::size_t size : {1u, 15u, 16u, 17u, 63u, 64u, 65u, 255u, 256u, 257u, 4096u, 100003u}) {
    const std::string data = randomBytes(size, static_cast<unsigned>(size));
    aws::Crc32 whole;
    whole.update(data.data(), data.size());
    EXPECT_EQ(whole.value(), zlibCrc(data)) << size;
    aws::Crc32 pieces;
    for (std::size_t at = 0, step = 1; at < size; at += step, step = step * 3 + 1) {
      pieces.update(data.data() + at, std::min(step, size - at));
    }
    EXPECT_EQ(pieces.value(), zlibCrc(data)) << size;
  }
}

TEST(Crc32, Base64IsOfTheBigEndianBytes) {
  aws::Crc32 abc;
  abc.update("abc", 3);  // 0x352441c2
  EXPECT_EQ(abc.base64(), "NSRBwg==");
  EXPECT_EQ(aws::Crc32{}.base64(), "AAAAAA==");
  const std::vector<std::pair<std::string, std::string>> rfc4648 = {{"", ""},
                                                                    {"f", "Zg=="},
                                                                    {"fo", "Zm8="},
                                                                    {"foo", "Zm9v"},
                                                                    {"foob", "Zm9vYg=="},
                                                                    {"fooba", "Zm9vYmE="},
                                                                    {"foobar", "Zm9vYmFy"}};
  for (const auto& [in, out] : rfc4648) EXPECT_EQ(aws::base64Encode(in.data(), in.size()), out);
}

/// Drains an encoder through reads of at most `piece` bytes.
std::string frame(const std::string& payload, std::uint64_t chunk_size, std::size_t piece,
                  aws::AwsChunkedEncoder* reuse = nullptr) {
  aws::AwsChunked framing;
  framing.chunk_size = chunk_size;
  aws::AwsChunkedEncoder own(payload.size(), framing);
  aws::AwsChunkedEncoder& encoder = reuse ? *reuse : own;
  std::size_t at = 0;
  const aws::AwsChunkedEncoder::Source source = sourceOf(payload, at);
  std::string out;
  std::vector<char> buffer(piece);
  while (const std::size_t n = encoder.read(buffer.data(), buffer.size(), source)) {
    out.append(buffer.data(), n);
  }
  return out;
}

TEST(AwsChunked, FramesAsBotocoreDoesAndAnnouncesTheRightLength) {
  struct Case {
    std::size_t size;
    std::uint64_t chunk;
  };
  const std::vector<Case> cases = {{0, 4},  {1, 4},   {3, 4},    {4, 4},          {5, 4},
                                   {17, 4}, {64, 16}, {255, 16}, {1000, 1 << 20}, {70000, 65536}};
  nlohmann::json input = nlohmann::json::array();
  for (const Case& c : cases) {
    input.push_back(
        {{"payload_hex", toHex(randomBytes(c.size, 7 + c.size))}, {"chunk_size", c.chunk}});
  }
  const nlohmann::json expected = testing_support::runOracle("aws_chunked_oracle.py", input);
  ASSERT_EQ(expected.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(std::to_string(c.size) + " bytes in chunks of " + std::to_string(c.chunk));
    const std::string payload = randomBytes(c.size, 7 + c.size);
    aws::AwsChunked framing;
    framing.chunk_size = c.chunk;
    // Read piece sizes smaller than, equal to and larger than a chunk.
    for (std::size_t piece : {std::size_t{1}, std::size_t{3}, static_cast<std::size_t>(c.chunk),
                              std::size_t{1} << 20}) {
      const std::string framed = frame(payload, c.chunk, piece);
      EXPECT_EQ(toHex(framed), expected[i]["framed_hex"].get<std::string>()) << "piece " << piece;
      EXPECT_EQ(framed.size(), framing.encodedLength(c.size)) << "piece " << piece;
    }
  }
}

TEST(AwsChunked, AShortSourceIsAnErrorAndRewindStartsOver) {
  const std::string payload = randomBytes(50, 3);
  aws::AwsChunked framing;
  framing.chunk_size = 16;
  aws::AwsChunkedEncoder encoder(60, framing);  // announces more than there is
  std::size_t at = 0;
  const aws::AwsChunkedEncoder::Source source = sourceOf(payload, at);
  char buffer[64];
  EXPECT_THROW(
      {
        while (encoder.read(buffer, sizeof(buffer), source) > 0) {
        }
      },
      std::runtime_error);

  aws::AwsChunkedEncoder twice(payload.size(), framing);
  const std::string first = frame(payload, 16, 7, &twice);
  twice.rewind();
  const std::string second = frame(payload, 16, 5, &twice);
  EXPECT_EQ(first, second);
  aws::Crc32 crc;
  crc.update(payload.data(), payload.size());
  EXPECT_EQ(twice.checksum().value(), crc.value());
  EXPECT_NE(first.find("x-amz-checksum-crc32:" + crc.base64() + "\r\n\r\n"), std::string::npos);
}

}  // namespace
