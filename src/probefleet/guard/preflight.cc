#include "probefleet/guard/preflight.h"

#include <future>
#include <map>
#include <set>

#include "aws/base/interrupt.h"
#include "aws/client/error.h"
#include "probefleet/core/patience.h"
#include "probefleet/core/story.h"
#include "probefleet/resources/fleet_lookup.h"
#include "testlib/common.h"

namespace probefleet {

namespace {

using Level = Finding::Level;

std::string text(const TestConfig& entry, const char* key) {
  const auto found = entry.find(key);
  return found != entry.end() && found->is_string() ? found->get<std::string>() : std::string();
}

// The launch subnets of the entries a deployment works on (those with a
// private subnet), in order, each once.
std::vector<std::string> launchSubnets(const TestConfig& document) {
  std::vector<std::string> ids;
  for (const TestConfig& entry : document) {
    const std::string id = text(entry, "gw_subnet_id");
    if (id.empty() || text(entry, "private_subnet_id").empty()) continue;
    if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
  }
  return ids;
}

class Checks {
 public:
  Checks(const PreflightClients& clients, const Args& args) : clients_(clients), args_(args) {}

  PreflightReport run(const TestConfig& document) {
    if (!credentials()) return report_;
    if (args_.revert) {
      tellAll(subnets(document));
      return report_;
    }
    // Every question below is read-only and most stand alone: they are asked
    // at once, and their findings told in a fixed order afterwards.
    const std::vector<std::string> types = instanceTypeList(args_.instance_type);
    const std::vector<std::string> launch = launchSubnets(document);
    LaunchPlan quota_plan;

    auto network = later([&] { return subnets(document); });
    auto bucket_check = later([&] { return bucketCheck(); });
    auto images = later([&] { return imagesCheck(types); });
    auto role_check = later([&] { return roleCheck(); });
    auto ebs = later([&] { return checkEbsDefaultKey(clients_.ec2, clients_.kms); });
    auto quota = later([&] { return readVcpuQuota(clients_.ec2, clients_.quotas, quota_plan); });

    Findings network_found = network.get();
    Findings settings;
    if (!report_.vpc_id.empty()) {
      auto offerings = later([&] { return offeringsCheck(launch, types); });
      settings = settingsCheck(launch);
      Findings offered = offerings.get();
      network_found.insert(network_found.end(), offered.begin(), offered.end());
    }
    tellAll(network_found);
    tellAll(bucket_check.get());
    tellAll(images.get());
    tellAll(role_check.get());
    tellAll(ebs.get());
    tellAll(quota.get());
    tellAll(settings);
    LaunchPlan& plan = report_.plan;
    plan.vcpu_quota = quota_plan.vcpu_quota;
    plan.vcpus_running = quota_plan.vcpus_running;
    if (!plan.types.empty()) report_.image_id = plan.imageFor(plan.types.front());
    return report_;
  }

 private:
  // Runs `check` on a thread of its own; an interruption in it is thrown by
  // get().
  template <class Check>
  static std::future<Findings> later(Check&& check) {
    return std::async(std::launch::async, std::forward<Check>(check));
  }

  void tell(const Finding& finding) {
    tellFinding(finding);
    const std::string line = finding.subject + ": " + finding.text;
    if (finding.level == Level::kWarning) report_.warnings.push_back(line);
    if (finding.level == Level::kProblem) report_.problems.push_back(line);
  }
  void tellAll(const Findings& findings) {
    for (const Finding& finding : findings) tell(finding);
  }

  std::string zoneOf(const std::string& subnet_id) const { return report_.plan.zoneOf(subnet_id); }

  // The bucket of --s3_bucket is there.
  Findings bucketCheck() const {
    return given(args_.s3_bucket) && clients_.s3 != nullptr ? bucket(*args_.s3_bucket) : Findings{};
  }

  // The role of --ec2_role NAME has an instance profile.
  Findings roleCheck() {
    return given(args_.ec2_role) && *args_.ec2_role != "default" ? role(*args_.ec2_role)
                                                                 : Findings{};
  }

  // Which image each instance type launches from, as far as Allowed AMIs
  // let it.
  Findings imagesCheck(const std::vector<std::string>& types) {
    Findings found;
    const std::string state = allowedImagesState(clients_.ec2, found);
    Findings planned = planTypesAndImages(clients_.ec2, types, args_.image, state, report_.plan);
    found.insert(found.end(), planned.begin(), planned.end());
    return found;
  }

  // Which of the types the launch subnets' zones offer.
  Findings offeringsCheck(const std::vector<std::string>& launch,
                          const std::vector<std::string>& types) {
    std::set<std::string> unique;
    for (const std::string& id : launch) {
      if (const std::string zone = zoneOf(id); !zone.empty()) unique.insert(zone);
    }
    return readOfferings(clients_.ec2, {unique.begin(), unique.end()}, types, report_.plan);
  }

  // The VPC's settings that may keep the instances from the outside:
  // Block Public Access, and with --run_tag the routes to S3.
  Findings settingsCheck(const std::vector<std::string>& launch) const {
    auto bpa = later([&] { return checkBlockPublicAccess(clients_.ec2, report_.vpc_id, launch); });
    Findings found =
        given(args_.tag) ? checkRoutesToS3(clients_.ec2, report_.vpc_id, launch) : Findings{};
    Findings blocked = bpa.get();
    found.insert(found.begin(), blocked.begin(), blocked.end());
    return found;
  }

  bool credentials() {
    aws::CallerIdentity identity;
    Findings found;
    if (!attempt(found, Level::kProblem, "credentials",
                 [&] { identity = clients_.sts.getCallerIdentity(); })) {
      tellAll(found);
      return false;
    }
    report_.account = identity.account;
    const auto first = identity.arn.find(':');
    const auto second = identity.arn.find(':', first + 1);
    if (first != std::string::npos && second != std::string::npos) {
      report_.partition = identity.arn.substr(first + 1, second - first - 1);
    }
    tell({Level::kOk, "credentials",
          "account " + identity.account + ", partition " + report_.partition});
    return true;
  }

  Findings subnets(const TestConfig& document) {
    Findings found;
    std::vector<std::string> ids;
    for (const TestConfig& entry : document) {
      ids.push_back(text(entry, "gw_subnet_id"));
      if (!args_.revert) ids.push_back(text(entry, "private_subnet_id"));
    }
    std::erase(ids, std::string());
    std::map<std::string, aws::ec2::Subnet> listed;
    if (!attempt(found, Level::kProblem, "subnets", [&] {
          listed =
              patiently(clients_.ec2.clock(), {}, [&] { return getSubnets(clients_.ec2, ids); });
        })) {
      return found;
    }
    std::map<std::string, std::set<std::string>> by_vpc;
    std::set<std::string> missing;
    for (const std::string& id : ids) {
      const auto subnet = listed.find(id);
      if (subnet == listed.end()) {
        missing.insert(id);
      } else {
        by_vpc[subnet->second.vpc_id].insert(id);
      }
    }
    // A revert of subnets that are gone has nothing to remove there.
    for (const std::string& id : missing) {
      if (args_.revert) {
        found.push_back(
            {Level::kOk, "subnet " + id, "EC2 does not know it; nothing of ours can be in it"});
      } else {
        found.push_back({Level::kProblem, "subnet " + id, "EC2 does not know it"});
      }
    }
    if (by_vpc.size() > 1) {
      std::string where;
      for (const auto& [vpc, members] : by_vpc) {
        where += (where.empty() ? "" : "; ") + vpc + ":";
        for (const std::string& id : members) where += " " + id;
      }
      found.push_back({Level::kProblem, "VPC",
                       "the subnets lie in " + std::to_string(by_vpc.size()) + " VPCs (" + where +
                           "); a run works in one VPC"});
    } else if (by_vpc.size() == 1) {
      report_.vpc_id = by_vpc.begin()->first;
      found.push_back(
          {Level::kOk, "subnets", std::to_string(listed.size()) + " in " + report_.vpc_id});
    }
    report_.plan.subnets = std::move(listed);
    return found;
  }

  Findings bucket(const std::string& name) const {
    Findings found;
    const std::string subject = "bucket " + name;
    try {
      (void)clients_.s3->headBucket(name);
      found.push_back({Level::kOk, subject, "reachable"});
    } catch (const aws::Interrupted&) {
      throw;
    } catch (const aws::ServiceError& error) {
      // HEAD answers carry no body: the status is all S3 says. Only a 404
      // says the bucket is not there; HeadBucket needs s3:ListBucket, which
      // roles that only read and write objects do not have.
      if (error.httpStatus() == 404) {
        found.push_back({Level::kProblem, subject, "it does not exist"});
      } else if (error.httpStatus() == 403) {
        found.push_back({Level::kWarning, subject,
                         "its existence cannot be checked without s3:ListBucket (403 "
                         "Forbidden); the run goes on, and its first use of the bucket will tell"});
      } else {
        found.push_back({Level::kProblem, subject, failureText(error)});
      }
    } catch (const std::exception& failure) {
      found.push_back({Level::kProblem, subject, failureText(failure)});
    }
    return found;
  }

  Findings role(const std::string& name) {
    Findings found;
    std::vector<aws::IamInstanceProfile> profiles;
    try {
      profiles = clients_.iam.listInstanceProfilesForRole(name).instance_profiles;
    } catch (const aws::Interrupted&) {
      throw;
    } catch (const aws::ServiceError& error) {
      found.push_back({Level::kProblem, "role " + name,
                       error.code() == "NoSuchEntity" ? std::string("IAM has no such role")
                                                      : failureText(error)});
      return found;
    } catch (const std::exception& failure) {
      found.push_back({Level::kProblem, "role " + name, failureText(failure)});
      return found;
    }
    if (profiles.empty()) {
      found.push_back(
          {Level::kProblem, "role " + name, "it has no instance profile to launch with"});
    } else {
      report_.plan.role_profile = profiles.front().instance_profile_name;
      found.push_back({Level::kOk, "role " + name,
                       "instance profile " + profiles.front().instance_profile_name});
    }
    return found;
  }

  const PreflightClients& clients_;
  const Args& args_;
  PreflightReport report_;
};

}  // namespace

PreflightReport preflight(const PreflightClients& clients, const Args& args,
                          const TestConfig& document) {
  testlib::logger()->info("- Preflight: read-only checks before any change");
  RunStory::get().phase("preflight");
  return Checks(clients, args).run(document);
}

}  // namespace probefleet
