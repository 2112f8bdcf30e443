// SSM's answers (JSON 1.1) through SsmClient, with the fuzz input as the
// answer body. An unusable answer must end in ServiceError or the documented
// std::runtime_error.

#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "aws/client/error.h"
#include "aws/services/ssm.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const auto transport = std::make_shared<fakes::FakeTransport>();
  static const aws::SsmClient client(fuzz::clientConfig("ssm", transport));
  const fuzz::Answer answer = fuzz::answerFrom(data, size);
  fuzz::answerWith(*transport, answer.response);
  try {
    if (answer.operation % 2 == 0) {
      client.getParameter({"/probefleet/p", true});
    } else {
      client.getParametersByPath({"/probefleet", true, true, ""});
    }
  } catch (const aws::ServiceError&) {
  } catch (const std::runtime_error&) {
    // Not a JSON object, or no Parameter in it.
  }
  return 0;
}
