// IAM's and STS's answers (aws query protocol, XML) through IamClient and
// StsClient, with the fuzz input as the answer body. An unusable answer must
// end in ServiceError or the documented std::runtime_error.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>

#include "aws/client/error.h"
#include "aws/services/iam.h"
#include "aws/services/sts.h"
#include "fuzz_support.h"

namespace {

struct Clients {
  aws::IamClient iam;
  aws::StsClient sts;
};

using Action = std::function<void(const Clients&)>;

const std::vector<Action>& actions() {
  static const std::vector<Action> table = {
      [](const Clients& c) { c.iam.createPolicy({}); },
      [](const Clients& c) { c.iam.listPolicies({}); },
      [](const Clients& c) { c.iam.deletePolicy("arn"); },
      [](const Clients& c) { c.iam.createRole({}); },
      [](const Clients& c) { c.iam.getRole("r"); },
      [](const Clients& c) { c.iam.deleteRole("r"); },
      [](const Clients& c) { c.iam.attachRolePolicy("r", "arn"); },
      [](const Clients& c) { c.iam.detachRolePolicy("r", "arn"); },
      [](const Clients& c) { c.iam.createInstanceProfile({}); },
      [](const Clients& c) { c.iam.getInstanceProfile("p"); },
      [](const Clients& c) { c.iam.deleteInstanceProfile("p"); },
      [](const Clients& c) { c.iam.addRoleToInstanceProfile("p", "r"); },
      [](const Clients& c) { c.iam.removeRoleFromInstanceProfile("p", "r"); },
      [](const Clients& c) { c.iam.listInstanceProfilesForRole("r"); },
      [](const Clients& c) {
        c.sts.assumeRole({"arn:aws:iam::1:role/r", "s", 900, ""});
      },
      [](const Clients& c) {
        c.sts.assumeRoleWithWebIdentity({"arn:aws:iam::1:role/r", "s", "t"});
      },
      [](const Clients& c) { c.sts.getCallerIdentity(); },
  };
  return table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const auto transport = std::make_shared<fakes::FakeTransport>();
  static const Clients clients{aws::IamClient(fuzz::clientConfig("iam", transport)),
                               aws::StsClient(fuzz::clientConfig("sts", transport))};
  const fuzz::Answer answer = fuzz::answerFrom(data, size);
  fuzz::answerWith(*transport, answer.response);
  try {
    actions()[answer.operation % actions().size()](clients);
  } catch (const aws::ServiceError&) {
  } catch (const std::runtime_error&) {
    // Not XML, another action's answer, no credentials, a bad timestamp.
  }
  return 0;
}
