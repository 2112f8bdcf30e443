#pragma once
// What a deployment knows, before its first change, about the launches it
// will make: the instance types in order of preference and what each needs
// (its image, its vCPUs), which of them each zone offers, and the subnets as
// EC2 listed them (their zones and free addresses). The read-only checks
// fill it in once per run; the deployment only reads it.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "aws/services/ec2_types.h"

namespace probefleet {

/// The --instance_type list when the option is not given: where t3.micro is
/// offered nothing changes; where it is not, the next of these that is.
inline constexpr const char* kDefaultInstanceTypes = "t3.micro,t3a.micro,t2.micro";

/// The types of an --instance_type value, in order: one type or several
/// separated by commas. Throws std::invalid_argument naming the fault for an
/// empty piece, a repeated type or a piece that cannot be a type name (a
/// family, a dot and a size, of a-z, 0-9 and '-').
std::vector<std::string> instanceTypeList(const std::string& value);

/// What a launch of one instance type needs.
struct TypeFacts {
  std::string architecture;  // "x86_64", "arm64", ...
  std::string image_id;      // the image launched for that architecture
  std::optional<int> vcpus;  // VCpuInfo.DefaultVCpus, when EC2 said
};

struct LaunchPlan {
  /// The types a launch may use, in order of preference; a type whose
  /// architecture has no image is not among them.
  std::vector<std::string> types;
  std::map<std::string, TypeFacts> facts;
  /// The types each zone offers (by zone name). nullopt: the offerings
  /// could not be read, and every zone is taken to offer every type.
  std::optional<std::map<std::string, std::vector<std::string>>> offered;
  /// The run's subnets as the preflight's DescribeSubnets listed them.
  std::map<std::string, aws::ec2::Subnet> subnets;
  /// The quota of On-Demand Standard vCPUs and those already running in the
  /// region; nullopt when they could not be read (the launches will tell).
  std::optional<int> vcpu_quota;
  std::optional<int> vcpus_running;
  /// The instance profile of --ec2_role NAME, as the preflight found it.
  std::optional<std::string> role_profile;

  /// The types `zone` offers, in order of preference (all of `types` when
  /// the offerings are not known).
  std::vector<std::string> typesFor(const std::string& zone) const;
  /// The image of `type`; "" when the plan has none for it.
  std::string imageFor(const std::string& type) const;
  /// The zone of a subnet the preflight listed; "" otherwise.
  std::string zoneOf(const std::string& subnet_id) const;
};

/// A plan for one type and one image, without offerings, subnets or quota:
/// every zone is taken to offer it and nothing is counted.
LaunchPlan singleImagePlan(const std::string& instance_type, const std::string& image_id);

/// Whether an instance type counts against the On-Demand Standard quota
/// (families A, C, D, H, I, M, R, T and Z).
bool isStandardFamily(const std::string& instance_type);

/// The free addresses each subnet needs, in configuration order: one per new
/// instance in its launch subnet, one per new second interface in its
/// private subnet.
struct AddressNeed {
  std::string launch_subnet;   // "" when the entry's instance stands already
  std::string private_subnet;  // "" when its second interface exists already
};

/// For each need, in order: "" when it fits in what the subnets have left
/// after the needs before it, or else why not (the subnet, its free count
/// and the need). A subnet whose free count is not known always fits.
std::vector<std::string> addressVerdicts(const std::vector<AddressNeed>& needs,
                                         const std::map<std::string, aws::ec2::Subnet>& subnets);

}  // namespace probefleet
