#pragma once
// Conformance helpers for request serialization: botocore's serializer (run
// through tests/oracles/serialize_oracle.py) is the reference, and our
// requests are decoded into the same shape so the two can be compared.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "aws/client/client.h"
#include "aws/http/http.h"

namespace testing_support {

/// One request for botocore to serialize: {"service": "iam", "operation":
/// "CreateRole", "params": {...}} with params in botocore's input shape.
struct OracleRequest {
  std::string service;
  std::string operation;
  nlohmann::json params = nlohmann::json::object();
};

/// What botocore produced. Query protocols (ec2, query) fill `params` with the
/// decoded form body; JSON 1.1 fills `target` (X-Amz-Target) and `body`.
struct OracleResult {
  std::map<std::string, std::string> params;
  std::string target;
  nlohmann::json body;
  /// REST-XML (S3): headers, the body as text, the path template and query.
  std::map<std::string, std::string> headers;
  std::string body_text;
  std::string url_path;
  std::map<std::string, std::string> query;
};

/// Runs tests/oracles/<script> with `input` as JSON on its standard input and
/// returns its standard output parsed as JSON. Throws std::runtime_error with
/// the script's stderr when it fails.
nlohmann::json runOracle(const std::string& script, const nlohmann::json& input);

/// Lower-case hex of bytes, and back: how oracles pass binary data in JSON.
std::string toHex(const std::string& bytes);
std::string fromHex(const std::string& hex);

/// Runs the oracle once for the whole batch (one Python start-up) and
/// returns one result per request, in order. Throws std::runtime_error with
/// the interpreter's stderr when the script fails (e.g. an unknown
/// operation or a parameter botocore rejects).
std::vector<OracleResult> botocoreSerialize(const std::vector<OracleRequest>& batch);

/// Decodes an application/x-www-form-urlencoded body ("a=1&b=%2F") into a map
/// ("+" is a space, %XX sequences are decoded). A repeated name keeps the last
/// value, as the oracle's dict does.
std::map<std::string, std::string> decodeForm(const std::string& body);
/// decodeForm(request.body).
std::map<std::string, std::string> decodeForm(const aws::HttpRequest& request);

}  // namespace testing_support
