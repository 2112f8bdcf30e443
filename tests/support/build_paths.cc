#include "support/build_paths.h"

namespace testing_support {

const char* sourceDir() {
  return PROBEFLEET_SOURCE_DIR;
}
const char* binaryDir() {
  return PROBEFLEET_BINARY_DIR;
}
const char* pythonPath() {
  return PROBEFLEET_PYTHON;
}

}  // namespace testing_support
