#pragma once
// The image every test instance is launched from: the newest Amazon Linux
// image of the wanted name for the instance type's architecture.

#include <functional>
#include <optional>
#include <string>

#include "aws/services/ec2.h"

namespace testlib {

/// The architecture images must have for `instance_type`, from EC2's
/// DescribeInstanceTypes (ProcessorInfo.SupportedArchitectures): "x86_64"
/// when supported (t3), else "arm64" (t4g), else the first one listed.
/// Throws ServiceError when EC2 does not know the type, std::runtime_error
/// when it lists no architecture.
std::string instanceTypeArchitecture(const aws::Ec2Client& ec2, const std::string& instance_type);

/// The newest (by CreationDate; ties by name, then id) available, not
/// deprecated, Amazon-owned image whose name matches `image_pattern` and whose
/// architecture is `architecture`, among those `keep` accepts (all when it is
/// empty); nullopt when there is none. Reads every answer page. AWS failures
/// are let through.
std::optional<aws::ec2::Image> newestAmazonImage(
    const aws::Ec2Client& ec2, const std::string& image_pattern, const std::string& architecture,
    const std::function<bool(const aws::ec2::Image&)>& keep = {});

/// The id of the newest (by CreationDate) available, not deprecated,
/// Amazon-owned image whose name matches `image_pattern` (EC2's wildcard
/// name filter) and whose architecture suits `instance_type`. Logs the lookup
/// and its result to "corvanta_testlibs". When there is no such image it
/// logs "  **Error** Failed to find image ..." and throws ExitRequest with
/// status 1. AWS failures are let through.
std::string get_latest_amazon_linux_ami(const aws::Ec2Client& ec2, const std::string& image_pattern,
                                        const std::string& instance_type);

/// The same for an options record: reads `args.image` and `args.instance_type`.
template <typename Options>
std::string get_latest_amazon_linux_ami(const aws::Ec2Client& ec2, const Options& args) {
  return get_latest_amazon_linux_ami(ec2, args.image, args.instance_type);
}

}  // namespace testlib
