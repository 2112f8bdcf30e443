#include "probefleet/sweep/sweep.h"

#include <algorithm>
#include <map>
#include <set>

#include "aws/base/interrupt.h"
#include "aws/client/error.h"
#include "probefleet/resources/eip.h"
#include "probefleet/resources/fleet_lookup.h"
#include "probefleet/resources/fleet_watch.h"
#include "probefleet/resources/identity.h"
#include "probefleet/teardown/instance_delete.h"
#include "probefleet/resources/interfaces.h"
#include "probefleet/resources/keypairs.h"
#include "probefleet/core/lifetime.h"
#include "probefleet/resources/network.h"
#include "probefleet/core/options.h"
#include "probefleet/core/patience.h"
#include "testlib/common.h"

namespace probefleet {

namespace {

using Clock = std::chrono::system_clock;

constexpr const char* kLockPrefix = "locks/";
constexpr const char* kLockSuffix = ".json";
/// Instances per TerminateInstances request.
constexpr std::size_t kTerminateBatch = 100;

std::string nameTag(const std::vector<aws::ec2::Tag>& tags) {
  return aws::ec2::tagValue(tags, "Name");
}

std::vector<aws::ec2::Tag> ec2Tags(const std::vector<aws::IamTag>& tags) {
  std::vector<aws::ec2::Tag> out;
  for (const auto& tag : tags) out.push_back({tag.key, tag.value});
  return out;
}

Leftover leftover(std::string kind, std::string id, std::string name, std::string vpc_id,
                  std::string state) {
  Leftover item;
  item.kind = std::move(kind);
  item.id = std::move(id);
  item.name = std::move(name);
  item.vpc_id = std::move(vpc_id);
  item.state = std::move(state);
  return item;
}

template <typename Step>
auto patient(const aws::Ec2Client& ec2, Step&& step) {
  return patiently(ec2.clock(), {}, std::forward<Step>(step));
}

void findInstances(const aws::Ec2Client& ec2, std::vector<Leftover>& out) {
  aws::ec2::DescribeInstancesRequest request;
  request.filters = {{"tag:Name", {kInstanceName}}, {"instance-state-name", kAliveInstanceStates}};
  do {
    const auto page = patient(ec2, [&] { return ec2.describeInstances(request); });
    for (const auto& reservation : page.reservations) {
      for (const auto& instance : reservation.instances) {
        Leftover item = leftover("instance", instance.instance_id, nameTag(instance.tags),
                                 instance.vpc_id, instance.state_name);
        item.created = parseIsoUtc(instance.launch_time);
        item.expires = parseIsoUtc(aws::ec2::tagValue(instance.tags, kExpiresTagKey));
        item.tags = instance.tags;
        item.subnet_id = instance.subnet_id;
        out.push_back(std::move(item));
      }
    }
    request.next_token = page.next_token;
  } while (!request.next_token.empty());
}

void findInterfaces(const aws::Ec2Client& ec2, std::vector<Leftover>& out) {
  aws::ec2::DescribeNetworkInterfacesRequest request;
  request.filters = {{"tag:Name", {kNetworkInterfaceName}}};
  do {
    const auto page = patient(ec2, [&] { return ec2.describeNetworkInterfaces(request); });
    for (const auto& interface : page.network_interfaces) {
      Leftover item = leftover("network-interface", interface.network_interface_id,
                               nameTag(interface.tags), interface.vpc_id, interface.status);
      item.tags = interface.tags;
      item.subnet_id = interface.subnet_id;
      if (interface.attachment) {
        item.instance_id = interface.attachment->instance_id;
        item.attachment_id = interface.attachment->attachment_id;
        item.device_index = interface.attachment->device_index.value_or(-1);
      }
      out.push_back(std::move(item));
    }
    request.next_token = page.next_token;
  } while (!request.next_token.empty());
}

void findAddresses(const aws::Ec2Client& ec2, std::vector<Leftover>& out) {
  aws::ec2::DescribeAddressesRequest request;
  request.filters = {{"tag:Name", {kEipName}}};
  const auto addresses = patient(ec2, [&] { return ec2.describeAddresses(request); });
  for (const auto& address : addresses) {
    // The VPC it was allocated for; its instance's, when it has one, is
    // filled in once the instances are known.
    Leftover item = leftover("elastic-ip", address.allocation_id, nameTag(address.tags),
                             aws::ec2::tagValue(address.tags, kEipVpcTagKey),
                             address.association_id.empty() ? "unassociated" : "associated");
    item.tags = address.tags;
    item.instance_id = address.instance_id;
    item.public_ip = address.public_ip;
    out.push_back(std::move(item));
  }
}

void findGroups(const aws::Ec2Client& ec2, std::vector<Leftover>& out) {
  aws::ec2::DescribeSecurityGroupsRequest request;
  request.filters = {{"tag:Name", {kInstanceSgName, kPrivateInfSgName}}};
  do {
    const auto page = patient(ec2, [&] { return ec2.describeSecurityGroups(request); });
    for (const auto& group : page.security_groups) {
      Leftover item =
          leftover("security-group", group.group_id, group.group_name, group.vpc_id, "");
      item.tags = group.tags;
      out.push_back(std::move(item));
    }
    request.next_token = page.next_token;
  } while (!request.next_token.empty());
}

void findKeyPairs(const aws::Ec2Client& ec2, std::vector<Leftover>& out) {
  aws::ec2::DescribeKeyPairsRequest request;
  request.filters = {{"tag:Name", {kKeyPairTagName}}};
  const auto pairs = patient(ec2, [&] { return ec2.describeKeyPairs(request); });
  const std::string prefix = kKeyPairPrefix;
  for (const auto& pair : pairs) {
    // The name says whose VPC it serves.
    const std::string vpc_id =
        pair.key_name.starts_with(prefix) ? pair.key_name.substr(prefix.size()) : "";
    Leftover item = leftover("key-pair", pair.key_name, pair.key_name, vpc_id, "");
    item.created = parseIsoUtc(pair.create_time);
    item.tags = pair.tags;
    out.push_back(std::move(item));
  }
}

// One IAM lookup by name: nullopt when IAM has no such entity.
template <typename Lookup>
auto iamLookup(const aws::IamClient& iam, Lookup&& lookup) -> std::optional<decltype(lookup())> {
  aws::Clock& clock = iam.config().clock ? *iam.config().clock : *aws::systemClock();
  try {
    return patiently(clock, {}, lookup);
  } catch (const aws::ServiceError& error) {
    if (error.code() == "NoSuchEntity") return std::nullopt;
    throw;
  }
}

void findIdentity(const aws::IamClient& iam, std::vector<Leftover>& out) {
  if (const auto role = iamLookup(iam, [&] { return iam.getRole(kRoleName); })) {
    Leftover item = leftover("iam-role", role->role_name, role->role_name, "", "");
    item.created = parseIsoUtc(role->create_date);
    item.tags = ec2Tags(role->tags);
    out.push_back(std::move(item));
  }
  aws::ListPoliciesRequest request;
  request.scope = "Local";
  for (;;) {
    const auto page = *iamLookup(iam, [&] { return iam.listPolicies(request); });
    for (const auto& listed : page.policies) {
      if (listed.policy_name != kPolicyName) continue;
      const auto policy = iamLookup(iam, [&] { return iam.getPolicy(listed.arn); });
      if (!policy) continue;
      Leftover item = leftover("iam-policy", policy->arn, policy->policy_name, "", "");
      item.created = parseIsoUtc(policy->create_date);
      item.tags = ec2Tags(policy->tags);
      out.push_back(std::move(item));
    }
    if (!page.is_truncated || page.marker.empty()) break;
    request.marker = page.marker;
  }
  if (const auto profile =
          iamLookup(iam, [&] { return iam.getInstanceProfile(kInstanceProfileName); })) {
    Leftover item = leftover("iam-instance-profile", profile->instance_profile_name,
                             profile->instance_profile_name, "", "");
    item.created = parseIsoUtc(profile->create_date);
    item.tags = ec2Tags(profile->tags);
    out.push_back(std::move(item));
  }
}

bool isIam(const Leftover& item) {
  return item.kind.starts_with("iam-");
}

bool hasTags(const Leftover& item, const std::vector<aws::ec2::Tag>& wanted) {
  return std::all_of(wanted.begin(), wanted.end(), [&](const aws::ec2::Tag& tag) {
    return std::find(item.tags.begin(), item.tags.end(), tag) != item.tags.end();
  });
}

// The VPC an item belongs to: its own, or its instance's.
std::string vpcOf(const Leftover& item, const std::map<std::string, const Leftover*>& instances) {
  if (!item.vpc_id.empty() || item.instance_id.empty()) return item.vpc_id;
  const auto it = instances.find(item.instance_id);
  return it == instances.end() ? "" : it->second->vpc_id;
}

// What of ours EC2 holds in the region.
std::vector<Leftover> findEc2Leftovers(const aws::Ec2Client& ec2) {
  std::vector<Leftover> out;
  findInstances(ec2, out);
  findInterfaces(ec2, out);
  findAddresses(ec2, out);
  findGroups(ec2, out);
  findKeyPairs(ec2, out);
  // An address lies where its instance does.
  std::map<std::string, std::string> vpc_of_instance;
  for (const Leftover& item : out) {
    if (item.kind == "instance") vpc_of_instance[item.id] = item.vpc_id;
  }
  for (Leftover& item : out) {
    if (item.vpc_id.empty() && !item.instance_id.empty()) {
      const auto it = vpc_of_instance.find(item.instance_id);
      if (it != vpc_of_instance.end()) item.vpc_id = it->second;
    }
  }
  return out;
}

}  // namespace

bool keptByTag(const Leftover& item) {
  return std::any_of(item.tags.begin(), item.tags.end(),
                     [](const aws::ec2::Tag& tag) { return tag.key == kKeepTagKey; });
}

bool regionWide(const Leftover& item) {
  return isIam(item) ||
         (item.kind == "elastic-ip" && item.vpc_id.empty() && item.state == "unassociated");
}

std::vector<Leftover> findLeftovers(const aws::Ec2Client& ec2, const aws::IamClient& iam) {
  std::vector<Leftover> out = findEc2Leftovers(ec2);
  findIdentity(iam, out);
  return out;
}

std::vector<Leftover> selectLeftovers(const std::vector<Leftover>& all, const SweepFilter& filter,
                                      Clock::time_point now) {
  std::map<std::string, const Leftover*> instances;
  std::set<std::string> young_vpcs;  // VPCs where an instance of ours is younger than the limit
  for (const Leftover& item : all) {
    if (item.kind != "instance") continue;
    instances[item.id] = &item;
    if (filter.older_than && (!item.created || now - *item.created < *filter.older_than)) {
      young_vpcs.insert(item.vpc_id);
    }
  }
  const auto oldEnough = [&](const Leftover& item) {
    if (!filter.older_than) return true;
    if (item.created) return now - *item.created >= *filter.older_than;
    if (!item.instance_id.empty()) {
      const auto it = instances.find(item.instance_id);
      if (it != instances.end()) {
        return it->second->created && now - *it->second->created >= *filter.older_than;
      }
    }
    // The IAM trio serves every VPC; anything else its own.
    if (regionWide(item)) return young_vpcs.empty();
    return young_vpcs.count(vpcOf(item, instances)) == 0;
  };
  const auto expired = [&](const Leftover& item) {
    if (item.kind == "instance") return item.expires && *item.expires <= now;
    // An address whose instance has ended, and is billed all the same.
    return item.kind == "elastic-ip" && item.state == "unassociated";
  };
  std::vector<Leftover> selected;
  for (const Leftover& item : all) {
    if (filter.expired && !expired(item)) continue;
    // What serves the region: a VPC's sweep lists it, and deletes it only
    // under the conditions of deleteLeftovers.
    if (filter.vpc_id && !regionWide(item) && vpcOf(item, instances) != *filter.vpc_id) continue;
    if (!hasTags(item, filter.tags) || !oldEnough(item)) continue;
    selected.push_back(item);
  }
  return selected;
}

std::vector<LiveLock> liveLocks(const aws::S3Client& s3, const std::string& bucket,
                                Clock::time_point local_now) {
  std::vector<LiveLock> live;
  aws::ListObjectsV2Request request;
  request.bucket = bucket;
  request.prefix = kLockPrefix;
  do {
    const auto page = s3.listObjectsV2(request);
    for (const aws::S3Object& object : page.contents) {
      const std::string& key = object.key;
      if (!key.ends_with(kLockSuffix)) continue;
      const std::string vpc_id =
          key.substr(std::string(kLockPrefix).size(), key.size() - std::string(kLockPrefix).size() -
                                                          std::string(kLockSuffix).size());
      if (vpc_id.empty() || vpc_id.find('/') != std::string::npos) continue;
      const auto found = readLock(s3, bucket, vpc_id, local_now);
      if (!found) continue;                             // given back since the listing
      if (found->readable && !found->live()) continue;  // its holder is gone
      live.push_back({vpc_id, found->holder, found->readable});
    }
    request.continuation_token = page.next_continuation_token;
  } while (!request.continuation_token.empty());
  return live;
}

std::string whyKept(const Leftover& item, const KeepFacts& facts) {
  if (keptByTag(item)) return "kept (probefleet:keep)";
  const bool instance_gone = facts.terminated.count(item.instance_id) > 0;
  if (item.kind == "elastic-ip" || item.kind == "network-interface") {
    if (item.state == "associated" || !item.attachment_id.empty()) {
      return instance_gone && item.device_index != 0 ? "" : "kept (in use)";
    }
  }
  if (item.kind == "elastic-ip" && !facts.locks_seen) return "kept (no --s3_bucket)";
  if (regionWide(item)) {
    if (!facts.locks_seen) return "kept (no --s3_bucket)";
    if (facts.lock_live) return "kept (in use)";
    if (isIam(item)) {
      if (!facts.trio_whole) return "kept (partly selected)";
      if (!facts.vpcs_with_instances.empty()) return "kept (in use)";
    }
    return "";
  }
  if (item.kind == "security-group" || item.kind == "key-pair") {
    if (item.vpc_id.empty() || facts.vpcs_with_instances.count(item.vpc_id) > 0) {
      return "kept (in use)";
    }
  }
  return "";
}

namespace {

// A step of the sweep: logged when it fails, so that the next ones still
// run; the last look tells what was left.
template <typename Step>
void step(const std::string& what, Step&& body) {
  try {
    body();
  } catch (const aws::Interrupted&) {
    throw;
  } catch (const std::exception& failure) {
    testlib::logger()->error("  **Error** " + what + ": " + failure.what());
  }
}

/// A lock a renewal found taken over: the sweep stops in that VPC.
class LockLost : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

/// One sweep's deletions and what it learns on the way.
class Sweeper {
 public:
  Sweeper(const aws::Ec2Client& ec2, const aws::IamClient& iam,
          const std::vector<Leftover>& selected, const SweepFilter& filter,
          const SweepGuards& guards)
      : ec2_(ec2), iam_(iam), filter_(filter), guards_(guards) {
    for (const Leftover& item : selected) selected_.insert(item.id);
    for (const Leftover& item : selected) {
      if (!item.vpc_id.empty() && !keptByTag(item)) vpcs_.insert(item.vpc_id);
    }
  }

  SweepReport run() {
    try {
      for (const std::string& vpc_id : vpcs_) sweepVpc(vpc_id);
      sweepRegion();
    } catch (const aws::Interrupted& interrupted) {
      report_.interrupted = interrupted.signal();
      report_.failed = true;
      testlib::logger()->error("  **Error** sweep interrupted by " +
                               aws::signalName(interrupted.signal()) + " while " + doing_ +
                               ": nothing more is deleted; what is left is listed");
    }
    // The last look is taken even after an interruption.
    const aws::Interruption::Shelter shelter;
    for (Leftover& item : findLeftovers(ec2_, iam_)) {
      if (selected_.count(item.id) == 0 && tried_.count(item.id) == 0) continue;
      const auto kept = kept_.find(item.id);
      if (tried_.count(item.id) > 0 || kept == kept_.end()) {
        item.outcome = "left";
        const auto why = reasons_.find(item.id);
        if (why != reasons_.end()) item.reason = why->second;
        report_.failed = true;
      } else {
        item.outcome = kept->second;
      }
      report_.remaining.push_back(std::move(item));
    }
    return std::move(report_);
  }

 private:
  // Marks the items of `items` that `facts` keeps; returns those that may go.
  std::vector<Leftover> mayGo(const std::vector<Leftover>& items, const KeepFacts& facts) {
    std::vector<Leftover> out;
    for (const Leftover& item : items) {
      const std::string why = whyKept(item, facts);
      if (why.empty()) {
        out.push_back(item);
      } else {
        kept_[item.id] = why;
      }
    }
    return out;
  }

  void checkLock(const std::unique_ptr<VpcLock>& lock, const std::string& vpc_id) {
    aws::Interruption::check();
    if (lock && lock->lost()) {
      throw LockLost("the lock of VPC " + vpc_id +
                     " was taken over by another run: nothing more is deleted there");
    }
  }

  // Everything of `vpc_id` that the sweep selected and still selects under
  // the VPC's lock.
  void sweepVpc(const std::string& vpc_id) {
    auto log = testlib::logger();
    doing_ = "taking the lock of VPC " + vpc_id;
    aws::Interruption::check();
    std::unique_ptr<VpcLock> lock;
    try {
      lock = guards_.take_lock ? guards_.take_lock(vpc_id) : nullptr;
    } catch (const LockHeld& held) {
      log->warn("  **Warning** " + std::string(held.what()) +
                ": the sweep skips that VPC and deletes nothing there");
      report_.held.push_back({vpc_id, held.found().holder, held.found().readable});
      keepAllOf(vpc_id, "kept (in use)");
      return;
    } catch (const aws::Interrupted&) {
      throw;
    } catch (const std::exception& failure) {
      log->error("  **Error** cannot take the lock of VPC " + vpc_id + " (" + failure.what() +
                 "): nothing there is deleted");
      report_.failed = true;
      keepAllOf(vpc_id, "left");
      return;
    }
    try {
      deleteInVpc(vpc_id, lock);
    } catch (const LockLost& lost) {
      log->error("  **Error** " + std::string(lost.what()));
      report_.failed = true;
    }
    doing_ = "giving back the lock of VPC " + vpc_id;
    if (lock) lock->release();
  }

  void keepAllOf(const std::string& vpc_id, const std::string& why) {
    for (const Leftover& item : findEc2Leftovers(ec2_)) {
      if (item.vpc_id == vpc_id && selected_.count(item.id) > 0) kept_[item.id] = why;
    }
  }

  // What `filter_` selects now in `vpc_id` of what it selected before.
  std::vector<Leftover> chosenIn(const std::string& vpc_id, const std::vector<Leftover>& all) {
    std::vector<Leftover> chosen;
    std::set<std::string> still;
    for (const Leftover& item : selectLeftovers(all, filter_, ec2_.clock().now())) {
      if (item.vpc_id != vpc_id || selected_.count(item.id) == 0) continue;
      chosen.push_back(item);
      still.insert(item.id);
    }
    // What a run changed meanwhile (a younger instance beside it) stays.
    for (const Leftover& item : all) {
      if (item.vpc_id == vpc_id && selected_.count(item.id) > 0 && still.count(item.id) == 0) {
        kept_[item.id] = "kept (in use)";
      }
    }
    return chosen;
  }

  void deleteInVpc(const std::string& vpc_id, const std::unique_ptr<VpcLock>& lock) {
    auto log = testlib::logger();
    log->info("- Sweep VPC " + vpc_id);
    doing_ = "looking at VPC " + vpc_id;
    std::vector<Leftover> all = findEc2Leftovers(ec2_);
    KeepFacts facts;
    facts.locks_seen = static_cast<bool>(guards_.take_lock);
    std::vector<std::string> instances;
    for (const Leftover& item : mayGo(chosenIn(vpc_id, all), facts)) {
      if (item.kind == "instance") instances.push_back(item.id);
    }
    if (!instances.empty()) {
      checkLock(lock, vpc_id);
      endInstances(instances, all, lock, vpc_id);
    }

    // What the instances left behind, as EC2 shows it now.
    checkLock(lock, vpc_id);
    doing_ = "looking at VPC " + vpc_id;
    all = findEc2Leftovers(ec2_);
    for (const Leftover& item : all) {
      if (item.kind == "instance") facts.vpcs_with_instances.insert(item.vpc_id);
    }
    facts.terminated = terminated_;
    // The second interfaces of the instances just ended go whether or not
    // they were selected, as a revert's do.
    std::vector<Leftover> candidates = chosenIn(vpc_id, all);
    for (const Leftover& item : all) {
      if (item.kind == "network-interface" && terminated_.count(item.instance_id) > 0 &&
          selected_.count(item.id) == 0) {
        candidates.push_back(item);
      }
    }
    const std::vector<Leftover> going = mayGo(candidates, facts);
    const Args args;  // no dry run; tags come from what is found
    for (const Leftover& item : going) {
      if (item.kind != "network-interface") continue;
      checkLock(lock, vpc_id);
      doing_ = "deleting interface " + item.id;
      tried_.insert(item.id);
      if (!item.attachment_id.empty()) {
        deleteAttachment(ec2_, item.attachment_id, item.subnet_id, args, ec2_.clock());
      }
      deleteNetworkInterface(ec2_, item.id, args, ec2_.clock());
    }
    for (const Leftover& item : going) {
      if (item.kind != "elastic-ip") continue;
      checkLock(lock, vpc_id);
      doing_ = "releasing address " + item.public_ip;
      release(item);
    }
    for (const Leftover& item : going) {
      if (item.kind != "security-group") continue;
      checkLock(lock, vpc_id);
      doing_ = "deleting group " + item.id;
      tried_.insert(item.id);
      log->info("- Delete SG " + item.name + " " + item.id);
      deleteSG(ec2_, item.id, args);
    }
    for (const Leftover& item : going) {
      if (item.kind != "key-pair") continue;
      checkLock(lock, vpc_id);
      doing_ = "deleting key pair " + item.id;
      tried_.insert(item.id);
      step("delete key pair " + item.id, [&] { deleteKeyPair(ec2_, item.id, args); });
    }
  }

  void release(const Leftover& address) {
    tried_.insert(address.id);
    step("release " + address.public_ip, [&] {
      releaseEIP(ec2_, address.public_ip, address.id, address.instance_id, Args(), ec2_.clock());
    });
  }

  // Terminates `ids` (all of one VPC, each selected and free to go), waits
  // for those EC2 accepted, then releases the addresses they held.
  void endInstances(const std::vector<std::string>& ids, const std::vector<Leftover>& all,
                    const std::unique_ptr<VpcLock>& lock, const std::string& vpc_id) {
    // Looked up while the instances still hold them.
    std::vector<Leftover> addresses;
    for (const Leftover& item : all) {
      if (item.kind == "elastic-ip" && !item.instance_id.empty() &&
          std::find(ids.begin(), ids.end(), item.instance_id) != ids.end()) {
        if (keptByTag(item)) {
          kept_[item.id] = "kept (probefleet:keep)";
        } else {
          addresses.push_back(item);
        }
      }
    }
    for (const std::string& id : ids) tried_.insert(id);
    doing_ = "terminating instances in VPC " + vpc_id;
    const std::vector<std::string> accepted = terminate(ids);
    doing_ = "waiting for instances in VPC " + vpc_id + " to terminate";
    for (const std::string& id : waitTerminated(accepted)) terminated_.insert(id);
    for (const Leftover& address : addresses) {
      if (terminated_.count(address.instance_id) == 0) continue;
      checkLock(lock, vpc_id);
      doing_ = "releasing address " + address.public_ip;
      release(address);
    }
  }

  // TerminateInstances in batches; a batch EC2 refuses (it refuses all of
  // one for a single protected instance) is tried one instance at a time.
  // Returns the ids EC2 accepted; the others' reasons are kept.
  std::vector<std::string> terminate(const std::vector<std::string>& ids) {
    auto log = testlib::logger();
    std::vector<std::string> accepted;
    const auto once = [&](const std::vector<std::string>& batch) {
      patient(ec2_, [&] { return ec2_.terminateInstances(batch); });
      accepted.insert(accepted.end(), batch.begin(), batch.end());
    };
    for (const auto& batch : inBatches(ids, kTerminateBatch)) {
      aws::Interruption::check();
      for (const std::string& id : batch) log->info("- Terminate " + id);
      try {
        once(batch);
        continue;
      } catch (const aws::Interrupted&) {
        throw;
      } catch (const std::exception& failure) {
        if (batch.size() > 1) {
          log->warn("  **Warning** TerminateInstances refused " + std::to_string(batch.size()) +
                    " instances (" + failure.what() + "): trying them one at a time");
        } else {
          refuse(batch.front(), failure);
          continue;
        }
      }
      for (const std::string& id : batch) {
        aws::Interruption::check();
        try {
          once({id});
        } catch (const aws::Interrupted&) {
          throw;
        } catch (const std::exception& failure) {
          refuse(id, failure);
        }
      }
    }
    return accepted;
  }

  void refuse(const std::string& id, const std::exception& failure) {
    const auto* error = dynamic_cast<const aws::ServiceError*>(&failure);
    reasons_[id] = error ? error->code() + ": " + error->message() : failure.what();
    testlib::logger()->error("  **Error** " + id + " cannot be terminated: " + reasons_[id]);
  }

  // Waits for `ids` together, one DescribeInstances round per period, for at
  // most kTerminatePatience in all; returns those terminated (or no longer
  // listed).
  std::set<std::string> waitTerminated(const std::vector<std::string>& ids) {
    std::set<std::string> waiting(ids.begin(), ids.end()), done;
    for (auto waited = std::chrono::milliseconds(0);
         !waiting.empty() && waited < kTerminatePatience; waited += kInstanceRoundPeriod) {
      ec2_.clock().sleep(kInstanceRoundPeriod);
      std::map<std::string, std::string> states;
      try {
        for (const auto& batch :
             inBatches(std::vector<std::string>(waiting.begin(), waiting.end()), kIdsPerRequest)) {
          aws::ec2::DescribeInstancesRequest request;
          request.filters = {{"instance-id", batch}};
          do {
            const auto page = ec2_.describeInstances(request);
            for (const auto& reservation : page.reservations) {
              for (const auto& instance : reservation.instances) {
                states[instance.instance_id] = instance.state_name;
              }
            }
            request.next_token = page.next_token;
          } while (!request.next_token.empty());
        }
      } catch (const aws::Interrupted&) {
        throw;
      } catch (const std::exception&) {
        continue;  // a round without news
      }
      for (auto it = waiting.begin(); it != waiting.end();) {
        const auto state = states.find(*it);
        if (state == states.end() || state->second == "terminated") {
          done.insert(*it);
          it = waiting.erase(it);
        } else {
          ++it;
        }
      }
    }
    for (const std::string& id : waiting) {
      reasons_[id] =
          "not terminated within " + std::to_string(kTerminatePatience.count() / 1000) + " s";
      testlib::logger()->error("  **Error** " + id + " is not terminated yet");
    }
    return done;
  }

  // What serves the region: addresses that name no VPC, and the IAM trio.
  void sweepRegion() {
    auto log = testlib::logger();
    doing_ = "looking at the region";
    const std::vector<Leftover> all = findLeftovers(ec2_, iam_);
    std::vector<Leftover> candidates;
    KeepFacts facts;
    std::size_t trio_found = 0, trio_selected = 0;
    for (const Leftover& item : all) {
      if (item.kind == "instance") facts.vpcs_with_instances.insert(item.vpc_id);
      if (isIam(item)) {
        ++trio_found;
        trio_selected += selected_.count(item.id);
      }
      if (selected_.count(item.id) > 0 && (regionWide(item) || item.vpc_id.empty())) {
        candidates.push_back(item);
      }
    }
    if (candidates.empty()) return;
    facts.trio_whole = trio_found == trio_selected;
    facts.locks_seen = static_cast<bool>(guards_.live_locks);
    if (!facts.locks_seen) {
      log->warn(
          "  **Warning** no --s3_bucket: a run at work cannot be seen, so addresses associated "
          "with nothing and the instance role, policy and profile stay");
    } else {
      doing_ = "reading the runs' locks";
      try {
        for (const LiveLock& held : guards_.live_locks()) {
          facts.lock_live = true;
          log->warn("  **Warning** VPC " + held.vpc_id + " is locked by " +
                    (held.readable ? describeHolder(held.holder) : "an unreadable lock") +
                    ": addresses associated with nothing and the instance role, policy and "
                    "profile stay");
        }
      } catch (const aws::Interrupted&) {
        throw;
      } catch (const std::exception& failure) {
        log->error("  **Error** cannot read the runs' locks (" + std::string(failure.what()) +
                   "): addresses associated with nothing and the instance role, policy and "
                   "profile stay");
        report_.failed = true;
        return;
      }
    }
    // A trio kept for one part is kept whole: a role without its profile
    // serves no one.
    bool trio_goes = true;
    std::vector<Leftover> going;
    for (const Leftover& item : candidates) {
      const std::string why = whyKept(item, facts);
      if (!why.empty()) {
        kept_[item.id] = why;
        if (isIam(item)) trio_goes = false;
      } else if (!isIam(item)) {
        going.push_back(item);
      }
    }
    for (const Leftover& item : going) {
      if (item.kind != "elastic-ip") {
        kept_[item.id] = "kept (in use)";
        continue;
      }
      aws::Interruption::check();
      doing_ = "releasing address " + item.public_ip;
      release(item);
    }
    if (trio_found == 0 || trio_selected == 0) return;
    if (trio_goes) {
      doing_ = "looking at the other regions";
      if (guards_.elsewhere && guards_.elsewhere()) trio_goes = false;
    }
    for (const Leftover& item : candidates) {
      if (!isIam(item)) continue;
      if (!trio_goes) {
        kept_.emplace(item.id, "kept (in use)");
      } else {
        tried_.insert(item.id);
      }
    }
    if (!trio_goes) return;
    aws::Interruption::check();
    doing_ = "deleting the instance role, policy and profile";
    log->info("- Delete the instance role, policy and profile");
    for (const std::string& left : deleteInstanceProfile(iam_)) log->error("  left: " + left);
  }

  const aws::Ec2Client& ec2_;
  const aws::IamClient& iam_;
  const SweepFilter& filter_;
  const SweepGuards& guards_;
  std::set<std::string> selected_;
  std::set<std::string> vpcs_;
  std::set<std::string> tried_;
  std::set<std::string> terminated_;
  std::map<std::string, std::string> kept_;     // id -> why
  std::map<std::string, std::string> reasons_;  // id -> why it is left
  std::string doing_ = "starting";
  SweepReport report_;
};

}  // namespace

SweepReport deleteLeftovers(const aws::Ec2Client& ec2, const aws::IamClient& iam,
                            const std::vector<Leftover>& selected, const SweepFilter& filter,
                            const SweepGuards& guards) {
  return Sweeper(ec2, iam, selected, filter, guards).run();
}

}  // namespace probefleet
