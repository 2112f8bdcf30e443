#include "probefleet/guard/account_checks.h"

#include <algorithm>
#include <future>
#include <map>
#include <set>

#include "aws/base/interrupt.h"
#include "aws/client/error.h"
#include "probefleet/core/story.h"
#include "testlib/ami.h"
#include "testlib/common.h"

namespace probefleet {

namespace {

using Level = Finding::Level;

std::string joined(const std::vector<std::string>& items, const std::string& separator = ", ") {
  std::string text;
  for (const std::string& item : items) text += (text.empty() ? "" : separator) + item;
  return text;
}

bool accessDenied(const std::exception& failure) {
  const auto* error = dynamic_cast<const aws::ServiceError*>(&failure);
  return error != nullptr &&
         (error->code() == "AccessDeniedException" || error->code() == "AccessDenied" ||
          error->code() == "UnauthorizedOperation");
}

// The instance types EC2 describes, by name: architecture and vCPUs.
std::map<std::string, aws::ec2::InstanceTypeInfo> describeTypes(
    const aws::Ec2Client& ec2, const std::vector<std::string>& types) {
  std::map<std::string, aws::ec2::InstanceTypeInfo> described;
  aws::ec2::DescribeInstanceTypesRequest request;
  request.instance_types = types;
  do {
    const auto page = ec2.describeInstanceTypes(request);
    for (const auto& info : page.instance_types) described[info.instance_type] = info;
    request.next_token = page.next_token;
  } while (!request.next_token.empty());
  return described;
}

std::string preferredArchitecture(const std::vector<std::string>& architectures) {
  for (const char* preferred : {"x86_64", "arm64"}) {
    if (std::find(architectures.begin(), architectures.end(), preferred) != architectures.end()) {
      return preferred;
    }
  }
  return architectures.empty() ? std::string() : architectures.front();
}

}  // namespace

void tellFinding(const Finding& finding) {
  const std::string line = finding.subject + ": " + finding.text;
  switch (finding.level) {
    case Level::kOk:
      testlib::logger()->info("  " + line);
      RunStory::get().check(true, finding.subject, finding.text);
      break;
    case Level::kWarning:
      testlib::logger()->warn("  **Alert** " + line);
      RunStory::get().warning(finding.subject, finding.text);
      break;
    case Level::kProblem:
      testlib::logger()->error("  **Error** " + line);
      RunStory::get().check(false, finding.subject, finding.text);
      break;
  }
}

std::string failureText(const std::exception& failure) {
  if (const auto* error = dynamic_cast<const aws::ServiceError*>(&failure)) {
    return error->code() + (error->message().empty() ? "" : ": " + error->message());
  }
  if (dynamic_cast<const aws::TransportError*>(&failure) != nullptr) {
    return std::string("TransportError (no answer): ") + failure.what();
  }
  return failure.what();
}

bool attempt(Findings& findings, Level level, const std::string& subject,
             const std::function<void()>& step) {
  try {
    step();
    return true;
  } catch (const aws::Interrupted&) {
    throw;
  } catch (const std::exception& failure) {
    findings.push_back({level, subject,
                        (level == Level::kProblem ? "" : "cannot check: ") + failureText(failure)});
    return false;
  }
}

std::string allowedImagesState(const aws::Ec2Client& ec2, Findings& findings) {
  std::string state;
  attempt(findings, Level::kWarning, "Allowed AMIs",
          [&] { state = ec2.getAllowedImagesSettings().state; });
  return state;
}

Findings planTypesAndImages(const aws::Ec2Client& ec2, const std::vector<std::string>& types,
                            const std::string& image_pattern,
                            const std::string& allowed_images_state, LaunchPlan& plan) {
  Findings findings;
  std::map<std::string, aws::ec2::InstanceTypeInfo> described;
  if (!attempt(findings, Level::kProblem, "instance types " + joined(types),
               [&] { described = describeTypes(ec2, types); })) {
    return findings;
  }
  std::map<std::string, std::string> architecture_of;
  std::set<std::string> architectures;
  for (const std::string& type : types) {
    const auto info = described.find(type);
    if (info == described.end()) {
      findings.push_back({Level::kWarning, "instance type " + type, "EC2 does not know it"});
      continue;
    }
    const std::string architecture = preferredArchitecture(info->second.supported_architectures);
    if (architecture.empty()) {
      findings.push_back({Level::kWarning, "instance type " + type, "EC2 lists no architecture"});
      continue;
    }
    architecture_of[type] = architecture;
    architectures.insert(architecture);
    plan.facts[type].architecture = architecture;
    plan.facts[type].vcpus = info->second.default_vcpus;
  }

  // One lookup per architecture, all at once.
  const bool enforced = allowed_images_state == "enabled";
  std::map<std::string, std::future<std::optional<aws::ec2::Image>>> lookups;
  for (const std::string& architecture : architectures) {
    lookups[architecture] = std::async(std::launch::async, [&, architecture] {
      return testlib::newestAmazonImage(
          ec2, image_pattern, architecture,
          [&](const aws::ec2::Image& image) { return !enforced || image.image_allowed != false; });
    });
  }
  std::map<std::string, std::optional<aws::ec2::Image>> images;
  for (auto& [architecture, lookup] : lookups) {
    attempt(findings, Level::kProblem, "image " + image_pattern + " for " + architecture,
            [&, arch = architecture] { images[arch] = lookup.get(); });
  }
  for (const auto& [architecture, image] : images) {
    if (!image) {
      findings.push_back({Level::kWarning, "image " + image_pattern + " for " + architecture,
                          std::string("no available Amazon image of that name") +
                              (enforced ? " that the account's Allowed AMIs allow" : "")});
      continue;
    }
    findings.push_back({Level::kOk, "image " + image_pattern + " for " + architecture,
                        image->image_id + " " + image->name});
    if (allowed_images_state == "audit-mode" && image->image_allowed == false) {
      findings.push_back({Level::kWarning, "image " + image->image_id,
                          "not among the account's Allowed AMIs (audit mode): launches work "
                          "now and are refused once the setting is enabled"});
    }
  }
  for (const std::string& type : types) {
    const auto architecture = architecture_of.find(type);
    if (architecture == architecture_of.end()) continue;
    const auto image = images.find(architecture->second);
    if (image == images.end() || !image->second) {
      if (image != images.end()) {
        findings.push_back({Level::kWarning, "instance type " + type,
                            "dropped: no image for its architecture " + architecture->second});
      }
      continue;
    }
    plan.facts[type].image_id = image->second->image_id;
    plan.types.push_back(type);
  }
  if (plan.types.empty() && !findings.empty() &&
      std::none_of(findings.begin(), findings.end(),
                   [](const Finding& f) { return f.level == Level::kProblem; })) {
    findings.push_back({Level::kProblem, "instance types " + joined(types),
                        "none of them can be launched from an image of " + image_pattern});
    // No architecture has an image at all: the name matches nothing, the
    // failure a run without a list of types has always reported so.
    if (!images.empty() && std::none_of(images.begin(), images.end(),
                                        [](const auto& found) { return found.second.has_value(); }))
      testlib::logger()->error("  **Error** Failed to find image " + image_pattern);
  }
  return findings;
}

Findings readOfferings(const aws::Ec2Client& ec2, const std::vector<std::string>& zones,
                       const std::vector<std::string>& types, LaunchPlan& plan) {
  Findings findings;
  if (zones.empty() || types.empty()) return findings;
  std::map<std::string, std::vector<std::string>> offered;
  const bool read = attempt(findings, Level::kWarning, "instance type offerings", [&] {
    aws::ec2::DescribeInstanceTypeOfferingsRequest request;
    request.location_type = "availability-zone";
    request.filters = {{"location", zones}, {"instance-type", types}};
    do {
      const auto page = ec2.describeInstanceTypeOfferings(request);
      for (const auto& offering : page.offerings) {
        offered[offering.location].push_back(offering.instance_type);
      }
      request.next_token = page.next_token;
    } while (!request.next_token.empty());
  });
  if (!read) return findings;
  // No offering of any of the types in any of the zones is what an endpoint
  // without offerings data answers too: the launches will tell.
  if (offered.empty()) {
    findings.push_back({Level::kWarning, "instance type offerings",
                        "EC2 lists none of " + joined(types) + " in " + joined(zones) +
                            "; every entry tries its types in order"});
    return findings;
  }
  for (const std::string& zone : zones) {
    const std::vector<std::string>& here = offered[zone];
    std::vector<std::string> missing;
    for (const std::string& type : types) {
      if (std::find(here.begin(), here.end(), type) == here.end()) missing.push_back(type);
    }
    if (!missing.empty()) {
      findings.push_back({Level::kOk, "zone " + zone, "does not offer " + joined(missing)});
    }
  }
  plan.offered = std::move(offered);
  return findings;
}

Findings checkEbsDefaultKey(const aws::Ec2Client& ec2, const aws::KmsClient* kms) {
  Findings findings;
  const std::string subject = "EBS default key";
  bool encrypted = false;
  std::string key_id;
  auto key = std::async(std::launch::async, [&] { return ec2.getEbsDefaultKmsKeyId(); });
  const bool read = attempt(findings, Level::kWarning, "EBS encryption by default",
                            [&] { encrypted = ec2.getEbsEncryptionByDefault(); });
  const bool key_read = attempt(findings, Level::kWarning, subject, [&] { key_id = key.get(); });
  if (!read) return findings;
  if (!encrypted) {
    findings.push_back({Level::kOk, "EBS encryption by default", "off"});
    return findings;
  }
  if (!key_read) return findings;
  // The AWS managed key is always usable; only a customer key can be off.
  if (key_id.empty() || key_id == "alias/aws/ebs") {
    findings.push_back({Level::kOk, subject, "the AWS managed key alias/aws/ebs"});
    return findings;
  }
  if (kms == nullptr) return findings;
  try {
    const aws::KmsKeyMetadata metadata = kms->describeKey(key_id);
    if (metadata.key_state == "Enabled") {
      findings.push_back({Level::kOk, subject, key_id + " is Enabled"});
    } else {
      findings.push_back(
          {Level::kProblem, subject,
           key_id + " is " + metadata.key_state +
               ": every instance would die at launch with Client.InvalidKMSKey.InvalidState. "
               "Enable the key, or make another one the default (ModifyEbsDefaultKmsKeyId)"});
    }
  } catch (const aws::Interrupted&) {
    throw;
  } catch (const std::exception& failure) {
    findings.push_back(
        {Level::kWarning, subject,
         key_id + (accessDenied(failure) ? ": these credentials may not describe it, so its state "
                                           "is not known (" +
                                               failureText(failure) + ")"
                                         : ": cannot check: " + failureText(failure))});
  }
  return findings;
}

Findings readVcpuQuota(const aws::Ec2Client& ec2, const aws::ServiceQuotasClient* quotas,
                       LaunchPlan& plan) {
  Findings findings;
  const std::string subject = "vCPU quota";
  if (quotas == nullptr) return findings;
  auto quota = std::async(std::launch::async,
                          [&] { return quotas->getServiceQuota("ec2", kStandardVcpuQuotaCode); });
  // What the region runs already: the standard-family instances that count.
  std::map<std::string, int> running;  // instance type -> how many
  const bool counted = attempt(findings, Level::kWarning, subject, [&] {
    aws::ec2::DescribeInstancesRequest request;
    request.filters = {{"instance-state-name", {"pending", "running"}}};
    request.max_results = 1000;
    do {
      const auto page = ec2.describeInstances(request);
      for (const auto& reservation : page.reservations) {
        for (const auto& instance : reservation.instances) {
          if (isStandardFamily(instance.instance_type)) ++running[instance.instance_type];
        }
      }
      request.next_token = page.next_token;
    } while (!request.next_token.empty());
  });
  std::optional<int> in_use;
  if (counted) {
    std::vector<std::string> types;
    for (const auto& [type, count] : running) types.push_back(type);
    attempt(findings, Level::kWarning, subject, [&] {
      const auto described =
          types.empty() ? decltype(describeTypes(ec2, types)){} : describeTypes(ec2, types);
      int vcpus = 0;
      for (const auto& [type, count] : running) {
        const auto info = described.find(type);
        if (info == described.end() || !info->second.default_vcpus) {
          throw std::runtime_error("EC2 does not say how many vCPUs " + type + " has");
        }
        vcpus += count * *info->second.default_vcpus;
      }
      in_use = vcpus;
    });
  }
  double value = 0;
  if (!attempt(findings, Level::kWarning, subject, [&] { value = quota.get().value; })) {
    return findings;
  }
  plan.vcpu_quota = static_cast<int>(value);
  plan.vcpus_running = in_use;
  if (in_use) {
    findings.push_back({Level::kOk, subject,
                        std::to_string(*plan.vcpu_quota) + " On-Demand Standard vCPUs, " +
                            std::to_string(*in_use) + " in use"});
  }
  return findings;
}

Findings checkBlockPublicAccess(const aws::Ec2Client& ec2, const std::string& vpc_id,
                                const std::vector<std::string>& launch_subnets) {
  Findings findings;
  const std::string subject = "VPC Block Public Access";
  aws::ec2::VpcBlockPublicAccessOptions options;
  auto exclusions = std::async(std::launch::async,
                               [&] { return ec2.describeVpcBlockPublicAccessExclusions({}); });
  const bool read = attempt(findings, Level::kWarning, subject,
                            [&] { options = ec2.describeVpcBlockPublicAccessOptions(); });
  std::vector<aws::ec2::VpcBlockPublicAccessExclusion> excluded;
  const bool listed =
      attempt(findings, Level::kWarning, subject, [&] { excluded = exclusions.get(); });
  const std::string& mode = options.internet_gateway_block_mode;
  if (!read || mode.empty() || mode == "off") return findings;
  auto exempt = [&](const std::string& suffix) {
    return std::any_of(excluded.begin(), excluded.end(), [&](const auto& exclusion) {
      const std::string& arn = exclusion.resource_arn;
      return exclusion.internet_gateway_exclusion_mode == "allow-bidirectional" &&
             exclusion.state.find("complete") != std::string::npos && arn.size() >= suffix.size() &&
             arn.compare(arn.size() - suffix.size(), suffix.size(), suffix) == 0;
    });
  };
  std::vector<std::string> blocked;
  if (!listed || !exempt(":vpc/" + vpc_id)) {
    for (const std::string& subnet : launch_subnets) {
      if (!listed || !exempt(":subnet/" + subnet)) blocked.push_back(subnet);
    }
  }
  if (!blocked.empty()) {
    findings.push_back({Level::kWarning, subject,
                        mode + " blocks ingress to " + std::to_string(blocked.size()) +
                            " launch subnet" + (blocked.size() == 1 ? "" : "s") + " of " + vpc_id +
                            " (" + joined(blocked) +
                            "): the instances' public addresses will not be reachable"});
  }
  return findings;
}

Findings checkRoutesToS3(const aws::Ec2Client& ec2, const std::string& vpc_id,
                         const std::vector<std::string>& launch_subnets) {
  Findings findings;
  const std::string subject = "routes to S3";
  std::vector<aws::ec2::RouteTable> tables;
  if (!attempt(findings, Level::kWarning, subject, [&] {
        aws::ec2::DescribeRouteTablesRequest request;
        request.filters = {{"vpc-id", {vpc_id}}};
        do {
          const auto page = ec2.describeRouteTables(request);
          tables.insert(tables.end(), page.route_tables.begin(), page.route_tables.end());
          request.next_token = page.next_token;
        } while (!request.next_token.empty());
      })) {
    return findings;
  }
  const aws::ec2::RouteTable* main_table = nullptr;
  std::map<std::string, const aws::ec2::RouteTable*> table_of;
  for (const auto& table : tables) {
    for (const auto& association : table.associations) {
      if (association.main) main_table = &table;
      if (!association.subnet_id.empty()) table_of[association.subnet_id] = &table;
    }
  }
  auto reachesS3 = [](const aws::ec2::RouteTable& table) {
    return std::any_of(table.routes.begin(), table.routes.end(), [](const aws::ec2::Route& r) {
      if (r.state == "blackhole") return false;
      const bool gateway = r.gateway_id.rfind("igw-", 0) == 0 || !r.nat_gateway_id.empty() ||
                           !r.transit_gateway_id.empty();
      const bool endpoint =
          !r.destination_prefix_list_id.empty() && r.gateway_id.rfind("vpce-", 0) == 0;
      return (r.destination_cidr_block == "0.0.0.0/0" && gateway) || endpoint;
    });
  };
  std::vector<std::string> cut_off;
  for (const std::string& subnet : launch_subnets) {
    const auto own = table_of.find(subnet);
    const aws::ec2::RouteTable* table = own != table_of.end() ? own->second : main_table;
    if (table == nullptr || !reachesS3(*table)) cut_off.push_back(subnet);
  }
  if (!cut_off.empty()) {
    findings.push_back(
        {Level::kWarning, subject,
         joined(cut_off) + (cut_off.size() == 1 ? " has" : " have") +
             " no default route to an internet, NAT or transit gateway and no S3 gateway "
             "endpoint: the test results of their instances cannot reach the bucket"});
  }
  return findings;
}

}  // namespace probefleet
