#include "aws/services/service_quotas.h"

#include <stdexcept>

#include <nlohmann/json.hpp>

#include "aws/client/query_protocol.h"

namespace aws {

namespace {

// "QUOTA_NOT_AVAILABLE: ..." from the quota's ErrorReason, or "".
std::string errorReason(const nlohmann::json& quota) {
  auto reason = quota.find("ErrorReason");
  if (reason == quota.end() || !reason->is_object()) return "";
  const std::string code = protocol::jsonString(*reason, "ErrorCode");
  const std::string message = protocol::jsonString(*reason, "ErrorMessage");
  return code + (code.empty() || message.empty() ? "" : ": ") + message;
}

}  // namespace

ServiceQuotasClient::ServiceQuotasClient(ClientConfig config) : client_(std::move(config)) {}

ServiceQuota ServiceQuotasClient::getServiceQuota(const std::string& service_code,
                                                  const std::string& quota_code) const {
  const nlohmann::json answer =
      protocol::invokeJson(client_, "ServiceQuotasV20190624", "GetServiceQuota",
                           {{"ServiceCode", service_code}, {"QuotaCode", quota_code}});
  const std::string what = "servicequotas GetServiceQuota " + service_code + "/" + quota_code;
  auto quota = answer.find("Quota");
  if (quota == answer.end() || !quota->is_object()) {
    throw std::runtime_error(what + ": the answer has no Quota");
  }
  auto value = quota->find("Value");
  if (value == quota->end() || !value->is_number()) {
    const std::string reason = errorReason(*quota);
    throw std::runtime_error(what + ": the answer has no value" +
                             (reason.empty() ? "" : " (" + reason + ")"));
  }
  ServiceQuota out;
  out.service_code = protocol::jsonString(*quota, "ServiceCode");
  out.quota_code = protocol::jsonString(*quota, "QuotaCode");
  out.quota_name = protocol::jsonString(*quota, "QuotaName");
  out.unit = protocol::jsonString(*quota, "Unit");
  out.value = value->get<double>();
  return out;
}

}  // namespace aws
