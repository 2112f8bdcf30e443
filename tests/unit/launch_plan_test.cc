#include "probefleet/core/launch_plan.h"

#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace probefleet {
namespace {

TEST(InstanceTypeList, ReadsOneOrSeveralAndRefusesWhatCannotBeAType) {
  struct Case {
    std::string value;
    std::vector<std::string> types;  // empty: refused
  };
  const std::vector<Case> cases = {
      {"t3.micro", {"t3.micro"}},
      {"t3.micro,t3a.micro,t2.micro", {"t3.micro", "t3a.micro", "t2.micro"}},
      {" t3.micro , m7i-flex.large", {"t3.micro", "m7i-flex.large"}},
      {"t3.micro,", {}},
      {"", {}},
      {"t3.micro,t3.micro", {}},
      {"t3", {}},
      {"T3.micro", {}},
      {"t3.micro;rm -rf", {}},
      {"t3..micro", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    if (c.types.empty()) {
      EXPECT_THROW(instanceTypeList(c.value), std::invalid_argument);
    } else {
      EXPECT_EQ(instanceTypeList(c.value), c.types);
    }
  }
  EXPECT_EQ(instanceTypeList(kDefaultInstanceTypes),
            (std::vector<std::string>{"t3.micro", "t3a.micro", "t2.micro"}));
}

TEST(LaunchPlan, EachZoneGetsTheOfferedTypesInTheOrderOfPreference) {
  LaunchPlan plan;
  plan.types = {"t3.micro", "t3a.micro", "t2.micro"};
  EXPECT_EQ(plan.typesFor("us-east-1e"), plan.types);  // offerings not known: all
  plan.offered = {{"us-east-1a", {"t2.micro", "t3.micro", "t3a.micro"}},
                  {"us-east-1e", {"t2.micro", "t3a.micro", "m5.large"}}};
  EXPECT_EQ(plan.typesFor("us-east-1a"), plan.types);
  EXPECT_EQ(plan.typesFor("us-east-1e"), (std::vector<std::string>{"t3a.micro", "t2.micro"}));
  EXPECT_TRUE(plan.typesFor("us-east-1f").empty());
}

TEST(StandardFamily, CountsTheFamiliesOfTheOnDemandStandardQuota) {
  for (const char* type : {"t3.micro", "m5.large", "c7g.xlarge", "r6i.2xlarge", "z1d.large"}) {
    EXPECT_TRUE(isStandardFamily(type)) << type;
  }
  for (const char* type : {"g5.xlarge", "p4d.24xlarge", "x2idn.large", "f1.2xlarge", "u-6tb1.metal",
                           "inf1.xlarge", "dl1.24xlarge", "mac1.metal", "trn1.2xlarge"}) {
    EXPECT_FALSE(isStandardFamily(type)) << type;
  }
}

aws::ec2::Subnet subnet(const std::string& id, std::optional<int> free) {
  aws::ec2::Subnet s;
  s.subnet_id = id;
  s.available_ip_address_count = free;
  return s;
}

TEST(AddressVerdicts, EntriesThatFitGoOnInConfigurationOrder) {
  const std::map<std::string, aws::ec2::Subnet> subnets = {{"gw-a", subnet("gw-a", 2)},
                                                           {"gw-b", subnet("gw-b", 5)},
                                                           {"priv-a", subnet("priv-a", 1)},
                                                           {"priv-b", subnet("priv-b", 0)},
                                                           {"gw-x", subnet("gw-x", std::nullopt)}};
  struct Case {
    std::string name;
    std::vector<AddressNeed> needs;
    std::vector<bool> fits;
  };
  const std::vector<Case> cases = {
      {"a full private subnet refuses only its entry",
       {{"gw-b", "priv-b"}, {"gw-b", "priv-a"}},
       {false, true}},
      {"the second of two on one free address",
       {{"gw-a", "priv-a"}, {"gw-a", "priv-a"}},
       {true, false}},
      {"standing instances and interfaces take none",
       {{"", ""}, {"", "priv-a"}, {"gw-a", ""}},
       {true, true, true}},
      {"a refused entry takes nothing from the next",
       {{"gw-a", "priv-b"}, {"gw-a", ""}, {"gw-a", ""}},
       {false, true, true}},
      {"an unknown count always fits", {{"gw-x", ""}, {"gw-x", ""}}, {true, true}},
      {"one subnet as both launch and private", {{"gw-a", "gw-a"}, {"gw-a", ""}}, {true, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto verdicts = addressVerdicts(c.needs, subnets);
    ASSERT_EQ(verdicts.size(), c.fits.size());
    for (std::size_t i = 0; i < verdicts.size(); ++i) {
      EXPECT_EQ(verdicts[i].empty(), c.fits[i]) << i << ": " << verdicts[i];
    }
  }
  const auto named = addressVerdicts({{"gw-a", "priv-a"}, {"gw-b", "priv-a"}}, subnets);
  EXPECT_EQ(named[1],
            "subnet priv-a has 1 free address, 1 of them for the entries before; this entry "
            "needs 1 there");
}

}  // namespace
}  // namespace probefleet
