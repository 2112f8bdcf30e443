// SigV4's canonical request and signature over arbitrary methods, endpoints,
// wire paths, query parameters and headers: no crash, the same answer twice,
// and, for header names that can be sent, a signed-header list that is what
// SigV4 defines (lower-case names, sorted, each once). Whether the canonical form is right is
// botocore's to say: tests/unit/sigv4_test.cc compares the two on chosen awkward requests.

#include <fuzzer/FuzzedDataProvider.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "aws/auth/sigv4.h"

namespace {

[[noreturn]] void fail() {
  __builtin_trap();
}

void checkSignedHeaders(const std::string& names) {
  std::string previous;
  std::size_t start = 0;
  bool first = true;
  while (start <= names.size()) {
    std::size_t end = names.find(';', start);
    if (end == std::string::npos) end = names.size();
    const std::string name = names.substr(start, end - start);
    for (char c : name) {
      if (c >= 'A' && c <= 'Z') fail();
    }
    if (!first && !(previous < name)) fail();
    previous = name;
    first = false;
    start = end + 1;
  }
}

// RFC 9110 field names; other names (empty, with ";" or line breaks) cannot
// be sent, and nothing in the program makes them.
bool isToken(const std::string& name) {
  if (name.empty()) return false;
  for (unsigned char c : name) {
    const bool ok =
        (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
        std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
    if (!ok) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  aws::HttpRequest request;
  request.method = input.ConsumeRandomLengthString(8);
  try {
    request.endpoint = aws::Endpoint::parse(input.ConsumeRandomLengthString(40));
  } catch (const std::invalid_argument&) {
    request.endpoint = aws::Endpoint::parse("https://ec2.us-east-1.amazonaws.com");
  }
  request.path = input.ConsumeRandomLengthString(64);
  for (int n = input.ConsumeIntegralInRange(0, 6); n > 0; --n) {
    std::string key = input.ConsumeRandomLengthString(16);
    request.query.emplace_back(std::move(key), input.ConsumeRandomLengthString(16));
  }
  bool sendable = true;
  for (int n = input.ConsumeIntegralInRange(0, 6); n > 0; --n) {
    std::string name = input.ConsumeRandomLengthString(16);
    sendable = sendable && isToken(name);
    request.headers.emplace_back(std::move(name), input.ConsumeRandomLengthString(24));
  }
  aws::SigningParams params;
  params.credentials = {"AKIDEXAMPLE", "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY",
                        input.ConsumeBool() ? "token" : "", std::nullopt};
  params.region = "us-east-1";
  params.service = "ec2";
  params.time = std::chrono::system_clock::time_point(std::chrono::seconds(1440938160));
  params.s3 = input.ConsumeBool();
  request.body = input.ConsumeRemainingBytesAsString();

  std::string names;
  const std::string canonical = aws::canonicalRequest(request, params, "UNSIGNED", &names);
  if (sendable) checkSignedHeaders(names);
  std::string names_again;
  if (aws::canonicalRequest(request, params, "UNSIGNED", &names_again) != canonical ||
      names_again != names) {
    fail();
  }

  aws::HttpRequest first = request, second = request;
  aws::signRequest(first, params);
  aws::signRequest(second, params);
  const std::string* a = first.header("Authorization");
  const std::string* b = second.header("Authorization");
  if (a == nullptr || b == nullptr || *a != *b) fail();
  // Signing again (a retry) replaces the signature with the same one.
  aws::signRequest(first, params);
  if (*first.header("Authorization") != *b) fail();
  return 0;
}
