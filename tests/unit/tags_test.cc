#include "probefleet/tags.h"

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
