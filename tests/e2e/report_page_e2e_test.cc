// The run report's page in a real browser: a 20-entry deployment on the
// sandbox, one of whose instances dies while it starts, drawn by
// --report_html and opened by headless chromium, which must lay out every
// row, show the failure with AWS's reason, log no console error and fetch
// nothing. The screenshot is left beside the build's test output.

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/build_paths.h"
#include "support/e2e.h"
#include "support/files.h"
#include "support/sandbox.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr int kEntries = 20;

std::string chromiumPath() {
  const char* path = std::getenv("PATH");
  for (const char* name : {"chromium", "chromium-browser"}) {
    std::string dirs = path ? path : "";
    for (std::size_t at = 0; at <= dirs.size();) {
      const std::size_t end = std::min(dirs.find(':', at), dirs.size());
      const fs::path candidate = fs::path(dirs.substr(at, end - at)) / name;
      if (end > at && ::access(candidate.c_str(), X_OK) == 0) return candidate.string();
      at = end + 1;
    }
  }
  return "";
}

std::size_t count(const std::string& text, const std::string& part) {
  std::size_t found = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
  return found;
}

// The URLs the page asked for, from the browser's network log: requests
// with a document as their initiator. The browser's own (updates, time,
// spelling dictionaries) are "not an origin", and fail on the resolver rule.
std::vector<std::string> pageRequests(const json& netlog) {
  std::vector<std::string> urls;
  for (const json& event : netlog.value("events", json::array())) {
    const json params = event.value("params", json::object());
    const std::string initiator = params.value("initiator", "not an origin");
    if (params.contains("url") && initiator != "not an origin") urls.push_back(params["url"]);
  }
  return urls;
}

class ReportPageE2eTest : public testing_support::E2eTest {};

TEST_F(ReportPageE2eTest, TwentyEntriesWithOneFailureRenderOfflineInChromium) {
  const std::string chromium = chromiumPath();
  if (chromium.empty()) {
    GTEST_SKIP() << "no chromium on PATH: scripts/setup.sh installs Debian's package";
  }
  useFleetWorld();
  // Seventeen more entries beside the world's three, across its zones.
  const json made = sandbox_.boto3(
      "ec2 = boto3.client('ec2')\n"
      "vpc = '" +
      world_["vpc_id"].get<std::string>() +
      "'\n"
      "def subnet(cidr, zone):\n"
      "    return ec2.create_subnet(VpcId=vpc, CidrBlock=cidr, "
      "AvailabilityZone=zone)['Subnet']['SubnetId']\n"
      "zones = ['us-east-1a', 'us-east-1b', 'us-east-1c']\n"
      "print(json.dumps([[subnet(f'10.20.{10 + i}.0/24', zones[i % 3]),\n"
      "                   subnet(f'10.20.{110 + i}.0/24', zones[i % 3])] for i in range(17)]))\n");
  json config = world_["test_config"];
  for (std::size_t i = 0; i < made.size(); ++i) {
    json entry = config[i % 3];
    entry["gw_subnet_id"] = made[i][0];
    entry["private_subnet_id"] = made[i][1];
    entry["private_subnet_cidr"] = "10.20." + std::to_string(110 + i) + ".0/24";
    entry["gw_name"] = "spoke-gw-" + std::to_string(i);
    config.push_back(entry);
  }
  ASSERT_EQ(config.size(), static_cast<std::size_t>(kEntries));
  std::ofstream(dir_ / "tc.json") << config.dump(2) << "\n";
  const std::string dying = made[5][0];
  sandbox_.control("POST", "guard", {{"dying_launches", {{{"subnet", dying}, {"after_s", 1}}}}});

  const testing_support::RunResult run =
      runFleet({"--report", "run.json", "--report_html", "run.html"});
  sandbox_.control("DELETE", "guard");
  EXPECT_EQ(run.status, 1) << run.err;
  const json report = json::parse(testing_support::readFile(dir_ / "run.json"));
  ASSERT_EQ(report["entries"].size(), static_cast<std::size_t>(kEntries));
  std::string reason;
  for (const json& entry : report["entries"]) {
    if (entry["gw_subnet_id"] == dying) reason = entry.value("error", "");
  }
  ASSERT_NE(reason.find("InvalidKMSKey"), std::string::npos) << report.dump(1);

  const fs::path page = fs::absolute(dir_ / "run.html");
  const std::string url = "file://" + page.string();
  const std::vector<std::string> browser = {
      chromium, "--headless", "--disable-gpu", "--no-sandbox", "--no-first-run",
      "--disable-background-networking", "--disable-component-update",
      "--user-data-dir=" + (dir_ / "profile").string(), "--host-resolver-rules=MAP * ~NOTFOUND",
      "--enable-logging=stderr", "--v=0"};
  std::vector<std::string> dump = browser;
  dump.insert(dump.end(), {"--log-net-log=" + (dir_ / "net.json").string(), "--dump-dom", url});
  std::string dom, console;
  ASSERT_EQ(testing_support::runProcess(dump, {}, &dom, &console), 0) << console;

  EXPECT_EQ(count(dom, "<g class=\"row"), static_cast<std::size_t>(kEntries)) << dom;
  const auto failed = dom.find("<g class=\"row failed\"><title>" + dying + ": failed");
  ASSERT_NE(failed, std::string::npos) << dom;
  EXPECT_NE(dom.substr(failed, dom.find("</title>", failed) - failed).find("InvalidKMSKey"),
            std::string::npos);
  EXPECT_EQ(count(dom, "<g class=\"row failed\">"), 1u);
  EXPECT_NE(dom.find("<h2 id=\"failures\">Failed entries (1)</h2>"), std::string::npos);
  // A script error, a blocked load or a CSP violation is logged as a console message.
  EXPECT_EQ(console.find("CONSOLE"), std::string::npos) << console;
  EXPECT_EQ(console.find("Refused to"), std::string::npos) << console;
  const json netlog = json::parse(testing_support::readFile(dir_ / "net.json"));
  EXPECT_EQ(pageRequests(netlog), std::vector<std::string>{});

  const fs::path artifacts = fs::path(testing_support::binaryDir()) / "Testing" / "artifacts";
  fs::create_directories(artifacts);
  const fs::path screenshot = artifacts / "report_page.png";
  fs::remove(screenshot);
  std::vector<std::string> shoot = browser;
  shoot.insert(shoot.end(),
               {"--window-size=1280,1400", "--screenshot=" + screenshot.string(), url});
  ASSERT_EQ(testing_support::runProcess(shoot, {}, nullptr, &console), 0) << console;
  EXPECT_GT(fs::file_size(screenshot), 10000u);
  std::cout << "screenshot: " << screenshot.string() << "\n";
}

}  // namespace
