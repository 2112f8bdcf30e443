#include "aws/ssm.h"

#include <stdexcept>

#include "aws/query_protocol.h"

namespace aws {

namespace {

std::string stringMember(const nlohmann::json& object, const char* name) {
  auto it = object.find(name);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

SsmParameter readParameter(const nlohmann::json& object) {
  SsmParameter parameter;
  if (!object.is_object()) return parameter;
  parameter.name = stringMember(object, "Name");
  parameter.value = stringMember(object, "Value");
  parameter.type = stringMember(object, "Type");
  parameter.arn = stringMember(object, "ARN");
  if (auto version = object.find("Version"); version != object.end() && version->is_number()) {
    parameter.version = version->get<long long>();
  }
  return parameter;
}

}  // namespace

SsmClient::SsmClient(ClientConfig config) : client_(std::move(config)) {}

nlohmann::json SsmClient::call(const std::string& operation, const nlohmann::json& body) const {
  const std::string& service = client_.config().service;
  HttpResponse response = client_.invoke(
      protocol::jsonRequest("AmazonSSM", operation, body),
      [&service](const HttpResponse& r) { return protocol::parseJsonError(service, r); });
  nlohmann::json answer = nlohmann::json::parse(response.body, nullptr, false);
  if (!answer.is_object()) {
    throw std::runtime_error(service + " " + operation + ": the answer is not a JSON object");
  }
  return answer;
}

SsmParameter SsmClient::getParameter(const GetParameterRequest& request) const {
  nlohmann::json body = {{"Name", request.name}};
  if (request.with_decryption) body["WithDecryption"] = *request.with_decryption;
  nlohmann::json answer = call("GetParameter", body);
  auto parameter = answer.find("Parameter");
  if (parameter == answer.end() || !parameter->is_object()) {
    throw std::runtime_error("ssm GetParameter " + request.name + ": the answer has no Parameter");
  }
  return readParameter(*parameter);
}

GetParametersByPathResult SsmClient::getParametersByPath(
    const GetParametersByPathRequest& request) const {
  nlohmann::json body = {{"Path", request.path}};
  if (request.recursive) body["Recursive"] = *request.recursive;
  if (request.with_decryption) body["WithDecryption"] = *request.with_decryption;
  if (!request.next_token.empty()) body["NextToken"] = request.next_token;
  nlohmann::json answer = call("GetParametersByPath", body);
  GetParametersByPathResult result;
  if (auto parameters = answer.find("Parameters");
      parameters != answer.end() && parameters->is_array()) {
    for (const auto& parameter : *parameters) result.parameters.push_back(readParameter(parameter));
  }
  result.next_token = stringMember(answer, "NextToken");
  return result;
}

}  // namespace aws
