#include "probefleet/resources/ssm_key.h"

#include <stdexcept>

#include "aws/base/secret.h"
#include "probefleet/resources/private_file.h"
#include "testlib/common.h"

namespace probefleet {

void getPemKeyFromSSM(const aws::SsmClient& ssm, const std::string& parameter_name,
                      const Args& args) {
  if (!given(args.key_name)) throw std::invalid_argument("no key name to write the key file to");
  testlib::logger()->info("- Download pem key " + parameter_name + " from SSM");

  aws::GetParameterRequest request;
  request.name = parameter_name;
  request.with_decryption = true;
  aws::SsmParameter parameter = ssm.getParameter(request);
  const aws::SecretWiper wiped(parameter.value);
  writeOwnerOnlyFile(*args.key_name, parameter.value);
}

}  // namespace probefleet
