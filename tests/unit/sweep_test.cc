#include "probefleet/sweep/sweep.h"

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "aws/base/clock.h"
#include "probefleet/core/lifetime.h"

namespace probefleet {
namespace {

using std::chrono::hours;
using Clock = std::chrono::system_clock;

TEST(LifetimeTest, Durations) {
  const struct {
    const char* text;
    long long seconds;  // -1: refused
  } cases[] = {{"90s", 90},     {"30m", 1800},
               {"4h", 14400},   {"2d", 172800},
               {"1h30m", 5400}, {"", -1},
               {"4", -1},       {"h", -1},
               {"0h", -1},      {"4w", -1},
               {"-4h", -1},     {"4 h", -1},
               {"400d", -1},    {"99999999999999999999s", -1}};
  for (const auto& c : cases) {
    const auto parsed = parseDuration(c.text);
    EXPECT_EQ(parsed ? parsed->count() : -1, c.seconds) << c.text;
  }
}

TEST(LifetimeTest, TimerGoesRightAfterTheShebangOrStandsAlone) {
  const auto at = Clock::from_time_t(1765300000);  // 2025-12-09T17:06:40Z
  const std::string alone = withShutdownTimer(std::nullopt, at);
  EXPECT_TRUE(alone.starts_with("#!/bin/bash\n# probefleet:expires 2025-12-09T17:06:40Z")) << alone;
  EXPECT_NE(alone.find("probefleet_expires=1765300000\n"), std::string::npos);
  const std::string combined = withShutdownTimer("#!/bin/bash -x\necho tests\n", at);
  EXPECT_TRUE(combined.starts_with("#!/bin/bash -x\n# probefleet:expires")) << combined;
  EXPECT_TRUE(combined.ends_with(std::string(kPerBootTimerName) + "\necho tests\n")) << combined;
  EXPECT_THROW(withShutdownTimer("echo no shebang\n", at), std::invalid_argument);
  EXPECT_EQ(parseIsoUtc(aws::formatIsoTime(at)), at);
}

Leftover item(std::string kind, std::string id, std::string vpc) {
  Leftover leftover;
  leftover.kind = std::move(kind);
  leftover.id = std::move(id);
  leftover.vpc_id = std::move(vpc);
  return leftover;
}

Leftover address(std::string id, std::string vpc, std::string state) {
  Leftover leftover = item("elastic-ip", std::move(id), std::move(vpc));
  leftover.state = std::move(state);
  return leftover;
}

TEST(SweepTest, FiltersSelect) {
  const auto now = Clock::from_time_t(1765300000);
  Leftover old_instance = item("instance", "i-old", "vpc-a");
  old_instance.created = now - hours(10);
  old_instance.expires = now - hours(1);
  old_instance.tags = {{"Name", "corvanta-test-ec2"}, {"Owner", "qa"}};
  Leftover young_instance = item("instance", "i-young", "vpc-b");
  young_instance.created = now - hours(1);
  young_instance.expires = now + hours(1);
  Leftover secondary = item("network-interface", "eni-young", "vpc-b");
  secondary.instance_id = "i-young";
  const std::vector<Leftover> all = {old_instance,
                                     young_instance,
                                     secondary,
                                     item("security-group", "sg-a", "vpc-a"),
                                     item("security-group", "sg-b", "vpc-b"),
                                     item("iam-role", "corvanta-test-ec2-role", ""),
                                     address("eip-free", "", "unassociated"),
                                     address("eip-b", "vpc-b", "unassociated")};
  const struct {
    const char* name;
    SweepFilter filter;
    std::vector<std::string> ids;
  } cases[] = {
      {"all",
       {},
       {"i-old", "i-young", "eni-young", "sg-a", "sg-b", "corvanta-test-ec2-role", "eip-free",
        "eip-b"}},
      // What serves the region comes with every VPC; an address naming its VPC only with it.
      {"vpc", {"vpc-a", {}, {}, false}, {"i-old", "sg-a", "corvanta-test-ec2-role", "eip-free"}},
      {"tag", {{}, {{"Owner", "qa"}}, {}, false}, {"i-old"}},
      {"tag value must match", {{}, {{"Owner", "ci"}}, {}, false}, {}},
      // A group has no age: it is old when no younger instance stands in its VPC.
      {"older than", {{}, {}, hours(6), false}, {"i-old", "sg-a"}},
      {"expired", {{}, {}, {}, true}, {"i-old", "eip-free", "eip-b"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> ids;
    for (const Leftover& chosen : selectLeftovers(all, c.filter, now)) ids.push_back(chosen.id);
    EXPECT_EQ(ids, c.ids) << c.name;
  }
}

TEST(SweepTest, WhatStaysAndWhy) {
  Leftover kept = item("security-group", "sg-k", "vpc-a");
  kept.tags = {{"probefleet:keep", ""}};
  Leftover held = address("eip-held", "vpc-a", "associated");
  held.instance_id = "i-1";
  Leftover attached = item("network-interface", "eni-1", "vpc-a");
  attached.instance_id = "i-1";
  attached.attachment_id = "attach-1";
  attached.device_index = 1;
  KeepFacts bare;
  bare.locks_seen = true;
  KeepFacts fleet = bare;  // an instance of ours stands in vpc-a
  fleet.vpcs_with_instances = {"vpc-a"};
  KeepFacts ended = bare;  // i-1 was just terminated
  ended.terminated = {"i-1"};
  KeepFacts no_bucket;
  KeepFacts locked = bare;
  locked.lock_live = true;
  KeepFacts partly = bare;
  partly.trio_whole = false;
  const Leftover role = item("iam-role", "role", "");
  const Leftover free = address("eip-free", "", "unassociated");
  const Leftover tagged = address("eip-a", "vpc-a", "unassociated");
  const struct {
    Leftover item;
    KeepFacts facts;
    std::string why;
  } cases[] = {
      {kept, bare, "kept (probefleet:keep)"},
      {item("security-group", "sg-a", "vpc-a"), fleet, "kept (in use)"},
      {item("key-pair", "kp-a", "vpc-a"), bare, ""},
      {held, bare, "kept (in use)"},
      {held, ended, ""},
      {attached, bare, "kept (in use)"},
      {attached, ended, ""},
      {tagged, no_bucket, "kept (no --s3_bucket)"},
      {tagged, locked, ""},  // its own VPC's lock covers it
      {free, no_bucket, "kept (no --s3_bucket)"},
      {free, locked, "kept (in use)"},
      {free, fleet, ""},
      {role, no_bucket, "kept (no --s3_bucket)"},
      {role, locked, "kept (in use)"},
      {role, fleet, "kept (in use)"},
      {role, partly, "kept (partly selected)"},
      {role, bare, ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(whyKept(c.item, c.facts), c.why) << c.item.id;
  }
}

}  // namespace
}  // namespace probefleet
