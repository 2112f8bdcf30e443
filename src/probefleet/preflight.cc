#include "probefleet/preflight.h"

#include <map>
#include <set>

#include "aws/client/error.h"
#include "aws/base/interrupt.h"
#include "probefleet/fleet_lookup.h"
#include "probefleet/patience.h"
#include "probefleet/story.h"
#include "testlib/ami.h"
#include "testlib/common.h"
#include "testlib/exit_request.h"

namespace probefleet {

namespace {

std::string text(const TestConfig& entry, const char* key) {
  const auto found = entry.find(key);
  return found != entry.end() && found->is_string() ? found->get<std::string>() : std::string();
}

// The failure in a line: AWS's code and message, or what kept the answer away.
std::string why(const std::exception& failure) {
  if (const auto* error = dynamic_cast<const aws::ServiceError*>(&failure)) {
    return error->code() + (error->message().empty() ? "" : ": " + error->message());
  }
  if (dynamic_cast<const aws::TransportError*>(&failure) != nullptr) {
    return std::string("TransportError (no answer): ") + failure.what();
  }
  return failure.what();
}

class Checks {
 public:
  Checks(const PreflightClients& clients, const Args& args) : clients_(clients), args_(args) {}

  PreflightReport run(const TestConfig& document) {
    if (!credentials()) return report_;
    subnets(document);
    if (!args_.revert) {
      if (given(args_.s3_bucket) && clients_.s3 != nullptr) bucket(*args_.s3_bucket);
      image();
      if (given(args_.ec2_role) && *args_.ec2_role != "default") role(*args_.ec2_role);
    }
    return report_;
  }

 private:
  void found(const std::string& subject, const std::string& finding) {
    testlib::logger()->info("  " + subject + ": " + finding);
    RunStory::get().check(true, subject, finding);
  }
  void problem(const std::string& subject, const std::string& finding) {
    testlib::logger()->error("  **Error** " + subject + ": " + finding);
    RunStory::get().check(false, subject, finding);
    report_.problems.push_back(subject + ": " + finding);
  }

  // Runs a read-only request; a failure becomes a problem of `subject`.
  template <class Request>
  bool ask(const std::string& subject, Request&& request) {
    try {
      request();
      return true;
    } catch (const aws::Interrupted&) {
      throw;
    } catch (const std::exception& failure) {
      problem(subject, why(failure));
      return false;
    }
  }

  bool credentials() {
    aws::CallerIdentity identity;
    if (!ask("credentials", [&] { identity = clients_.sts.getCallerIdentity(); })) return false;
    report_.account = identity.account;
    const auto first = identity.arn.find(':');
    const auto second = identity.arn.find(':', first + 1);
    if (first != std::string::npos && second != std::string::npos) {
      report_.partition = identity.arn.substr(first + 1, second - first - 1);
    }
    found("credentials", "account " + identity.account + ", partition " + report_.partition);
    return true;
  }

  void subnets(const TestConfig& document) {
    std::vector<std::string> ids;
    for (const TestConfig& entry : document) {
      ids.push_back(text(entry, "gw_subnet_id"));
      if (!args_.revert) ids.push_back(text(entry, "private_subnet_id"));
    }
    std::erase(ids, std::string());
    std::map<std::string, aws::ec2::Subnet> listed;
    if (!ask("subnets", [&] {
          listed =
              patiently(clients_.ec2.clock(), {}, [&] { return getSubnets(clients_.ec2, ids); });
        })) {
      return;
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
        found("subnet " + id, "EC2 does not know it; nothing of ours can be in it");
      } else {
        problem("subnet " + id, "EC2 does not know it");
      }
    }
    if (by_vpc.size() > 1) {
      std::string where;
      for (const auto& [vpc, members] : by_vpc) {
        where += (where.empty() ? "" : "; ") + vpc + ":";
        for (const std::string& id : members) where += " " + id;
      }
      problem("VPC", "the subnets lie in " + std::to_string(by_vpc.size()) + " VPCs (" + where +
                         "); a run works in one VPC");
    } else if (by_vpc.size() == 1) {
      report_.vpc_id = by_vpc.begin()->first;
      found("subnets", std::to_string(listed.size()) + " in " + report_.vpc_id);
    }
  }

  void bucket(const std::string& name) {
    try {
      (void)clients_.s3->headBucket(name);
      found("bucket " + name, "reachable");
    } catch (const aws::Interrupted&) {
      throw;
    } catch (const aws::ServiceError& error) {
      // HEAD answers carry no body: the status is all S3 says.
      if (error.httpStatus() == 404) {
        problem("bucket " + name, "it does not exist");
      } else if (error.httpStatus() == 403) {
        problem("bucket " + name, "these credentials may not use it (403 Forbidden)");
      } else {
        problem("bucket " + name, why(error));
      }
    } catch (const std::exception& failure) {
      problem("bucket " + name, why(failure));
    }
  }

  void image() {
    try {
      report_.image_id = testlib::get_latest_amazon_linux_ami(clients_.ec2, args_);
      found("image " + args_.image, report_.image_id);
    } catch (const aws::Interrupted&) {
      throw;
    } catch (const testlib::ExitRequest&) {
      problem("image " + args_.image,
              "no available Amazon image of that name for instance type " + args_.instance_type);
    } catch (const std::exception& failure) {
      problem("image " + args_.image, why(failure));
    }
  }

  void role(const std::string& name) {
    std::vector<aws::IamInstanceProfile> profiles;
    try {
      profiles = clients_.iam.listInstanceProfilesForRole(name).instance_profiles;
    } catch (const aws::Interrupted&) {
      throw;
    } catch (const aws::ServiceError& error) {
      problem("role " + name,
              error.code() == "NoSuchEntity" ? std::string("IAM has no such role") : why(error));
      return;
    } catch (const std::exception& failure) {
      problem("role " + name, why(failure));
      return;
    }
    if (profiles.empty()) {
      problem("role " + name, "it has no instance profile to launch with");
    } else {
      found("role " + name, "instance profile " + profiles.front().instance_profile_name);
    }
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
