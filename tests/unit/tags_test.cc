#include "probefleet/resources/tags.h"

#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace probefleet {
namespace {

using aws::ec2::Tag;

TEST(PopulateTags, AppendsPairsAfterTheResourcesOwnEntries) {
  const Tag name{"Name", "corvanta-test-ec2-sg"};
  struct Case {
    std::string rt_tags;
    std::vector<Tag> expected;  // after the Name entry
  };
  const std::vector<Case> cases = {
      {"Owner,qa", {{"Owner", "qa"}}},
      {"Owner,qa,Team,net", {{"Owner", "qa"}, {"Team", "net"}}},
      {" Owner , qa ", {{" Owner ", " qa "}}},                // spaces are kept
      {"Owner,,Team,net", {{"Owner", ""}, {"Team", "net"}}},  // an empty value
      {",x", {{"", "x"}}},                                    // an empty key
      {",", {{"", ""}}},
      {"Name,other", {{"Name", "other"}}},  // not merged with Name
      {"Owner,qa,Owner,qa", {{"Owner", "qa"}, {"Owner", "qa"}}},
      {"\"Owner\",'qa'", {{"\"Owner\"", "'qa'"}}},  // no unquoting
      {"Owner,qa,Team", {{"Owner", "qa"}}},         // a lone key adds nothing
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rt_tags);
    std::vector<Tag> data{name};
    populateTags(data, c.rt_tags);
    std::vector<Tag> expected{name};
    expected.insert(expected.end(), c.expected.begin(), c.expected.end());
    EXPECT_EQ(data, expected);
  }
}

TEST(TagPairsProblem, RefusesWhatEc2OrIamWouldRefuseNamingThePair) {
  std::string many;
  for (int i = 0; i < 50; ++i) many += (i ? "," : "") + std::string("k") + std::to_string(i) + ",v";
  const std::string k128(128, 'k'), v256(256, 'v');
  const std::string accented = "\xc3\xa9";  // one character, two bytes
  struct Case {
    std::string rt_tags;
    bool for_iam;
    std::string problem;  // a part of the reason; "" when accepted
  };
  const std::vector<Case> cases = {
      {"Owner,qa,Team,net", true, ""},
      {"Owner,", true, ""},
      {k128 + "," + v256, true, ""},
      {"k," +
           [&] {
             std::string v;
             for (int i = 0; i < 256; ++i) v += accented;
             return v;
           }(),
       false, ""},
      {"Owner,qa#1", false, ""},  // EC2 takes any character
      {"Owner,qa#1", true, "\"Owner,qa#1\": IAM"},
      {"Name,custom", false, "\"Name,custom\": every resource gets its Name"},
      {"name,lower", false, ""},  // keys are case-sensitive
      {"Owner,a,Owner,b", false, "\"Owner,b\": the key Owner is given twice"},
      {"aws:cost,x", false, "\"aws:cost,x\": keys beginning with \"aws:\""},
      {"AWS:Cost,x", false, "keys beginning with"},
      {",x", false, "\",x\": the key is empty"},
      {k128 + "k,v", false, "key is longer than 128"},
      {"k," + v256 + "v", false, "value is longer than 256"},
      {many.substr(0, many.rfind(",k49")), false, ""},  // 49 pairs and the Name
      {many, false, "50 tag pairs given"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rt_tags.substr(0, 60));
    const auto problem = tagPairsProblem(c.rt_tags, c.for_iam);
    if (c.problem.empty()) {
      EXPECT_EQ(problem, std::nullopt);
    } else {
      ASSERT_TRUE(problem.has_value());
      EXPECT_NE(problem->find(c.problem), std::string::npos) << *problem;
    }
  }
}

struct OptionsWithTag {
  std::optional<std::string> tag;
};
struct OptionsWithTextTag {
  std::string tag;
};

TEST(DeduceTag, GatewayNameDashRunTag) {
  const TestConfig spoke = {{"gw_name", "spoke1"}, {"gw_subnet_id", "s"}};
  const TestConfig numeric = {{"gw_name", 42}};
  const TestConfig fractional = {{"gw_name", 1.5}};

  EXPECT_EQ(deduceTag(OptionsWithTag{"run42"}, &spoke), "spoke1-run42");
  EXPECT_EQ(deduceTag(OptionsWithTag{std::nullopt}, &spoke), "spoke1-");
  EXPECT_EQ(deduceTag(OptionsWithTag{""}, &spoke), "spoke1-");
  EXPECT_EQ(deduceTag(OptionsWithTag{"run42"}), "-run42");
  EXPECT_EQ(deduceTag(OptionsWithTag{std::nullopt}), "-");
  EXPECT_EQ(deduceTag(OptionsWithTextTag{"r"}, &spoke), "spoke1-r");
  EXPECT_EQ(deduceTag(OptionsWithTag{"run42"}, &numeric), "42-run42");
  EXPECT_EQ(deduceTag(OptionsWithTag{"r"}, &fractional), "1.5-r");

  const TestConfig unnamed = {{"gw_subnet_id", "s"}};
  EXPECT_THROW(deduceTag(OptionsWithTag{"r"}, &unnamed), TestConfigError);
}

}  // namespace
}  // namespace probefleet
