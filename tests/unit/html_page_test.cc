#include "report/html_page.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "probefleet/core/story.h"

namespace {

using Json = nlohmann::ordered_json;

std::size_t count(const std::string& text, const std::string& part) {
  std::size_t found = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
  return found;
}

Json entry(const std::string& id, const std::string& outcome, const std::string& error = "") {
  Json line = {{"gw_subnet_id", id}, {"instance_id", "i-0123"}, {"outcome", outcome},
               {"seconds", 3.5},     {"start", 1.0},            {"zone", "us-east-1a"},
               {"instance_type", "t3.micro"}};
  line["steps"] = Json::array({{{"step", "launch requested"}, {"start", 1.0}, {"end", 2.0}},
                               {{"step", outcome == "failed" ? "failed" : "recorded"},
                                {"start", 2.0},
                                {"end", 4.5}}});
  if (!error.empty()) line["error"] = error;
  return line;
}

Json run(std::vector<Json> entries) {
  return {{"program", "probefleet"}, {"mode", "deploy"},     {"dry_run", false},
          {"exit_status", 1},        {"seconds", 5.0},       {"account", "123456789012"},
          {"region", "us-east-1"},   {"vpc_id", "vpc-1"},    {"entries", entries},
          {"activity", {{"requests", {3, 9}}, {"throttled", {0, 2}}, {"retries", {0, 2}}}}};
}

TEST(HtmlPageTest, EscapesEveryStringFromTheReport) {
  const std::string hostile = "<script>alert(1)</script>\"'&\x01";
  Json report = run({entry(hostile, "failed", hostile)});
  report["vpc_id"] = hostile;
  report["resources"] = Json::array({{{"action", "left"}, {"kind", hostile}, {"id", hostile},
                                      {"detail", hostile}}});
  report["preflight"] = Json::array(
      {{{"ok", false}, {"level", "problem"}, {"subject", hostile}, {"finding", hostile}}});
  report["aws"] = Json::array({{{"service", "ec2"}, {"action", hostile}, {"requests", 1}}});
  const std::string page = report::htmlPage(report);
  EXPECT_EQ(page.find("<script"), std::string::npos);
  EXPECT_EQ(page.find('\x01'), std::string::npos);
  EXPECT_GE(count(page, "&lt;script&gt;alert(1)&lt;/script&gt;&quot;&#39;&amp; "), 8u);
  EXPECT_EQ(report::escapeHtml("a<b>&\"c'\n"), "a&lt;b&gt;&amp;&quot;c&#39;\n");
}

TEST(HtmlPageTest, PageIsSelfContainedAndMarksFailuresBeyondColour) {
  const std::string page = report::htmlPage(
      run({entry("subnet-ok", "created"), entry("subnet-bad", "failed", "Unsupported: no t3")}));
  const std::vector<std::string> forbidden = {"<script", "<link", "<img", "<iframe", "@import",
                                              "http://", "https://", "src="};
  for (const std::string& word : forbidden) {
    EXPECT_EQ(page.find(word), std::string::npos) << word;
  }
  EXPECT_NE(page.find("content=\"default-src 'none'; style-src 'unsafe-inline'"),
            std::string::npos);
  EXPECT_EQ(count(page, "<g class=\"row\">"), 1u);
  // The failure: a row of its own class, hatched, crossed, and AWS's reason
  // in its hover text and in the table of failures.
  EXPECT_NE(page.find("<g class=\"row failed\"><title>subnet-bad: failed"), std::string::npos);
  EXPECT_NE(page.find("url(#hatch)"), std::string::npos);
  EXPECT_EQ(count(page, "<path class=\"x\""), 1u);
  EXPECT_EQ(count(page, "Unsupported: no t3"), 2u);
  EXPECT_NE(page.find("role=\"img\" aria-labelledby=\"tl-t tl-d\""), std::string::npos);
  EXPECT_THROW(report::htmlPage(Json::object()), std::invalid_argument);
}

TEST(HtmlPageTest, ThousandEntriesStayUnderTwoMegabytesWithTheirTableFolded) {
  std::vector<Json> entries;
  for (int i = 0; i < 1000; ++i) {
    entries.push_back(entry("subnet-" + std::to_string(i), i % 97 == 0 ? "failed" : "created",
                            i % 97 == 0 ? "InsufficientInstanceCapacity: none left" : ""));
  }
  const std::string page = report::htmlPage(run(entries));
  EXPECT_LT(page.size(), 2u * 1024 * 1024);
  EXPECT_EQ(count(page, "<g class=\"row"), 1000u);
  EXPECT_NE(page.find("<details><summary>1000 entries"), std::string::npos);
  // Rows too thin to carry a name carry none: the activity bands' three
  // labels are all the text at the left edge.
  EXPECT_EQ(count(page, "<text x=\"2\""), 3u);
}

// The report's tallies of AWS attempts, as the client tells them.
TEST(RunStoryTest, AttemptsAreTalliedByActionAndSecond) {
  auto& story = probefleet::RunStory::get();
  story.begin(false, false);
  using ms = std::chrono::milliseconds;
  const std::vector<aws::AttemptNotice> attempts = {
      {"ec2", "RunInstances", 1, 503, true, ms(400)},  // throttled, retried
      {"ec2", "RunInstances", 2, 200, false, ms(0)},
      {"ec2", "RunInstances", 1, 500, false, ms(0)},  // a 5xx given up on
      {"ec2", "RunInstances", 1, 400, false, ms(0)},  // a refusal
      {"ec2", "RunInstances", 1, 0, false, ms(250)},  // no answer, retried
      {"s3", "PUT /bucket/locks/vpc-1.json", 1, 200, false, ms(0)},
      {"s3", "PUT /bucket/keys/other.pem", 1, 200, false, ms(0)},
  };
  for (const auto& attempt : attempts) probefleet::tellAttempt(attempt);
  const Json report = probefleet::storyReport(story.snapshot(), 0);
  ASSERT_EQ(report["aws"].size(), 2u);
  EXPECT_EQ(report["aws"][0].dump(),
            R"({"service":"ec2","action":"RunInstances","requests":4,"retries":1,)"
            R"("throttled":1,"server_errors":1,"other_errors":2,"wait_seconds":0.65})");
  EXPECT_EQ(report["aws"][1]["action"], "PUT");
  EXPECT_EQ(report["aws"][1]["requests"], 2);
  EXPECT_EQ(report["activity"]["requests"], Json::array({7}));
  EXPECT_EQ(report["activity"]["throttled"], Json::array({1}));
  EXPECT_EQ(report["activity"]["retries"], Json::array({1}));
  EXPECT_EQ(report["report_version"], probefleet::kReportVersion);
}

// Each step begins where the entry's previous one ended; a failed entry's
// last step is its failure, up to its end.
TEST(RunStoryTest, StepsFollowOneAnotherAndAFailureClosesTheRow) {
  auto& story = probefleet::RunStory::get();
  story.begin(false, false);
  story.entries({"subnet-a", "subnet-b"}, {false, false});
  story.entryStep("subnet-a", "launch requested");
  story.entryStep("subnet-b", "launch requested");
  story.entryStep("subnet-a", "running");
  story.entryError("subnet-b", "Unsupported: no t3.micro here");
  story.entryError("subnet-b", "a later, lesser failure");
  story.entryEnded("subnet-a", true, probefleet::TestConfig::object());
  story.entryEnded("subnet-b", false, probefleet::TestConfig::object());
  const Json report = probefleet::storyReport(story.snapshot(), 1);
  const std::vector<std::pair<std::string, std::vector<std::string>>> expected = {
      {"subnet-a", {"launch requested", "running", "recorded"}},
      {"subnet-b", {"launch requested", "failed"}}};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const Json& line = report["entries"][i];
    SCOPED_TRACE(expected[i].first);
    ASSERT_EQ(line["steps"].size(), expected[i].second.size());
    double end = line["start"];
    for (std::size_t s = 0; s < line["steps"].size(); ++s) {
      EXPECT_EQ(line["steps"][s]["step"], expected[i].second[s]);
      EXPECT_EQ(line["steps"][s]["start"], end);
      end = line["steps"][s]["end"];
      EXPECT_GE(end, line["steps"][s]["start"].get<double>());
    }
  }
  EXPECT_EQ(report["entries"][1]["error"], "Unsupported: no t3.micro here");
  EXPECT_FALSE(report["entries"][0].contains("error"));
}

// The status checks run beside the interface's steps: they start where
// "running" ended, and the page draws them first so the shorter steps show.
TEST(RunStoryTest, AStepBesideOthersStartsWhereItsPredecessorEndedAndIsDrawnUnderThem) {
  auto& story = probefleet::RunStory::get();
  story.begin(false, false);
  story.entries({"subnet-a"}, {false});
  story.entryStep("subnet-a", "running");
  story.entryStep("subnet-a", "second interface attached");
  story.entryStep("subnet-a", "status checks passed", "running");
  const Json steps = probefleet::storyReport(story.snapshot(), 0)["entries"][0]["steps"];
  ASSERT_EQ(steps.size(), 3u);
  EXPECT_EQ(steps[2]["start"], steps[0]["end"]);

  Json line = entry("subnet-a", "created");
  line["steps"] = Json::array({{{"step", "second interface attached"}, {"start", 2}, {"end", 3}},
                               {{"step", "status checks passed"}, {"start", 2}, {"end", 9}}});
  const std::string page = report::htmlPage(run({line}));
  EXPECT_LT(page.find("<title>status checks passed:"), page.find("<title>second interface"));
}

}  // namespace
