#pragma once
// What the integration tests against the sandbox share: clients of the
// sandbox's world user, a capture of the program's (or the s3 library's)
// log, the sandbox's journal since the test began, and small builders of
// networks and instances of a test's own.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <spdlog/sinks/ostream_sink.h>
#include <nlohmann/json.hpp>

#include "aws/auth/credentials.h"
#include "aws/base/environment.h"
#include "aws/services/ec2.h"
#include "aws/services/iam.h"
#include "support/files.h"
#include "support/sandbox.h"
#include "testlib/common.h"

namespace ops_sandbox {

using nlohmann::json;
using testing_support::Sandbox;

/// Records what `logger` (the program's by default) writes while it lives,
/// as "level|message" lines.
class LogCapture {
 public:
  explicit LogCapture(std::shared_ptr<spdlog::logger> logger = testlib::logger())
      : logger_(std::move(logger)), sink_(std::make_shared<spdlog::sinks::ostream_sink_mt>(text_)) {
    sink_->set_pattern("%l|%v");
    logger_->sinks().push_back(sink_);
  }
  ~LogCapture() {
    auto& sinks = logger_->sinks();
    sinks.erase(std::remove(sinks.begin(), sinks.end(), sink_), sinks.end());
  }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const {
    std::vector<std::string> out;
    std::istringstream in(text_.str());
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }
  long count(const std::string& line) const {
    const auto all = lines();
    return std::count(all.begin(), all.end(), line);
  }
  bool has(const std::string& line) const { return count(line) > 0; }
  /// Whether some line starts with `prefix`.
  bool hasPrefix(const std::string& prefix) const {
    for (const auto& line : lines())
      if (line.rfind(prefix, 0) == 0) return true;
    return false;
  }
  std::string text() const { return text_.str(); }

 private:
  std::shared_ptr<spdlog::logger> logger_;
  std::ostringstream text_;
  std::shared_ptr<spdlog::sinks::ostream_sink_mt> sink_;
};

/// Sandbox::clientConfig of the shared sandbox.
inline aws::ClientConfig clientConfig(const std::string& service,
                                      std::shared_ptr<aws::Clock> clock = aws::systemClock()) {
  return Sandbox::shared().clientConfig(service, std::move(clock));
}

/// The highest sequence number in the sandbox's journal so far.
inline long lastJournalSeq() {
  long seq = 0;
  for (const auto& entry : Sandbox::shared().journal()) seq = std::max(seq, entry.value("seq", 0L));
  return seq;
}

/// The journal's requests after `start` to `service` of `action` (all
/// services or actions when empty), in order.
inline std::vector<json> journalSince(long start, const std::string& service = "",
                                      const std::string& action = "") {
  std::vector<json> out;
  for (const auto& entry : Sandbox::shared().journal(service, action)) {
    if (entry.value("seq", 0L) > start) out.push_back(entry);
  }
  return out;
}

using testing_support::readFile;

/// The fixture: faults cleared around each test, journal read from the
/// test's start.
class SandboxTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Sandbox::shared().clearFaults();
    world_ = Sandbox::shared().world();
    ec2_ = std::make_unique<aws::Ec2Client>(clientConfig("ec2"));
    iam_ = std::make_unique<aws::IamClient>(clientConfig("iam"));
    journal_start_ = lastSeq();
  }
  void TearDown() override { Sandbox::shared().clearFaults(); }

  static long lastSeq() { return lastJournalSeq(); }
  /// Reads the journal from now on only.
  void restartJournal() { journal_start_ = lastSeq(); }

  /// This test's requests of `action` (all actions when empty), in order.
  std::vector<json> journal(const std::string& action = "") const {
    return journalSince(journal_start_, "", action);
  }
  /// This test's requests of `action` that may have changed something (not DryRun).
  std::vector<json> changes(const std::string& action) const {
    std::vector<json> out;
    for (const auto& entry : journal(action)) {
      if (entry.value("params", json::object()).value("DryRun", "") != "true") out.push_back(entry);
    }
    return out;
  }
  /// The actions of this test's requests to `service`, in order.
  std::vector<std::string> actions(const std::string& service) const {
    std::vector<std::string> out;
    for (const auto& entry : journal()) {
      if (entry.value("service", "") == service) out.push_back(entry.value("action", ""));
    }
    return out;
  }

  /// Makes `action` of `service` fail `count` times with `code`.
  static void fail(const std::string& service, const std::string& action, const std::string& code,
                   int count = 1, int status = 400) {
    Sandbox::shared().setFaults({{"rules",
                                  {{{"service", service},
                                    {"action", action},
                                    {"status", status},
                                    {"code", code},
                                    {"message", "injected"},
                                    {"count", count}}}}});
  }
  /// Drops the connection of the next `count` calls of `action`.
  static void drop(const std::string& service, const std::string& action, int count = 1) {
    Sandbox::shared().setFaults(
        {{"rules",
          {{{"service", service}, {"action", action}, {"drop", true}, {"count", count}}}}});
  }

  /// A VPC of the test's own with a launch subnet 10.77.1.0/24 and a
  /// private subnet 10.77.2.0/24.
  struct Network {
    std::string vpc_id, gw_subnet_id, private_subnet_id;
  };
  Network freshNetwork() {
    Network n;
    n.vpc_id = ec2_->createVpc({"10.77.0.0/16", {}}).vpc_id;
    n.gw_subnet_id = ec2_->createSubnet({n.vpc_id, "10.77.1.0/24", "us-east-1a", {}}).subnet_id;
    n.private_subnet_id =
        ec2_->createSubnet({n.vpc_id, "10.77.2.0/24", "us-east-1a", {}}).subnet_id;
    return n;
  }

  std::string imageId() const { return world_.at("images").begin().key(); }

  /// Launches `count` instances (one reservation) into `subnet_id`, tagged
  /// Name = `name`, with a public address when `public_ip`; their ids.
  std::vector<std::string> launch(const std::string& subnet_id, int count = 1,
                                  bool public_ip = true,
                                  const std::string& name = "corvanta-test-ec2") {
    aws::ec2::RunInstancesRequest request;
    request.image_id = imageId();
    request.instance_type = "t3.micro";
    request.min_count = request.max_count = count;
    request.tag_specifications = {{"instance", {{"Name", name}}}};
    aws::ec2::InstanceNetworkInterfaceSpecification nic;
    nic.device_index = 0;
    nic.subnet_id = subnet_id;
    nic.associate_public_ip_address = public_ip;
    request.network_interfaces = {nic};
    std::vector<std::string> ids;
    for (const auto& instance : ec2_->runInstances(request).instances)
      ids.push_back(instance.instance_id);
    return ids;
  }

  /// A new interface in `subnet_id`, tagged Name = `name` unless empty.
  aws::ec2::NetworkInterface makeInterface(const std::string& subnet_id,
                                           const std::string& name = "") {
    aws::ec2::CreateNetworkInterfaceRequest request;
    request.subnet_id = subnet_id;
    if (!name.empty()) request.tag_specifications = {{"network-interface", {{"Name", name}}}};
    return ec2_->createNetworkInterface(request);
  }

  /// Attaches a new interface of `subnet_id` to `instance_id` at index 1;
  /// the attachment id.
  std::string attachSecondary(const std::string& instance_id, const std::string& subnet_id) {
    const auto nic = makeInterface(subnet_id, "corvanta-test-ec2-network-interface");
    return ec2_->attachNetworkInterface({1, instance_id, nic.network_interface_id});
  }

  aws::ec2::Instance describe(const std::string& instance_id) {
    aws::ec2::DescribeInstancesRequest request;
    request.instance_ids = {instance_id};
    return ec2_->describeInstances(request).reservations.at(0).instances.at(0);
  }

  nlohmann::ordered_json world_;
  std::unique_ptr<aws::Ec2Client> ec2_;
  std::unique_ptr<aws::IamClient> iam_;
  long journal_start_ = 0;
};

}  // namespace ops_sandbox
