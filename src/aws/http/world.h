#pragma once
// The outside world every AWS client talks through: where settings and files
// are read, how requests travel, and what time it is. Tests swap any of the
// three; credential sources, clients and sessions all take it from here.

#include <memory>

#include "aws/base/clock.h"
#include "aws/base/environment.h"
#include "aws/http/http.h"

namespace aws {

struct World {
  std::shared_ptr<Environment> env;
  std::shared_ptr<HttpTransport> transport;
  std::shared_ptr<Clock> clock;

  /// The process environment, the process's one shared curl transport, the
  /// system clock.
  static World process();
};

}  // namespace aws
