#pragma once
// The KMS action the program sends: DescribeKey, to learn whether a key can
// be used before anything that needs it is made.

#include <string>

#include "aws/client/client.h"

namespace aws {

/// The members of DescribeKey's KeyMetadata the program reads.
struct KmsKeyMetadata {
  std::string key_id;
  std::string arn;
  /// "Enabled", "Disabled", "PendingDeletion", "PendingImport",
  /// "Unavailable", "Creating", ...
  std::string key_state;
  std::string key_manager;  // "AWS" (an AWS managed key) or "CUSTOMER"
  bool enabled = false;
};

/// A client of one region's KMS endpoint (JSON 1.1, TrentService), safe to
/// use from several threads at once.
class KmsClient {
 public:
  explicit KmsClient(ClientConfig config);
  const ClientConfig& config() const { return client_.config(); }

  /// The key named by `key_id`: a key id, a key ARN, an alias name
  /// ("alias/aws/ebs") or an alias ARN. Throws ServiceError with KMS's code
  /// ("NotFoundException", "AccessDeniedException", "InvalidArnException",
  /// ...), TransportError when KMS cannot be reached, and std::runtime_error
  /// when the answer has no KeyMetadata with a KeyId.
  KmsKeyMetadata describeKey(const std::string& key_id) const;

 private:
  ServiceClient client_;
};

}  // namespace aws
