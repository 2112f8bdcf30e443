#include "testlib/ami.h"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <tuple>

#include "testlib/common.h"
#include "testlib/exit_request.h"

namespace testlib {

std::string instanceTypeArchitecture(const aws::Ec2Client& ec2, const std::string& instance_type) {
  aws::ec2::DescribeInstanceTypesRequest request;
  request.instance_types = {instance_type};
  const auto result = ec2.describeInstanceTypes(request);
  for (const auto& info : result.instance_types) {
    if (info.instance_type != instance_type) continue;
    const auto& archs = info.supported_architectures;
    for (const char* preferred : {"x86_64", "arm64"}) {
      if (std::find(archs.begin(), archs.end(), preferred) != archs.end()) return preferred;
    }
    if (!archs.empty()) return archs.front();
  }
  throw std::runtime_error("EC2 lists no processor architecture for the instance type " +
                           instance_type);
}

std::optional<aws::ec2::Image> newestAmazonImage(
    const aws::Ec2Client& ec2, const std::string& image_pattern, const std::string& architecture,
    const std::function<bool(const aws::ec2::Image&)>& keep) {
  aws::ec2::DescribeImagesRequest request;
  request.owners = {"amazon"};
  request.filters = {
      {"name", {image_pattern}}, {"architecture", {architecture}}, {"state", {"available"}}};
  request.include_deprecated = false;

  std::optional<aws::ec2::Image> newest;
  // Ties on CreationDate are broken by name, then id, so the choice never
  // depends on the order of the answer.
  auto key = [](const aws::ec2::Image& image) {
    return std::tie(image.creation_date, image.name, image.image_id);
  };
  do {
    const auto page = ec2.describeImages(request);
    for (const auto& image : page.images) {
      // The filters say so already; checked again so a lax answer cannot
      // hand out an image of the wrong kind.
      if (image.state != "available" || image.architecture != architecture) continue;
      if (keep && !keep(image)) continue;
      if (!newest || key(*newest) < key(image)) newest = image;
    }
    request.next_token = page.next_token;
  } while (!request.next_token.empty());
  return newest;
}

std::string get_latest_amazon_linux_ami(const aws::Ec2Client& ec2, const std::string& image_pattern,
                                        const std::string& instance_type) {
  auto log = logger();
  const std::string architecture = instanceTypeArchitecture(ec2, instance_type);
  log->info("- Lookup latest AMI " + image_pattern + " for " + architecture + " (" + instance_type +
            ")");
  const std::optional<aws::ec2::Image> newest = newestAmazonImage(ec2, image_pattern, architecture);
  if (!newest) {
    const std::string message =
        "  **Error** Failed to find image " + image_pattern + " for " + architecture;
    log->error(message);
    throw ExitRequest(1, message);
  }
  log->info("  " + newest->image_id + " " + newest->name + " " + newest->creation_date);
  return newest->image_id;
}

}  // namespace testlib
