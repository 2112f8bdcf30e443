#pragma once
// AWS Signature Version 4.

#include <chrono>
#include <string>

#include "aws/auth/credentials.h"
#include "aws/http/http.h"

namespace aws {

struct SigningParams {
  Credentials credentials;
  std::string region;   // credential scope region, e.g. "us-east-1"
  std::string service;  // signing name, e.g. "ec2", "s3"
  std::chrono::system_clock::time_point time;
  /// S3 rules: the path is used as sent (no normalisation, no double
  /// encoding) and x-amz-content-sha256 is always sent.
  bool s3 = false;
  /// Hex SHA-256 of the payload, or "UNSIGNED-PAYLOAD"; "" = compute from the
  /// in-memory body (or the file range).
  std::string payload_hash;
};

/// Adds Host, X-Amz-Date, X-Amz-Security-Token (when a session token is
/// present), x-amz-content-sha256 (S3) and Authorization to `request`.
void signRequest(HttpRequest& request, const SigningParams& params);

/// The pieces, exposed for tests.
std::string canonicalRequest(const HttpRequest& request, const SigningParams& params,
                             const std::string& payload_hash, std::string* signed_headers);
std::string stringToSign(const std::string& canonical_request, const SigningParams& params);
std::string sha256Hex(const std::string& data);
/// SHA-256 of a file range, hex. Throws std::runtime_error when unreadable.
std::string sha256HexOfFile(const FileRange& range);
/// "20150830T123600Z"
std::string amzDate(std::chrono::system_clock::time_point t);

}  // namespace aws
