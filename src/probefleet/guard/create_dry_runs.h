#pragma once
// Asking the account's policies before the first change: each kind of create
// a deployment will make is sent once with DryRun=true, with exactly the
// parameters and tags of the real request. EC2 checks a dry run against the
// caller's policies (service control policies included) and changes nothing:
// DryRunOperation means allowed, UnauthorizedOperation denied.

#include <functional>
#include <string>
#include <vector>

#include "probefleet/guard/account_checks.h"

namespace probefleet {

/// One create to try: the action, what it would make, and how to send it
/// (the request with its dry_run set).
struct DryRunCreate {
  std::string action;    // "RunInstances", "CreateSecurityGroup", ...
  std::string resource;  // "t3.micro in subnet-...", "security group corvanta-test-ec2-sg", ...
  std::function<void()> send;
};

/// Sends every create at once and waits for all. DryRunOperation is an ok
/// finding; UnauthorizedOperation a problem naming the action, the resource
/// and AWS's message (with the hint to decode it); any other answer or no
/// answer a warning. Throws only aws::Interrupted.
Findings dryRunCreates(const std::vector<DryRunCreate>& creates);

}  // namespace probefleet
