#pragma once
// The wire protocols of EC2 (ec2 query), IAM and STS (aws query) and SSM
// (JSON 1.1): request building and error parsing. Typed clients use these.

#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <pugixml.hpp>

#include "aws/error.h"
#include "aws/http.h"

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
  /// POST / with a form-encoded body (the SDKs' Content-Type).
  HttpRequest toRequest() const;

 private:
  QueryParams params_;
};

/// EC2's error body: <Response><Errors><Error><Code/><Message/></Error></Errors><RequestID/></Response>.
ServiceError parseEc2Error(const HttpResponse& response);
/// IAM/STS error body: <ErrorResponse><Error><Code/><Message/></Error><RequestId/></ErrorResponse>.
ServiceError parseQueryError(const std::string& service, const HttpResponse& response);
/// JSON 1.1 error body: {"__type": "...#Code", "message": "..."}.
ServiceError parseJsonError(const std::string& service, const HttpResponse& response);

/// A JSON 1.1 request: POST / with X-Amz-Target = target_prefix + "." + operation.
HttpRequest jsonRequest(const std::string& target_prefix, const std::string& operation,
                        const nlohmann::json& body);

/// Parses an XML answer. Throws std::runtime_error naming `what` when the
/// body is not XML.
pugi::xml_document parseXml(const HttpResponse& response, const std::string& what);
/// Text of the first child element `name`; "" when absent.
std::string text(const pugi::xml_node& node, const char* name);

}  // namespace aws::protocol
