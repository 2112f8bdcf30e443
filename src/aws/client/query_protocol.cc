#include "aws/client/query_protocol.h"

#include <cstdio>
#include <ctime>
#include <stdexcept>

namespace aws::protocol {

namespace {

// application/x-www-form-urlencoded as the SDKs send it: RFC 3986 unreserved
// characters stay, a blank becomes "+", every other byte is %XX.
std::string formEncode(const std::string& text) {
  static const char* kHex = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '_' || c == '.' || c == '~') {
      out += static_cast<char>(c);
    } else if (c == ' ') {
      out += '+';
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    }
  }
  return out;
}

std::string headerRequestId(const HttpResponse& response) {
  for (const char* name : {"x-amzn-RequestId", "x-amz-request-id"}) {
    if (const std::string* value = response.header(name)) return *value;
  }
  return "";
}

// The code an answer without a readable error body stands for.
std::string codeFromStatus(long status) {
  if (status == 503) return "ServiceUnavailable";
  return "Http" + std::to_string(status);
}

ServiceError fromStatus(const std::string& service, const HttpResponse& response) {
  return ServiceError(service, codeFromStatus(response.status),
                      "HTTP " + std::to_string(response.status) + " without an error document",
                      response.status, headerRequestId(response));
}

// Finds <Error><Code/><Message/></Error> wherever the document holds it and
// the request id under either of its spellings; both error shapes (EC2's
// <Response><Errors> and aws-query's <ErrorResponse>) are accepted so that a
// service answering in the other one is still understood.
ServiceError parseXmlError(const std::string& service, const HttpResponse& response) {
  pugi::xml_document document;
  if (response.body.empty() || !document.load_buffer(response.body.data(), response.body.size())) {
    return fromStatus(service, response);
  }
  pugi::xml_node error = document.select_node("//Error[Code]").node();
  if (!error) return fromStatus(service, response);
  std::string request_id = document.select_node("//RequestId").node().child_value();
  if (request_id.empty()) request_id = document.select_node("//RequestID").node().child_value();
  if (request_id.empty()) request_id = headerRequestId(response);
  return ServiceError(service, text(error, "Code"), text(error, "Message"), response.status,
                      request_id);
}

}  // namespace

QueryBuilder::QueryBuilder(const std::string& action, const std::string& version)
    : action_(action) {
  params_.emplace_back("Action", action);
  params_.emplace_back("Version", version);
}

QueryBuilder& QueryBuilder::add(const std::string& name, const std::string& value) {
  params_.emplace_back(name, value);
  return *this;
}

QueryBuilder& QueryBuilder::add(const std::string& name, bool value) {
  return add(name, std::string(value ? "true" : "false"));
}

QueryBuilder& QueryBuilder::add(const std::string& name, long long value) {
  return add(name, std::to_string(value));
}

QueryBuilder& QueryBuilder::addEc2List(const std::string& prefix,
                                       const std::vector<std::string>& values) {
  for (std::size_t i = 0; i < values.size(); ++i) {
    add(prefix + "." + std::to_string(i + 1), values[i]);
  }
  return *this;
}

QueryBuilder& QueryBuilder::addMemberList(const std::string& prefix,
                                          const std::vector<std::string>& values) {
  // The aws-query protocol sends an empty list as an empty value, so that
  // "clear this list" differs from "leave it alone".
  if (values.empty()) return add(prefix, std::string());
  for (std::size_t i = 0; i < values.size(); ++i) {
    add(prefix + ".member." + std::to_string(i + 1), values[i]);
  }
  return *this;
}

HttpRequest QueryBuilder::toRequest() const {
  HttpRequest request;
  request.method = "POST";
  request.path = "/";
  for (const auto& [name, value] : params_) {
    if (!request.body.empty()) request.body += '&';
    request.body += formEncode(name) + "=" + formEncode(value);
  }
  request.setHeader("Content-Type", "application/x-www-form-urlencoded; charset=utf-8");
  return request;
}

ServiceError parseEc2Error(const HttpResponse& response) {
  return parseXmlError("ec2", response);
}

ServiceError parseQueryError(const std::string& service, const HttpResponse& response) {
  return parseXmlError(service, response);
}

ServiceError parseJsonError(const std::string& service, const HttpResponse& response) {
  nlohmann::json body = nlohmann::json::parse(response.body, nullptr, false);
  // A front end (or a stand-in) may answer a JSON service's request in the
  // XML error shape; its code is still the best account of the failure.
  if (!body.is_object()) return parseXmlError(service, response);
  std::string code;
  if (auto type = body.find("__type"); type != body.end() && type->is_string()) {
    code = type->get<std::string>();
  } else if (auto c = body.find("code"); c != body.end() && c->is_string()) {
    code = c->get<std::string>();
  }
  // "com.amazonaws.ssm#ParameterNotFound" and "Code:http://..." both name
  // the code in the middle.
  if (auto hash = code.rfind('#'); hash != std::string::npos) code = code.substr(hash + 1);
  if (auto colon = code.find(':'); colon != std::string::npos) code = code.substr(0, colon);
  if (code.empty()) return fromStatus(service, response);
  std::string message;
  for (const char* key : {"message", "Message", "errorMessage"}) {
    if (auto m = body.find(key); m != body.end() && m->is_string()) {
      message = m->get<std::string>();
      break;
    }
  }
  return ServiceError(service, code, message, response.status, headerRequestId(response));
}

HttpRequest jsonRequest(const std::string& target_prefix, const std::string& operation,
                        const nlohmann::json& body) {
  HttpRequest request;
  request.method = "POST";
  request.path = "/";
  request.body = body.is_null() ? std::string("{}") : body.dump();
  request.setHeader("X-Amz-Target", target_prefix + "." + operation);
  request.setHeader("Content-Type", "application/x-amz-json-1.1");
  return request;
}

std::string jsonString(const nlohmann::json& object, const char* name) {
  const auto it = object.find(name);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

nlohmann::json invokeJson(const ServiceClient& client, const std::string& target_prefix,
                          const std::string& operation, const nlohmann::json& body) {
  const std::string& service = client.config().service;
  HttpResponse response =
      client.invoke(jsonRequest(target_prefix, operation, body),
                    [&service](const HttpResponse& r) { return parseJsonError(service, r); });
  nlohmann::json answer = nlohmann::json::parse(response.body, nullptr, false);
  if (!answer.is_object()) {
    throw std::runtime_error(service + " " + operation + ": the answer is not a JSON object");
  }
  return answer;
}

pugi::xml_document parseXml(const HttpResponse& response, const std::string& what) {
  pugi::xml_document document;
  pugi::xml_parse_result parsed = document.load_buffer(response.body.data(), response.body.size());
  if (!parsed || !document.document_element()) {
    throw std::runtime_error(what + ": the answer is not XML (" + parsed.description() + ")");
  }
  return document;
}

std::string text(const pugi::xml_node& node, const char* name) {
  return node.child(name).child_value();
}

QueryAnswer invokeQuery(const ServiceClient& client, const QueryBuilder& query) {
  const std::string& service = client.config().service;
  const std::string action = query.params().front().second;
  HttpResponse response = client.invoke(
      query.toRequest(), [&service](const HttpResponse& r) { return parseQueryError(service, r); });
  QueryAnswer answer;
  answer.document = parseXml(response, service + " " + action);
  pugi::xml_node root = answer.document.child((action + "Response").c_str());
  const std::string element = answer.document.document_element().name();
  if (!root && (element == "ErrorResponse" || element == "Response") &&
      answer.document.select_node("//Error[Code]")) {
    throw parseQueryError(service, response);  // an error, though the status said 200
  }
  if (!root) {
    throw std::runtime_error(service + " " + action + ": unexpected answer <" +
                             std::string(answer.document.document_element().name()) + ">");
  }
  answer.result = root.child((action + "Result").c_str());
  answer.request_id = root.child("ResponseMetadata").child_value("RequestId");
  return answer;
}

std::chrono::system_clock::time_point parseIsoTime(const std::string& text) {
  std::tm tm{};
  int consumed = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                  &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &consumed) != 6) {
    throw std::runtime_error("not an ISO 8601 time: '" + text + "'");
  }
  std::string rest = text.substr(static_cast<std::size_t>(consumed));
  if (!rest.empty() && rest[0] == '.') {
    std::size_t digits = rest.find_first_not_of("0123456789", 1);
    rest = rest.substr(digits == std::string::npos ? rest.size() : digits);
  }
  if (rest != "Z" && rest != "+00:00" && rest != "") {
    throw std::runtime_error("not a UTC ISO 8601 time: '" + text + "'");
  }
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  // system_clock counts nanoseconds: it holds only about 1678 to 2261, and a
  // time beyond that would overflow it.
  using std::chrono::seconds;
  using std::chrono::system_clock;
  const std::time_t since_epoch = timegm(&tm);
  if (since_epoch > std::chrono::duration_cast<seconds>(system_clock::duration::max()).count() ||
      since_epoch < std::chrono::duration_cast<seconds>(system_clock::duration::min()).count()) {
    throw std::runtime_error("ISO 8601 time out of range: '" + text + "'");
  }
  return system_clock::from_time_t(since_epoch);
}

}  // namespace aws::protocol
