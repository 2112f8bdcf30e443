#pragma once
// The one client configuration the tests build by hand, and the environment
// they read settings from.

#include <map>
#include <memory>
#include <string>

#include "aws/base/clock.h"
#include "aws/base/environment.h"
#include "aws/client/client.h"
#include "aws/http/http.h"
#include "fakes/fake_transport.h"

namespace fakes {

/// The static credentials test clients sign with.
inline constexpr const char* kAccessKeyId = "AKIDEXAMPLE";
inline constexpr const char* kSecretAccessKey = "wJalrXUtnFEMI/K7MDENG/bPxRfiCYEXAMPLEKEY";

/// A ClientConfig for `service` ("ec2", "iam", "s3", ...) in us-east-1,
/// signed for that service and its region with the static test credentials,
/// sending through `transport` to http://127.0.0.1:9 (overridden), with
/// `max_attempts` attempts per call, pausing through `clock` (a manual
/// FakeClock when null).
aws::ClientConfig clientConfig(const std::string& service,
                               std::shared_ptr<aws::HttpTransport> transport,
                               std::shared_ptr<aws::Clock> clock = nullptr, int max_attempts = 1);

/// A bare success any EC2 action's parser accepts.
inline constexpr const char* kEc2Ok = "<Response><requestId>r</requestId></Response>";

/// A FakeTransport that answers what nothing was scripted for with kEc2Ok.
std::shared_ptr<FakeTransport> ec2Transport();

/// An environment with `vars` and nothing else that the SDK would find on
/// this machine: no shared config or credentials file, no instance metadata
/// (each unless `vars` names it).
std::shared_ptr<aws::MapEnvironment> isolatedEnvironment(
    std::map<std::string, std::string> vars = {});

}  // namespace fakes
