#include "probefleet/sweep.h"

#include <algorithm>
#include <map>
#include <set>

#include "aws/base/interrupt.h"
#include "aws/client/error.h"
#include "probefleet/eip.h"
#include "probefleet/fleet_lookup.h"
#include "probefleet/fleet_watch.h"
#include "probefleet/identity.h"
#include "probefleet/instance_delete.h"
#include "probefleet/interfaces.h"
#include "probefleet/keypairs.h"
#include "probefleet/lifetime.h"
#include "probefleet/network.h"
#include "probefleet/options.h"
#include "probefleet/patience.h"
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
    Leftover item = leftover("elastic-ip", address.allocation_id, nameTag(address.tags), "",
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

}  // namespace

std::vector<Leftover> findLeftovers(const aws::Ec2Client& ec2, const aws::IamClient& iam) {
  std::vector<Leftover> out;
  findInstances(ec2, out);
  findInterfaces(ec2, out);
  findAddresses(ec2, out);
  findGroups(ec2, out);
  findKeyPairs(ec2, out);
  findIdentity(iam, out);
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
    if (isIam(item)) return young_vpcs.empty();
    return young_vpcs.count(vpcOf(item, instances)) == 0;
  };
  std::vector<Leftover> selected;
  for (const Leftover& item : all) {
    if (filter.expired && !(item.kind == "instance" && item.expires && *item.expires <= now)) {
      continue;
    }
    // IAM serves every VPC: a VPC's sweep lists it, and deletes it only once
    // no instance of ours is left anywhere in the region.
    if (filter.vpc_id && !isIam(item) && vpcOf(item, instances) != *filter.vpc_id) continue;
    if (!hasTags(item, filter.tags) || !oldEnough(item)) continue;
    selected.push_back(item);
  }
  return selected;
}

std::vector<VpcLock> liveLocks(const aws::S3Client& s3, const std::string& bucket,
                               Clock::time_point local_now) {
  std::vector<VpcLock> live;
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

namespace {

bool inHeld(const Leftover& item, const std::vector<std::string>& held) {
  return !item.vpc_id.empty() && std::find(held.begin(), held.end(), item.vpc_id) != held.end();
}

// A step of the sweep: logged and reported when it fails, so that the next
// ones still run; the final look tells what was left.
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

// The selected instances go, as a revert's workers take them: second
// interfaces detached, Elastic IPs looked up while still held, terminated,
// waited for, then the addresses released and the interfaces deleted.
void deleteInstances(const aws::Ec2Client& ec2, const std::vector<Leftover>& selected,
                     const std::vector<Leftover>& all, const Args& args) {
  auto log = testlib::logger();
  std::vector<std::string> ids;
  for (const Leftover& item : selected) {
    if (item.kind == "instance" && item.state != "terminated") ids.push_back(item.id);
  }
  if (ids.empty()) return;
  FleetWatch watch(ec2, ec2.clock());
  std::vector<std::string> detached;
  std::vector<const Leftover*> addresses;
  for (const Leftover& item : all) {
    const bool ours = std::find(ids.begin(), ids.end(), item.instance_id) != ids.end();
    if (!ours) continue;
    if (item.kind == "network-interface" && item.device_index != 0) {
      step("detach " + item.id, [&] {
        deleteAttachment(ec2, watch, item.attachment_id, item.instance_id, item.subnet_id, args,
                         ec2.clock());
      });
      detached.push_back(item.id);
    } else if (item.kind == "elastic-ip") {
      addresses.push_back(&item);
    }
  }
  for (const auto& batch : inBatches(ids, kTerminateBatch)) {
    aws::Interruption::check();
    for (const std::string& id : batch) log->info("- Terminate " + id);
    step("terminate", [&] { patient(ec2, [&] { return ec2.terminateInstances(batch); }); });
  }
  for (const std::string& id : ids) {
    if (!watch.waitTerminated(id, kTerminatePatience)) {
      log->error("  **Error** " + id + " is not terminated yet");
    }
  }
  for (const Leftover* address : addresses) {
    step("release " + address->public_ip, [&] {
      releaseEIP(ec2, address->public_ip, address->id, address->instance_id, args, ec2.clock());
    });
  }
  for (const std::string& id : detached) deleteNetworkInterface(ec2, id, args, ec2.clock());
}

}  // namespace

std::vector<Leftover> deleteLeftovers(const aws::Ec2Client& ec2, const aws::IamClient& iam,
                                      const std::vector<Leftover>& selected,
                                      const SweepFilter& filter,
                                      const std::vector<std::string>& held,
                                      const ElsewhereCheck& elsewhere) {
  auto log = testlib::logger();
  const Args args;  // no dry run; tags and Elastic IPs come from what is found
  std::vector<Leftover> chosen;
  for (const Leftover& item : selected) {
    if (!inHeld(item, held)) chosen.push_back(item);
  }
  deleteInstances(ec2, chosen, findLeftovers(ec2, iam), args);

  // What the instances left behind, as EC2 shows it now.
  const auto now = [&] { return ec2.clock().now(); };
  std::vector<Leftover> all = findLeftovers(ec2, iam);
  std::set<std::string> chosen_ids;
  for (const Leftover& item : chosen) chosen_ids.insert(item.id);
  std::set<std::string> vpcs_with_instances;
  for (const Leftover& item : all) {
    if (item.kind == "instance") vpcs_with_instances.insert(item.vpc_id);
  }
  const auto pick = [&](const char* kind) {
    std::vector<Leftover> out;
    for (const Leftover& item : all) {
      if (item.kind == kind && chosen_ids.count(item.id) > 0) out.push_back(item);
    }
    return out;
  };
  for (const Leftover& item : pick("network-interface")) {
    if (item.attachment_id.empty()) deleteNetworkInterface(ec2, item.id, args, ec2.clock());
  }
  for (const Leftover& item : pick("elastic-ip")) {
    if (item.state == "unassociated") {
      step("release " + item.public_ip,
           [&] { releaseEIP(ec2, item.public_ip, item.id, "", args, ec2.clock()); });
    }
  }
  // A VPC's groups and key pair serve its instances: they go only once none
  // of ours is left there.
  for (const Leftover& item : pick("security-group")) {
    if (vpcs_with_instances.count(item.vpc_id) > 0) continue;
    log->info("- Delete SG " + item.name + " " + item.id);
    deleteSG(ec2, item.id, args);
  }
  for (const Leftover& item : pick("key-pair")) {
    if (item.vpc_id.empty() || vpcs_with_instances.count(item.vpc_id) > 0) continue;
    step("delete key pair " + item.id, [&] { deleteKeyPair(ec2, item.id, args); });
  }
  // The role, policy and profile serve every instance of ours.
  std::size_t iam_found = 0, iam_chosen = 0;
  for (const Leftover& item : all) {
    if (!isIam(item)) continue;
    ++iam_found;
    iam_chosen += chosen_ids.count(item.id);
  }
  if (iam_found > 0 && iam_chosen == iam_found && vpcs_with_instances.empty() && !elsewhere()) {
    log->info("- Delete the instance role, policy and profile");
    for (const std::string& left : deleteInstanceProfile(iam)) log->error("  left: " + left);
  }

  std::vector<Leftover> left;
  for (const Leftover& item : selectLeftovers(findLeftovers(ec2, iam), filter, now())) {
    if (!inHeld(item, held)) left.push_back(item);
  }
  return left;
}

}  // namespace probefleet
