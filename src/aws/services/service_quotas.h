#pragma once
// The Service Quotas action the program sends: GetServiceQuota, the
// account's applied value of one quota in the client's region.

#include <string>

#include "aws/client/client.h"

namespace aws {

struct ServiceQuota {
  std::string service_code;  // "ec2"
  std::string quota_code;    // "L-1216C47A"
  std::string quota_name;
  std::string unit;  // "None", "Count", ...
  double value = 0;
};

/// A client of one region's Service Quotas endpoint (JSON 1.1,
/// ServiceQuotasV20190624), safe to use from several threads at once.
class ServiceQuotasClient {
 public:
  explicit ServiceQuotasClient(ClientConfig config);
  const ClientConfig& config() const { return client_.config(); }

  /// The quota's value as applied to the account. Throws ServiceError with
  /// the service's code ("NoSuchResourceException", "AccessDeniedException",
  /// ...), TransportError when the service cannot be reached, and
  /// std::runtime_error when the answer carries no numeric Value (the
  /// service then says why in ErrorReason, which the message repeats): a
  /// quota it could not read is never reported as 0.
  ServiceQuota getServiceQuota(const std::string& service_code,
                               const std::string& quota_code) const;

 private:
  ServiceClient client_;
};

}  // namespace aws
