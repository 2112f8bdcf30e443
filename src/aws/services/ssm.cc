#include "aws/services/ssm.h"

#include <cstdint>
#include <limits>
#include <stdexcept>

#include "aws/client/query_protocol.h"

namespace aws {

namespace {

SsmParameter readParameter(const nlohmann::json& object) {
  SsmParameter parameter;
  if (!object.is_object()) return parameter;
  parameter.name = protocol::jsonString(object, "Name");
  parameter.value = protocol::jsonString(object, "Value");
  parameter.type = protocol::jsonString(object, "Type");
  parameter.arn = protocol::jsonString(object, "ARN");
  if (auto version = object.find("Version"); version != object.end()) {
    // SSM sends an integer. A number that long long cannot hold (beyond 64
    // bits, or a float out of range) is ignored like any other non-integer,
    // rather than converted with undefined behaviour.
    if (version->is_number_unsigned()) {
      const auto value = version->get<std::uint64_t>();
      if (value <= static_cast<std::uint64_t>(std::numeric_limits<long long>::max())) {
        parameter.version = static_cast<long long>(value);
      }
    } else if (version->is_number_integer()) {
      parameter.version = version->get<long long>();
    } else if (version->is_number_float()) {
      const double value = version->get<double>();
      if (value >= -0x1p63 && value < 0x1p63) parameter.version = static_cast<long long>(value);
    }
  }
  return parameter;
}

}  // namespace

SsmClient::SsmClient(ClientConfig config) : client_(std::move(config)) {}

nlohmann::json SsmClient::call(const std::string& operation, const nlohmann::json& body) const {
  return protocol::invokeJson(client_, "AmazonSSM", operation, body);
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
  // No list is no parameter; a list whose parameters lack their name or
  // value is a broken answer, not an empty one.
  if (auto parameters = answer.find("Parameters"); parameters != answer.end()) {
    const std::string what = "ssm GetParametersByPath " + request.path + ": ";
    if (!parameters->is_array()) throw std::runtime_error(what + "Parameters is not a list");
    for (const auto& parameter : *parameters) {
      for (const char* member : {"Name", "Value"}) {
        if (!parameter.is_object() || !parameter.contains(member) ||
            !parameter.at(member).is_string()) {
          throw std::runtime_error(what + "a parameter of the answer has no " + member);
        }
      }
      result.parameters.push_back(readParameter(parameter));
    }
  }
  result.next_token = protocol::jsonString(answer, "NextToken");
  return result;
}

}  // namespace aws
