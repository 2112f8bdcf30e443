#include "probefleet/resources/fleet_watch.h"

#include <regex>
#include <set>
#include <stdexcept>

#include "aws/client/error.h"
#include "aws/services/ec2_waiters.h"

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
    : clock_(clock),
      instances_(
          clock, kInstanceRoundPeriod,
          [&ec2](const std::vector<std::string>& ids) { return describeInstances(ec2, ids); }),
      statuses_(
          clock, kStatusRoundPeriod,
          [&ec2](const std::vector<std::string>& ids) { return describeStatuses(ec2, ids); },
          [this](const std::vector<std::string>& ids) { return statusPause(ids); }) {}

std::chrono::milliseconds FleetWatch::statusPause(const std::vector<std::string>& ids) {
  using std::chrono::milliseconds;
  const std::lock_guard<std::mutex> lock(pace_mutex_);
  if (!checks_take_) return kStatusRoundPeriod;
  const auto now = clock_.now();
  milliseconds pause = kStatusRoundLong;
  for (const std::string& id : ids) {
    const auto since = running_since_.find(id);
    if (since == running_since_.end()) {
      pause = std::min(pause, kStatusRoundPeriod);  // not running yet
      continue;
    }
    const auto due = std::chrono::duration_cast<milliseconds>(since->second + *checks_take_ - now);
    if (due < -2 * kStatusRoundLong) {
      pause = std::min(pause, kStatusRoundPeriod);  // slower than the others: no more haste
    } else if (due <= kStatusRoundPeriod) {
      pause = kStatusRoundShort;
    } else {
      pause = std::min(pause, due - kStatusRoundShort);
    }
  }
  return std::max(pause, kStatusRoundShort);
}

void FleetWatch::checksPassed(const std::string& instance_id) {
  const std::lock_guard<std::mutex> lock(pace_mutex_);
  const auto since = running_since_.find(instance_id);
  if (since == running_since_.end()) return;
  const auto took =
      std::chrono::duration_cast<std::chrono::milliseconds>(clock_.now() - since->second);
  running_since_.erase(since);
  // The latest instances weigh as much as all the earlier ones.
  checks_take_ = checks_take_ ? (*checks_take_ + took) / 2 : took;
}

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

void FleetWatch::requireStarting(const std::string& instance_id,
                                 const aws::ec2::InstanceStatus& status) {
  const std::string& state = status.instance_state_name;
  if (state == "shutting-down" || state == "terminated" || state == "stopping" ||
      state == "stopped") {
    throw InstanceEndedError(instance_id, state, stateReason(instance_id));
  }
}

void FleetWatch::watchStatus(const std::string& instance_id, std::chrono::milliseconds patience,
                             const std::string& waiter, const std::string& what,
                             const StatusCheck& done) {
  std::string last = "no answer yet";
  for (std::chrono::milliseconds waited{0}; waited < patience;) {
    const auto sighting = statuses_.next(instance_id);
    waited += sighting.pause;
    if (!sighting.answered) {
      last = sighting.failure;
    } else if (!sighting.value) {
      last = "not running yet";
    } else {
      requireStarting(instance_id, *sighting.value);
      if (done(*sighting.value, last)) return;
    }
  }
  throw aws::WaiterError(waiter, {instance_id},
                         "not " + what + " within " + std::to_string(patience.count() / 1000) +
                             " seconds; last: " + last);
}

bool FleetWatch::waitRunning(const std::string& instance_id) {
  bool checked = false;
  watchStatus(instance_id, kStartPatience, "instance_running", "running",
              [&](const aws::ec2::InstanceStatus& seen, std::string& last) {
                if (seen.instance_state_name != "running") {
                  last = "state " + seen.instance_state_name;
                  return false;
                }
                // Passed already: when it began to run is not known.
                checked = seen.instance_status && *seen.instance_status == "ok";
                if (!checked) {
                  const std::lock_guard<std::mutex> lock(pace_mutex_);
                  running_since_[instance_id] = clock_.now();
                }
                return true;
              });
  return checked;
}

void FleetWatch::waitStatusOk(const std::string& instance_id) {
  // The instance_status_ok waiter's own patience: 40 polls, 15 s apart.
  constexpr std::chrono::milliseconds kPatience{40 * 15000};
  watchStatus(instance_id, kPatience, "instance_status_ok", "ok",
              [&](const aws::ec2::InstanceStatus& seen, std::string& last) {
                const auto& status = seen.instance_status;
                if (!status || *status != "ok") {
                  last = "status " + status.value_or("(none)");
                  return false;
                }
                checksPassed(instance_id);
                return true;
              });
}

}  // namespace probefleet
