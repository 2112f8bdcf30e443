// EC2's answers (ec2 query protocol, XML) through Ec2Client: every action
// the program sends, with the fuzz input as the answer body. An answer that
// cannot be used must end in ServiceError or the documented
// std::runtime_error, never in a crash or undefined behaviour.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <stdexcept>

#include "aws/client/error.h"
#include "aws/services/ec2.h"
#include "fuzz_support.h"

namespace {

using Action = std::function<void(const aws::Ec2Client&)>;

const std::vector<Action>& actions() {
  static const std::vector<Action> table = {
      [](const aws::Ec2Client& c) { c.describeImages({}); },
      [](const aws::Ec2Client& c) { c.describeInstanceTypes({}); },
      [](const aws::Ec2Client& c) { c.describeSubnets({}); },
      [](const aws::Ec2Client& c) { c.createVpc({}); },
      [](const aws::Ec2Client& c) { c.createSubnet({}); },
      [](const aws::Ec2Client& c) { c.describeSecurityGroups({}); },
      [](const aws::Ec2Client& c) { c.createSecurityGroup({}); },
      [](const aws::Ec2Client& c) { c.authorizeSecurityGroupIngress({}); },
      [](const aws::Ec2Client& c) { c.deleteSecurityGroup("sg-1"); },
      [](const aws::Ec2Client& c) { c.describeKeyPairs({}); },
      [](const aws::Ec2Client& c) { c.createKeyPair({}); },
      [](const aws::Ec2Client& c) { c.deleteKeyPair({}); },
      [](const aws::Ec2Client& c) { c.describeInstances({}); },
      [](const aws::Ec2Client& c) { c.runInstances({}); },
      [](const aws::Ec2Client& c) { c.describeInstanceStatus({}); },
      [](const aws::Ec2Client& c) { c.terminateInstances({"i-1"}); },
      [](const aws::Ec2Client& c) { c.createNetworkInterface({}); },
      [](const aws::Ec2Client& c) { c.attachNetworkInterface({}); },
      [](const aws::Ec2Client& c) { c.detachNetworkInterface({}); },
      [](const aws::Ec2Client& c) { c.deleteNetworkInterface("eni-1"); },
      [](const aws::Ec2Client& c) { c.describeNetworkInterfaces({}); },
      [](const aws::Ec2Client& c) { c.allocateAddress({}); },
      [](const aws::Ec2Client& c) { c.associateAddress({}); },
      [](const aws::Ec2Client& c) { c.describeAddresses({}); },
      [](const aws::Ec2Client& c) { c.releaseAddress({}); },
      [](const aws::Ec2Client& c) { c.createTags({}); },
  };
  return table;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const auto transport = std::make_shared<fakes::FakeTransport>();
  static const aws::Ec2Client client(fuzz::clientConfig("ec2", transport));
  const fuzz::Answer answer = fuzz::answerFrom(data, size);
  fuzz::answerWith(*transport, answer.response);
  try {
    actions()[answer.operation % actions().size()](client);
  } catch (const aws::ServiceError&) {
  } catch (const std::runtime_error&) {
    // Not XML, or a field of the wrong form: the documented refusal.
  }
  return 0;
}
