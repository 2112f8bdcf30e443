#include "probefleet/resources/images.h"

#include "testlib/common.h"
#include "testlib/exit_request.h"

namespace probefleet {

namespace {

constexpr const char* kLatestAmazonLinuxPath = "/aws/service/ami-amazon-linux-latest";

[[noreturn]] void failToFind(const std::string& image) {
  const std::string message = "  **Error** Failed to find image " + image;
  testlib::logger()->error(message);
  throw testlib::ExitRequest(1, message);
}

}  // namespace

std::string getAMIByName(const aws::Ec2Client& ec2_client, const Args& args) {
  auto log = testlib::logger();
  log->info("- Lookup AMI for " + args.image);

  aws::ec2::DescribeImagesRequest request;
  request.executable_users = {"all"};
  request.filters = {{"name", {args.image}}};
  request.owners = {"amazon"};
  request.include_deprecated = false;
  // The service's order is taken as it comes: callers that want the newest
  // image use get_latest_amazon_linux_ami instead. A page may come back
  // empty while later ones hold images.
  do {
    const auto page = ec2_client.describeImages(request);
    if (!page.images.empty()) {
      const std::string& image_id = page.images.front().image_id;
      log->info("  " + image_id);
      return image_id;
    }
    request.next_token = page.next_token;
  } while (!request.next_token.empty());
  failToFind(args.image);
}

std::string getAMI(const aws::SsmClient& ssm_client, const Args& args) {
  auto log = testlib::logger();
  log->info("- Lookup AMI for " + args.image);

  aws::GetParametersByPathRequest request;
  request.path = kLatestAmazonLinuxPath;
  // SSM answers at most ten parameters a page: every page is searched.
  do {
    const auto page = ssm_client.getParametersByPath(request);
    for (const auto& parameter : page.parameters) {
      if (parameter.name.ends_with(args.image)) {
        log->info("  " + parameter.value);
        return parameter.value;
      }
    }
    request.next_token = page.next_token;
  } while (!request.next_token.empty());
  failToFind(args.image);
}

}  // namespace probefleet
