#pragma once
// The wire protocols of EC2 (ec2 query), IAM and STS (aws query) and SSM
// (JSON 1.1): request building and error parsing. Typed clients use these.

#include <chrono>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <pugixml.hpp>

#include "aws/client/client.h"
#include "aws/client/error.h"
#include "aws/http/http.h"

namespace aws::protocol {

/// Form parameters of a query request, in the order added.
class QueryBuilder {
 public:
  QueryBuilder(const std::string& action, const std::string& version);
  QueryBuilder& add(const std::string& name, const std::string& value);
  QueryBuilder& add(const std::string& name, bool value);  // "true" / "false"
  QueryBuilder& add(const std::string& name, long long value);
  QueryBuilder& add(const std::string& name, const char* value) {
    return add(name, std::string(value));
  }
  /// EC2 flattened list: prefix.1, prefix.2, ...
  QueryBuilder& addEc2List(const std::string& prefix, const std::vector<std::string>& values);
  /// AWS query list: prefix.member.1, prefix.member.2, ...
  QueryBuilder& addMemberList(const std::string& prefix, const std::vector<std::string>& values);
  const QueryParams& params() const { return params_; }
  const std::string& action() const { return action_; }
  /// POST / with a form-encoded body (the SDKs' Content-Type).
  HttpRequest toRequest() const;

 private:
  std::string action_;
  QueryParams params_;
};

/// EC2's error body:
/// <Response><Errors><Error><Code/><Message/></Error></Errors><RequestID/></Response>.
ServiceError parseEc2Error(const HttpResponse& response);
/// IAM/STS error body: <ErrorResponse><Error><Code/><Message/></Error><RequestId/></ErrorResponse>.
ServiceError parseQueryError(const std::string& service, const HttpResponse& response);
/// JSON 1.1 error body: {"__type": "...#Code", "message": "..."}.
ServiceError parseJsonError(const std::string& service, const HttpResponse& response);

/// A JSON 1.1 request: POST / with X-Amz-Target = target_prefix + "." + operation.
HttpRequest jsonRequest(const std::string& target_prefix, const std::string& operation,
                        const nlohmann::json& body);

/// Sends a JSON 1.1 action through `client` and returns its answer, which
/// must be a JSON object. Throws what ServiceClient::invoke throws
/// (ServiceError parsed by parseJsonError, with the client's service name),
/// and std::runtime_error naming the service and operation when the answer
/// is not a JSON object.
nlohmann::json invokeJson(const ServiceClient& client, const std::string& target_prefix,
                          const std::string& operation, const nlohmann::json& body);

/// The member `name` of a JSON answer's object when it is a string; ""
/// when it is absent or of another type.
std::string jsonString(const nlohmann::json& object, const char* name);

/// Parses an XML answer. Throws std::runtime_error naming `what` when the
/// body is not XML.
pugi::xml_document parseXml(const HttpResponse& response, const std::string& what);
/// Text of the first child element `name`; "" when absent.
std::string text(const pugi::xml_node& node, const char* name);

/// A parsed aws-query answer: `result` is <ActionResult> inside
/// <ActionResponse> (an empty node for actions that answer no result), and
/// `request_id` the answer's ResponseMetadata/RequestId.
struct QueryAnswer {
  pugi::xml_document document;
  pugi::xml_node result;
  std::string request_id;
};
/// Sends an aws-query (IAM, STS) action through `client`. Throws what
/// ServiceClient::invoke throws (ServiceError parsed by parseQueryError), and
/// std::runtime_error when the answer is not XML.
QueryAnswer invokeQuery(const ServiceClient& client, const QueryBuilder& query);

/// Parses an ISO 8601 UTC timestamp ("2024-05-01T12:00:00Z", fractional
/// seconds allowed). Throws std::runtime_error on other forms.
std::chrono::system_clock::time_point parseIsoTime(const std::string& text);

}  // namespace aws::protocol
