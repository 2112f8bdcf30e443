#include "probefleet/resources/network.h"

#include <functional>
#include <memory>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "aws/base/interrupt.h"
#include "aws/client/error.h"
#include "aws/client/retry.h"
#include "probefleet/core/failure_report.h"
#include "probefleet/core/patience.h"
#include "probefleet/core/story.h"
#include "probefleet/resources/tags.h"
#include "testlib/app_exit_status.h"
#include "testlib/common.h"
#include "testlib/exit_request.h"

namespace probefleet {

namespace {

// Reports `failure` and ends the run with status 1.
[[noreturn]] void endRun(const std::exception& failure, const std::string& what) {
  reportFailure(failure);
  throw testlib::ExitRequest(1, what + ": " + failure.what());
}

// Sends CreateSecurityGroup and logs the new group's id. The callers looked
// for the group first, so a duplicate is one that a try whose answer was
// lost made: that group is the one made.
std::string createdGroupId(const aws::Ec2Client& ec2,
                           const aws::ec2::CreateSecurityGroupRequest& request) {
  std::string group_id;
  patiently(ec2.clock(), {}, [&] {
    try {
      group_id = ec2.createSecurityGroup(request);
    } catch (const aws::ServiceError& error) {
      if (error.code() != "InvalidGroup.Duplicate") throw;
      const auto existing = getSgId(ec2, request.vpc_id, request.group_name);
      if (!existing) throw;
      group_id = *existing;
    }
  });
  if (group_id.empty()) {
    throw std::runtime_error("CreateSecurityGroup of " + request.group_name +
                             " answered without a GroupId");
  }
  testlib::logger()->info("  " + group_id);
  return group_id;
}

// Whether EC2 lists the group when asked by filter, which a new id's
// NotFound does not affect.
bool groupListed(const aws::Ec2Client& ec2, const std::string& group_id) {
  aws::ec2::DescribeSecurityGroupsRequest request;
  request.filters = {{"group-id", {group_id}}};
  return !ec2.describeSecurityGroups(request).security_groups.empty();
}

}  // namespace

aws::ec2::CreateSecurityGroupRequest securityGroupRequest(const std::string& vpc_id,
                                                          const std::string& name,
                                                          const Args& args) {
  aws::ec2::TagSpecification tags{"security-group", {{"Name", name}}};
  if (given(args.tag_resource)) populateTags(tags.tags, *args.tag_resource);
  return {kSgDescription, name, vpc_id, {tags}};
}

std::string lookupPublicAddress(aws::HttpTransport& transport, const aws::Environment& env) {
  const std::string url = env.nonEmpty(kAddressEchoUrlVariable).value_or(kAddressEchoUrl);
  aws::HttpRequest request;
  request.method = "GET";
  request.endpoint = aws::Endpoint::parse(url);
  request.path = request.endpoint.base_path.empty() ? "/" : request.endpoint.base_path;
  request.endpoint.base_path.clear();
  request.query = {{"format", "json"}};
  request.setHeader("Accept", "application/json");

  const aws::HttpResponse response =
      transport.send(request, nullptr, {kAddressEchoTimeoutMs, kAddressEchoTimeoutMs});
  if (response.status != 200) {
    throw std::runtime_error("the address echo " + url + " answered HTTP " +
                             std::to_string(response.status));
  }
  const auto answer = nlohmann::json::parse(response.body, nullptr, /*allow_exceptions=*/false);
  if (!answer.is_object()) {
    throw std::runtime_error("the address echo " + url + " did not answer a JSON object");
  }
  const auto ip = answer.find("ip");
  if (ip == answer.end() || !ip->is_string() || ip->get_ref<const std::string&>().empty()) {
    throw std::runtime_error("the address echo " + url + " answered no address in \"ip\"");
  }
  return ip->get<std::string>();
}

std::string getVpcId(const aws::Ec2Client& ec2, const std::string& subnet_id) {
  try {
    aws::ec2::DescribeSubnetsRequest request;
    request.subnet_ids = {subnet_id};
    const auto answer = patiently(ec2.clock(), {}, [&] { return ec2.describeSubnets(request); });
    if (answer.subnets.empty() || answer.subnets.front().vpc_id.empty()) {
      throw std::runtime_error("EC2 returned no VPC for subnet " + subnet_id);
    }
    return answer.subnets.front().vpc_id;
  } catch (const aws::Interrupted&) {
    throw;
  } catch (const std::exception& failure) {
    testlib::logger()->info("  **Error** cannot find subnet " + subnet_id);
    endRun(failure, "cannot find subnet " + subnet_id);
  }
}

namespace {

// The group `group_name` of the VPC, rules and all; nullopt when there is none.
std::optional<aws::ec2::SecurityGroup> findGroup(const aws::Ec2Client& ec2,
                                                 const std::string& vpc_id,
                                                 const std::string& group_name) {
  try {
    aws::ec2::DescribeSecurityGroupsRequest request;
    request.filters = {{"vpc-id", {vpc_id}}, {"group-name", {group_name}}};
    const auto answer =
        patiently(ec2.clock(), {}, [&] { return ec2.describeSecurityGroups(request); });
    if (answer.security_groups.empty()) return std::nullopt;
    return answer.security_groups.front();
  } catch (const aws::ServiceError& error) {
    // Taking a failed look (throttled, denied, ...) for "no such group" would
    // make a second group, or leave one behind and call the VPC clean.
    if (error.code() != "InvalidGroup.NotFound") throw;
    testlib::logger()->error("  **Error** SG not found " + group_name + " in " + vpc_id);
    return std::nullopt;
  }
}

}  // namespace

std::optional<std::string> getSgId(const aws::Ec2Client& ec2, const std::string& vpc_id,
                                   const std::string& group_name) {
  const auto group = findGroup(ec2, vpc_id, group_name);
  if (!group) return std::nullopt;
  return group->group_id;
}

namespace {

// The group `group_name` of the VPC when it exists, told as reused.
std::optional<aws::ec2::SecurityGroup> reusedGroup(const aws::Ec2Client& ec2,
                                                   const std::string& vpc_id,
                                                   const char* group_name) {
  auto existing = findGroup(ec2, vpc_id, group_name);
  if (!existing) return std::nullopt;
  testlib::logger()->info(std::string("- Reuse existing SG ") + group_name + " " +
                          existing->group_id + " in " + vpc_id);
  tell(Act::kReuse, "security group", existing->group_id, group_name);
  return existing;
}

// Completes a new group (its rules); given the group's id.
using GroupFinisher = std::function<void(const std::string& group_id)>;

// Looks at a group that is reused as it stands.
using GroupReuser = std::function<void(const aws::ec2::SecurityGroup& group)>;

// The group `group_name` of the VPC: reused when it exists (`reused` looks
// at it), else made (not in a dry run). `prepare` runs first, in a dry run
// too, and gives what completes the new group. A failure ends the run
// naming the group.
std::optional<std::string> reuseOrMakeGroup(const aws::Ec2Client& ec2, const std::string& vpc_id,
                                            const char* group_name, const Args& args,
                                            const std::function<GroupFinisher()>& prepare,
                                            const GroupReuser& reused = {}) {
  if (const auto existing = reusedGroup(ec2, vpc_id, group_name)) {
    if (reused) reused(*existing);
    return existing->group_id;
  }
  const auto request = securityGroupRequest(vpc_id, group_name, args);
  testlib::logger()->info(std::string("- Create SG ") + group_name + " in " + vpc_id);
  try {
    const GroupFinisher finish = prepare();
    if (args.dry_run) {
      tell(Act::kCreate, "security group", "", group_name);
      return std::nullopt;
    }
    const std::string group_id = createdGroupId(ec2, request);
    if (finish) finish(group_id);
    tell(Act::kCreate, "security group", group_id, group_name);
    return group_id;
  } catch (const aws::Interrupted&) {
    throw;
  } catch (const std::exception& failure) {
    endRun(failure, std::string("cannot create SG ") + group_name + " in " + vpc_id);
  }
}

// Lets `engine_ip` reach the group over SSH, with a rule tagged as it is
// made (Name and the user's tags). The new group may not be visible yet; a
// rule a lost answer already added is there.
void allowSshFrom(const aws::Ec2Client& ec2, const std::string& group_id,
                  const std::string& engine_ip, const Args& args) {
  aws::ec2::IpPermission ssh;
  ssh.ip_protocol = "tcp";
  ssh.from_port = 22;
  ssh.to_port = 22;
  ssh.ip_ranges = {{engine_ip + "/32", kSshRuleDescription}};
  aws::ec2::TagSpecification tags{"security-group-rule", {{"Name", kInstanceSgName}}};
  if (given(args.tag_resource)) populateTags(tags.tags, *args.tag_resource);
  patiently(ec2.clock(), {kConsistencyBudget, {"InvalidGroup.NotFound"}, kRunWidePauseCap}, [&] {
    try {
      ec2.authorizeSecurityGroupIngress({group_id, {ssh}, {tags}});
    } catch (const aws::ServiceError& error) {
      if (error.code() != "InvalidPermission.Duplicate") throw;
    }
  });
}

// Whether `group` lets `engine_ip` in over SSH: a TCP (or all-traffic) rule
// covering port 22 from exactly that address.
bool allowsSshFrom(const aws::ec2::SecurityGroup& group, const std::string& engine_ip) {
  const std::string cidr = engine_ip + "/32";
  for (const aws::ec2::IpPermission& rule : group.ip_permissions) {
    const bool port = rule.ip_protocol == "-1" ||
                      (rule.ip_protocol == "tcp" && rule.from_port.value_or(0) <= 22 &&
                       rule.to_port.value_or(65535) >= 22);
    if (!port) continue;
    for (const aws::ec2::IpRange& range : rule.ip_ranges) {
      if (range.cidr_ip == cidr) return true;
    }
  }
  return false;
}

// A reused instance group lets this machine in too: a rerun from another
// address (a new CI runner, home instead of the office) adds its own SSH
// rule and keeps the others', which other runners may still use.
void letThisMachineIn(const aws::Ec2Client& ec2, const aws::ec2::SecurityGroup& group,
                      const Args& args, const aws::Environment& env) {
  std::string engine_ip;
  try {
    engine_ip = lookupPublicAddress(*ec2.config().transport, env);
  } catch (const aws::Interrupted&) {
    throw;
  } catch (const std::exception& failure) {
    testlib::logger()->warn(std::string("  **Warning** cannot learn this machine's address (") +
                            failure.what() + "): the SSH rules of SG " + group.group_id +
                            " stay as they are");
    return;
  }
  if (allowsSshFrom(group, engine_ip)) return;
  const std::string cidr = engine_ip + "/32";
  testlib::logger()->info("- Add SSH rule from " + cidr + " to SG " + kInstanceSgName + " " +
                          group.group_id);
  if (!args.dry_run) {
    try {
      allowSshFrom(ec2, group.group_id, engine_ip, args);
    } catch (const aws::Interrupted&) {
      throw;
    } catch (const std::exception& failure) {
      endRun(failure, "cannot add the SSH rule from " + cidr + " to SG " + group.group_id);
    }
  }
  tell(Act::kCreate, "security group rule", args.dry_run ? "" : group.group_id, "SSH from " + cidr);
}

}  // namespace

std::optional<std::string> createSG(const aws::Ec2Client& ec2, const std::string& vpc_id,
                                    const Args& args, const aws::Environment& env) {
  return reuseOrMakeGroup(
      ec2, vpc_id, kInstanceSgName, args,
      [&]() -> GroupFinisher {
        // The engine's address is learnt afresh, in a dry run too, and not kept.
        const std::string engine_ip = lookupPublicAddress(*ec2.config().transport, env);
        return [&ec2, &args, engine_ip](const std::string& group_id) {
          allowSshFrom(ec2, group_id, engine_ip, args);
        };
      },
      [&](const aws::ec2::SecurityGroup& group) { letThisMachineIn(ec2, group, args, env); });
}

std::optional<std::string> createPrivateInfSG(const aws::Ec2Client& ec2, const std::string& vpc_id,
                                              const Args& args) {
  return reuseOrMakeGroup(ec2, vpc_id, kPrivateInfSgName, args, [] { return GroupFinisher(); });
}

void deleteSG(const aws::Ec2Client& ec2, const std::string& group_id, const Args& args) {
  if (args.dry_run) {
    tell(Act::kDelete, "security group", group_id);
    return;
  }
  try {
    // Still in use: the interfaces of instances just terminated are let go
    // of a little later. NotFound while EC2 still lists the group: too new
    // to be seen by id; once it is no longer listed: a try whose answer was
    // lost deleted it.
    patiently(ec2.clock(), {kConsistencyBudget, {"DependencyViolation", "InvalidGroup.NotFound"}},
              [&] {
                try {
                  ec2.deleteSecurityGroup(group_id);
                } catch (const aws::ServiceError& error) {
                  if (error.code() != "InvalidGroup.NotFound" || groupListed(ec2, group_id)) throw;
                }
              });
    tell(Act::kDelete, "security group", group_id);
  } catch (const aws::Interrupted&) {
    throw;
  } catch (const std::exception& failure) {
    testlib::logger()->error("  **Error** cannot delete SG " + group_id + ": " + failure.what());
    tell(Act::kLeave, "security group", group_id, failure.what());
    reportFailure(failure);
    testlib::AppExitStatus::markFailed();
  }
}

}  // namespace probefleet
