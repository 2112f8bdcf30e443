#include "probefleet/fleet_watch.h"

#include <regex>
#include <set>
#include <stdexcept>

#include "aws/services/ec2_waiters.h"
#include "aws/client/error.h"

namespace probefleet {

namespace {

std::map<std::string, aws::ec2::Instance> describeInstances(const aws::Ec2Client& ec2,
                                                            const std::vector<std::string>& ids) {
  // A filter rather than InstanceIds: an id EC2 does not show yet (or any
  // more) is simply not listed, instead of failing the whole request.
  aws::ec2::DescribeInstancesRequest request;
  request.filters = {{"instance-id", ids}};
  std::map<std::string, aws::ec2::Instance> found;
  do {
    const auto page = ec2.describeInstances(request);
    for (const auto& reservation : page.reservations) {
      for (const auto& instance : reservation.instances) found[instance.instance_id] = instance;
    }
    request.next_token = page.next_token;
  } while (!request.next_token.empty());
  return found;
}

std::map<std::string, aws::ec2::InstanceStatus> describeStatuses(const aws::Ec2Client& ec2,
                                                                 std::vector<std::string> ids) {
  // DescribeInstanceStatus takes only explicit ids and fails as a whole on
  // one it does not know (yet): those named in the refusal are left out and
  // the rest asked again.
  std::map<std::string, aws::ec2::InstanceStatus> found;
  while (!ids.empty()) {
    aws::ec2::DescribeInstanceStatusRequest request;
    request.instance_ids = ids;
    // Instances that are not running are listed too: a launch that dies
    // shows here as shutting-down or terminated.
    request.include_all_instances = true;
    try {
      do {
        const auto page = ec2.describeInstanceStatus(request);
        for (const auto& status : page.instance_statuses) found[status.instance_id] = status;
        request.next_token = page.next_token;
      } while (!request.next_token.empty());
      return found;
    } catch (const aws::ServiceError& error) {
      if (error.code() != "InvalidInstanceID.NotFound") throw;
      const std::vector<std::string> unknown = instanceIdsIn(error.message());
      const std::set<std::string> drop(unknown.begin(), unknown.end());
      std::vector<std::string> rest;
      for (const std::string& id : ids) {
        if (!drop.count(id)) rest.push_back(id);
      }
      // Nothing named that we asked for: no telling which are unknown, and
      // none of them is running as far as this round can tell.
      if (rest.size() == ids.size()) return found;
      ids = std::move(rest);
    }
  }
  return found;
}

}  // namespace

std::vector<std::string> instanceIdsIn(const std::string& message) {
  static const std::regex id(R"(\bi-[0-9a-f]+\b)");
  std::vector<std::string> ids;
  for (auto it = std::sregex_iterator(message.begin(), message.end(), id);
       it != std::sregex_iterator(); ++it) {
    ids.push_back(it->str());
  }
  return ids;
}

FleetWatch::FleetWatch(const aws::Ec2Client& ec2, aws::Clock& clock)
    : instances_(
          clock, kInstanceRoundPeriod,
          [&ec2](const std::vector<std::string>& ids) { return describeInstances(ec2, ids); }),
      statuses_(clock, kStatusRoundPeriod, [&ec2](const std::vector<std::string>& ids) {
        return describeStatuses(ec2, ids);
      }) {}

Sighting<aws::ec2::Instance> FleetWatch::waitInstance(const std::string& instance_id,
                                                      const InstanceCheck& done,
                                                      WaitLimits limits) {
  Sighting<aws::ec2::Instance> last;
  int polls = 0;
  std::chrono::milliseconds waited{0};
  while (polls < limits.polls && waited < std::max(limits.time, instances_.period())) {
    Sighting<aws::ec2::Instance> sighting = instances_.next(instance_id);
    waited += instances_.period();
    if (!sighting.answered) {
      if (!last.answered) last.failure = sighting.failure;
      continue;
    }
    ++polls;
    last = std::move(sighting);
    if (done(last.value)) break;
  }
  return last;
}

bool FleetWatch::waitTerminated(const std::string& instance_id,
                                std::chrono::milliseconds patience) {
  // An instance EC2 no longer lists at all is long gone.
  const auto gone = [](const std::optional<aws::ec2::Instance>& instance) {
    return !instance || instance->state_name == "terminated";
  };
  const auto sighting = waitInstance(instance_id, gone, {kWatchPolls, patience});
  return sighting.answered && gone(sighting.value);
}

std::string FleetWatch::stateReason(const std::string& instance_id) {
  // The state reason is in DescribeInstances only: one round of those.
  const auto sighting =
      waitInstance(instance_id, [](const std::optional<aws::ec2::Instance>&) { return true; },
                   {1, kInstanceRoundPeriod * 3});
  if (!sighting.value) return "";
  const aws::ec2::Instance& instance = *sighting.value;
  if (!instance.state_reason_message.empty()) return instance.state_reason_message;
  if (!instance.state_reason_code.empty()) return instance.state_reason_code;
  return instance.state_transition_reason;
}

InstanceEndedError::InstanceEndedError(const std::string& instance_id, const std::string& state,
                                       const std::string& reason)
    : std::runtime_error("instance " + instance_id + " is " + state + " instead of starting: " +
                         (reason.empty() ? std::string("EC2 gave no reason") : reason)) {}

void FleetWatch::waitStatusOk(const std::string& instance_id,
                              const std::function<void()>& on_running) {
  bool seen_running = false;
  // The instance_status_ok waiter's own patience: 40 polls, 15 s apart.
  constexpr std::chrono::milliseconds kPatience{40 * 15000};
  std::string last = "no answer yet";
  for (std::chrono::milliseconds waited{0}; waited < kPatience; waited += statuses_.period()) {
    const auto sighting = statuses_.next(instance_id);
    if (!sighting.answered) {
      last = sighting.failure;
      continue;
    }
    if (!sighting.value) {
      last = "not running yet";
      continue;
    }
    const std::string& state = sighting.value->instance_state_name;
    if (state == "shutting-down" || state == "terminated" || state == "stopping" ||
        state == "stopped") {
      throw InstanceEndedError(instance_id, state, stateReason(instance_id));
    }
    // The status list holds running instances only.
    if (on_running && !seen_running) on_running();
    seen_running = true;
    const auto& status = sighting.value->instance_status;
    if (status && *status == "ok") return;
    last = "status " + status.value_or("(none)");
  }
  throw aws::WaiterError(
      "instance_status_ok", {instance_id},
      "not ok within " + std::to_string(kPatience.count() / 1000) + " seconds; last: " + last);
}

}  // namespace probefleet
