#pragma once
// EC2 waiters: poll an action until the instances reach a state, with the
// delays, attempt counts and acceptors of the SDKs' published EC2 waiter
// definitions. Every pause goes through the client's clock.

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "aws/services/ec2.h"

namespace aws {

/// A waiter that gave up: it ran out of attempts, reached a failure state,
/// or met an error that none of its acceptors expects. The message names the
/// waiter, the instances and the reason.
class WaiterError : public std::runtime_error {
 public:
  WaiterError(std::string waiter, std::vector<std::string> instance_ids, std::string reason);
  const std::string& waiter() const { return waiter_; }
  const std::vector<std::string>& instanceIds() const { return instance_ids_; }
  const std::string& reason() const { return reason_; }

 private:
  std::string waiter_;
  std::vector<std::string> instance_ids_;
  std::string reason_;
};

class Ec2Waiter {
 public:
  /// What one acceptor matches: every value of the waiter's path equals
  /// `expected` (and there is at least one), any value does, or the call
  /// failed with the error code `expected`.
  enum class Matcher { kPathAll, kPathAny, kError };
  enum class State { kSuccess, kFailure, kRetry };
  struct Acceptor {
    State state;
    Matcher matcher;
    std::string expected;
  };

  /// The waiter of that name: "instance_status_ok" (DescribeInstanceStatus,
  /// InstanceStatuses[].InstanceStatus.Status), "instance_running" and
  /// "instance_terminated" (DescribeInstances,
  /// Reservations[].Instances[].State.Name). The client must outlive the
  /// waiter. Throws std::invalid_argument for any other name.
  static Ec2Waiter named(const Ec2Client& client, std::string_view name);

  const std::string& name() const { return name_; }
  std::chrono::milliseconds delay() const { return delay_; }
  int maxAttempts() const { return max_attempts_; }
  const std::vector<Acceptor>& acceptors() const { return acceptors_; }

  /// Replaces the pause between polls and the number of polls (the SDKs'
  /// WaiterConfig Delay / MaxAttempts). max_attempts < 1 counts as 1.
  Ec2Waiter& configure(std::chrono::milliseconds delay, int max_attempts);

  /// Polls until an acceptor says success, pausing `delay` (through the
  /// client's clock) between polls. Throws WaiterError on a failure state,
  /// on an error no acceptor expects, and after `maxAttempts` polls without
  /// success. TransportError and ConfigError pass through unchanged.
  void wait(const std::vector<std::string>& instance_ids) const;

 private:
  enum class Operation { kDescribeInstanceStatus, kDescribeInstances };
  Ec2Waiter(const Ec2Client& client, std::string name, Operation operation, std::string path,
            std::vector<Acceptor> acceptors);
  /// The values at the waiter's path in one answer.
  std::vector<std::string> poll(const std::vector<std::string>& instance_ids) const;

  const Ec2Client* client_;
  std::string name_;
  Operation operation_;
  std::string path_;  // for messages
  std::chrono::milliseconds delay_{15000};
  int max_attempts_ = 40;
  std::vector<Acceptor> acceptors_;
};

}  // namespace aws
