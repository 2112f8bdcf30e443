#include "aws/base/secret.h"

#include <string.h>

namespace aws {

void wipeSecret(std::string& text) {
  ::explicit_bzero(text.data(), text.size());
}

}  // namespace aws
