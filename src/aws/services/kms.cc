#include "aws/services/kms.h"

#include <stdexcept>

#include <nlohmann/json.hpp>

#include "aws/client/query_protocol.h"

namespace aws {

KmsClient::KmsClient(ClientConfig config) : client_(std::move(config)) {}

KmsKeyMetadata KmsClient::describeKey(const std::string& key_id) const {
  const nlohmann::json answer =
      protocol::invokeJson(client_, "TrentService", "DescribeKey", {{"KeyId", key_id}});
  auto metadata = answer.find("KeyMetadata");
  // Without the key's own id the answer says nothing about the key: taken
  // as a key in no state, it would pass for a disabled one.
  if (metadata == answer.end() || !metadata->is_object() ||
      protocol::jsonString(*metadata, "KeyId").empty()) {
    throw std::runtime_error("kms DescribeKey " + key_id + ": the answer has no KeyMetadata");
  }
  KmsKeyMetadata key;
  key.key_id = protocol::jsonString(*metadata, "KeyId");
  key.arn = protocol::jsonString(*metadata, "Arn");
  key.key_state = protocol::jsonString(*metadata, "KeyState");
  key.key_manager = protocol::jsonString(*metadata, "KeyManager");
  auto enabled = metadata->find("Enabled");
  key.enabled = enabled != metadata->end() && enabled->is_boolean() && enabled->get<bool>();
  return key;
}

}  // namespace aws
