// The latest-image lookup against the sandbox, with signature checking on.

#include "testlib/ami.h"

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "aws/http/curl_transport.h"
#include "aws/services/ec2.h"
#include "aws/session/session.h"
#include "support/sandbox.h"
#include "testlib/exit_request.h"

namespace {

using testing_support::Sandbox;

struct Options {
  std::string image;
  std::string instance_type;
};

class AmiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sandbox_.clearJournal();
    auto env = std::make_shared<aws::MapEnvironment>();
    for (const auto& [name, value] : sandbox_.awsEnv()) {
      if (value != testing_support::kUnsetEnv) env->vars[name] = value;
    }
    aws::ClientWorld deps;
    deps.env = env;
    deps.transport = aws::makeCurlTransport(*env);
    deps.clock = aws::systemClock();
    ec2_ = std::make_unique<aws::Ec2Client>(
        aws::Session::fromProfile(std::nullopt, deps).clientConfig("ec2"));
  }

  // Every Amazon Linux 2023 image the sandbox holds, by id, with its
  // architecture.
  std::map<std::string, std::string> al2023Images() {
    aws::ec2::DescribeImagesRequest request;
    request.owners = {"amazon"};
    request.filters = {{"name", {"al2023-ami-2023*"}}};
    std::map<std::string, std::string> images;
    for (const auto& image : ec2_->describeImages(request).images) {
      images[image.image_id] = image.architecture;
    }
    return images;
  }

  // Dates every image, `newest` per architecture one day after the others,
  // which get distinct earlier dates in id order (so that neither id order
  // nor answer order can give the expected result by chance).
  void dateImages(const std::map<std::string, std::string>& images,
                  const std::map<std::string, std::string>& newest) {
    nlohmann::json specs = nlohmann::json::array();
    int hour = 10;
    for (auto it = images.rbegin(); it != images.rend(); ++it) {
      const bool is_newest = newest.count(it->second) && newest.at(it->second) == it->first;
      specs.push_back(
          {{"image_id", it->first},
           {"creation_date", is_newest ? "2026-05-02T09:00:00.000Z"
                                       : "2026-05-01T" + std::to_string(hour++) + ":00:00.000Z"}});
    }
    sandbox_.control("POST", "images", {{"images", specs}});
  }

  Sandbox& sandbox_ = Sandbox::shared();
  std::unique_ptr<aws::Ec2Client> ec2_;
};

TEST_F(AmiTest, PicksTheNewestImageOfTheInstanceTypesArchitecture) {
  const auto images = al2023Images();
  std::vector<std::string> x86, arm;
  for (const auto& [id, arch] : images) (arch == "arm64" ? arm : x86).push_back(id);
  ASSERT_GE(x86.size(), 2u);
  ASSERT_GE(arm.size(), 2u);

  // Two rounds with a different newest image each time: the choice follows
  // the dates, not the position in the answer.
  for (std::size_t round = 0; round < 2; ++round) {
    const std::string want_x86 = x86[round], want_arm = arm[arm.size() - 1 - round];
    dateImages(images, {{"x86_64", want_x86}, {"arm64", want_arm}});
    EXPECT_EQ(testlib::get_latest_amazon_linux_ami(*ec2_, Options{"al2023-ami-2023*", "t3.micro"}),
              want_x86);
    EXPECT_EQ(testlib::get_latest_amazon_linux_ami(*ec2_, Options{"al2023-ami-2023*", "t4g.nano"}),
              want_arm);
  }
}

TEST_F(AmiTest, NameFilterNarrowsTheChoice) {
  const auto images = al2023Images();
  // The newest x86_64 image overall is not a kernel-6.1 one.
  std::string newest_overall, kernel61;
  aws::ec2::DescribeImagesRequest request;
  request.owners = {"amazon"};
  request.filters = {{"name", {"al2023-ami-2023*-kernel-6.1-x86_64"}}};
  const auto matching = ec2_->describeImages(request).images;
  ASSERT_EQ(matching.size(), 1u);
  kernel61 = matching[0].image_id;
  for (const auto& [id, arch] : images) {
    if (arch == "x86_64" && id != kernel61) newest_overall = id;
  }
  dateImages(images, {{"x86_64", newest_overall}});
  EXPECT_EQ(testlib::get_latest_amazon_linux_ami(
                *ec2_, Options{"al2023-ami-2023*-kernel-6.1-x86_64", "t3.micro"}),
            kernel61);
  // No arm64 image has that name.
  EXPECT_THROW(testlib::get_latest_amazon_linux_ami(
                   *ec2_, Options{"al2023-ami-2023*-kernel-6.1-x86_64", "t4g.nano"}),
               testlib::ExitRequest);
}

TEST_F(AmiTest, RequestAsksForAvailableAmazonImagesOfTheArchitecture) {
  testlib::get_latest_amazon_linux_ami(*ec2_, Options{"al2023-ami-2023*", "t4g.nano"});
  const auto types = sandbox_.journal("ec2", "DescribeInstanceTypes");
  ASSERT_EQ(types.size(), 1u);
  EXPECT_EQ(types[0]["params"]["InstanceType.1"], "t4g.nano");
  const auto calls = sandbox_.journal("ec2", "DescribeImages");
  ASSERT_EQ(calls.size(), 1u);
  const auto& p = calls[0]["params"];
  EXPECT_EQ(p["Owner.1"], "amazon");
  EXPECT_EQ(p["IncludeDeprecated"], "false");
  std::map<std::string, std::string> filters;
  for (int i = 1; p.contains("Filter." + std::to_string(i) + ".Name"); ++i) {
    const std::string at = "Filter." + std::to_string(i);
    EXPECT_FALSE(p.contains(at + ".Value.2"));
    filters[p[at + ".Name"]] = p[at + ".Value.1"];
  }
  EXPECT_EQ(filters,
            (std::map<std::string, std::string>{
                {"name", "al2023-ami-2023*"}, {"architecture", "arm64"}, {"state", "available"}}));
}

TEST_F(AmiTest, NoMatchingImageIsExitStatusOneWithTheErrorLine) {
  ::testing::internal::CaptureStderr();
  try {
    testlib::get_latest_amazon_linux_ami(*ec2_, Options{"no-such-image-*", "t3.micro"});
    ADD_FAILURE() << "an image was found";
  } catch (const testlib::ExitRequest& request) {
    EXPECT_EQ(request.status(), 1);
  }
  const std::string console = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(console.find("  **Error** Failed to find image no-such-image-* for x86_64"),
            std::string::npos)
      << console;
}

TEST_F(AmiTest, UnknownInstanceTypeIsTheServicesError) {
  try {
    testlib::get_latest_amazon_linux_ami(*ec2_, Options{"al2023-ami-2023*", "t9.nonesuch"});
    ADD_FAILURE() << "no failure";
  } catch (const aws::ServiceError& error) {
    EXPECT_EQ(error.httpStatus(), 400);
  }
  EXPECT_TRUE(sandbox_.journal("ec2", "DescribeImages").empty());
}

}  // namespace
