#include "aws/services/ec2_waiters.h"

#include <algorithm>
#include <utility>

namespace aws {

namespace {

std::string joined(const std::vector<std::string>& values) {
  std::string out;
  for (const std::string& v : values) out += (out.empty() ? "" : ", ") + v;
  return out;
}

std::string describeFailure(const std::string& waiter, const std::vector<std::string>& ids,
                            const std::string& reason) {
  return "Waiter " + waiter + " failed for " + (ids.empty() ? "(no instance)" : joined(ids)) +
         ": " + reason;
}

bool matchesPath(Ec2Waiter::Matcher matcher, const std::vector<std::string>& values,
                 const std::string& expected) {
  // As in the SDKs, an empty projection matches neither pathAll nor pathAny.
  if (values.empty()) return false;
  const auto equal = [&](const std::string& v) { return v == expected; };
  return matcher == Ec2Waiter::Matcher::kPathAll ? std::all_of(values.begin(), values.end(), equal)
                                                 : std::any_of(values.begin(), values.end(), equal);
}

}  // namespace

WaiterError::WaiterError(std::string waiter, std::vector<std::string> instance_ids,
                         std::string reason)
    : std::runtime_error(describeFailure(waiter, instance_ids, reason)),
      waiter_(std::move(waiter)),
      instance_ids_(std::move(instance_ids)),
      reason_(std::move(reason)) {}

Ec2Waiter::Ec2Waiter(const Ec2Client& client, std::string name, Operation operation,
                     std::string path, std::vector<Acceptor> acceptors)
    : client_(&client),
      name_(std::move(name)),
      operation_(operation),
      path_(std::move(path)),
      acceptors_(std::move(acceptors)) {}

Ec2Waiter Ec2Waiter::named(const Ec2Client& client, std::string_view name) {
  using M = Matcher;
  using S = State;
  if (name == "instance_status_ok") {
    return Ec2Waiter(
        client, "instance_status_ok", Operation::kDescribeInstanceStatus,
        "InstanceStatuses[].InstanceStatus.Status",
        {{S::kSuccess, M::kPathAll, "ok"}, {S::kRetry, M::kError, "InvalidInstanceID.NotFound"}});
  }
  if (name == "instance_running") {
    return Ec2Waiter(client, "instance_running", Operation::kDescribeInstances,
                     "Reservations[].Instances[].State.Name",
                     {{S::kSuccess, M::kPathAll, "running"},
                      {S::kFailure, M::kPathAny, "shutting-down"},
                      {S::kFailure, M::kPathAny, "terminated"},
                      {S::kFailure, M::kPathAny, "stopping"},
                      {S::kRetry, M::kError, "InvalidInstanceID.NotFound"}});
  }
  if (name == "instance_terminated") {
    return Ec2Waiter(client, "instance_terminated", Operation::kDescribeInstances,
                     "Reservations[].Instances[].State.Name",
                     {{S::kSuccess, M::kPathAll, "terminated"},
                      {S::kFailure, M::kPathAny, "pending"},
                      {S::kFailure, M::kPathAny, "stopping"}});
  }
  throw std::invalid_argument("unknown EC2 waiter: " + std::string(name));
}

Ec2Waiter& Ec2Waiter::configure(std::chrono::milliseconds delay, int max_attempts) {
  delay_ = delay;
  max_attempts_ = std::max(1, max_attempts);
  return *this;
}

std::vector<std::string> Ec2Waiter::poll(const std::vector<std::string>& instance_ids) const {
  std::vector<std::string> values;
  if (operation_ == Operation::kDescribeInstanceStatus) {
    ec2::DescribeInstanceStatusRequest request;
    request.instance_ids = instance_ids;
    for (const auto& status : client_->describeInstanceStatus(request).instance_statuses) {
      // A projection drops the elements whose value is missing.
      if (status.instance_status) values.push_back(*status.instance_status);
    }
  } else {
    ec2::DescribeInstancesRequest request;
    request.instance_ids = instance_ids;
    for (const auto& reservation : client_->describeInstances(request).reservations) {
      for (const auto& instance : reservation.instances) {
        if (!instance.state_name.empty()) values.push_back(instance.state_name);
      }
    }
  }
  return values;
}

void Ec2Waiter::wait(const std::vector<std::string>& instance_ids) const {
  for (int attempt = 1;; ++attempt) {
    std::optional<State> state;
    std::string matched;
    try {
      const std::vector<std::string> values = poll(instance_ids);
      for (const Acceptor& acceptor : acceptors_) {
        if (acceptor.matcher != Matcher::kError &&
            matchesPath(acceptor.matcher, values, acceptor.expected)) {
          state = acceptor.state;
          matched = acceptor.expected;
          break;
        }
      }
    } catch (const ServiceError& error) {
      for (const Acceptor& acceptor : acceptors_) {
        if (acceptor.matcher == Matcher::kError && acceptor.expected == error.code()) {
          state = acceptor.state;
          matched = acceptor.expected;
          break;
        }
      }
      if (!state) {
        throw WaiterError(name_, instance_ids,
                          "unexpected error " + error.code() + ": " + error.message());
      }
    }
    if (state == State::kSuccess) return;
    if (state == State::kFailure) {
      throw WaiterError(name_, instance_ids,
                        "reached the failure state " + path_ + " = \"" + matched + "\"");
    }
    if (attempt >= max_attempts_) {
      throw WaiterError(name_, instance_ids,
                        "max attempts exceeded (" + std::to_string(max_attempts_) + " polls)");
    }
    client_->clock().sleep(delay_);
  }
}

}  // namespace aws
