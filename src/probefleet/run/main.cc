// probefleet: places test EC2 instances in the test subnets of a VPC, or
// removes them (--revert). See --help.

#include <unistd.h>

#include <chrono>
#include <csignal>
#include <exception>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "aws/base/clock.h"
#include "aws/base/interrupt.h"
#include "aws/client/adaptive_rate.h"
#include "probefleet/run/console.h"
#include "probefleet/run/driver.h"
#include "testlib/common.h"

namespace {

// SIGINT and SIGTERM are taken by a thread of their own (they are blocked
// in every other thread, which inherit the mask): the first one interrupts
// the run, which stops launching, ends its waits and winds down (as it does
// when it loses its VPC's lock); a second one ends the process at once, as
// the signal would have.
void watchSignals() {
  aws::watchTerminationSignals([](int signal) {
    if (aws::Interruption::signal() != 0) ::_exit(128 + signal);
    const std::string note = "probefleet: " + aws::signalName(signal) +
                             ": stopping; nothing new is made, what was done is written "
                             "down (send it again to stop at once)\n";
    (void)!::write(STDERR_FILENO, note.data(), note.size());
    testlib::logger()->error("  **Error** " + aws::signalName(signal) +
                             " received: stopping the run");
    aws::Interruption::request(signal);
  });
}

}  // namespace

int main(int argc, char** argv) {
  try {
    watchSignals();
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    aws::ClientWorld deps = aws::ClientWorld::process();
    deps.clock = aws::clockFromEnvironment(*deps.env);
    deps.retry_defaults = probefleet::kRetryDefaults;
    deps.on_retry = probefleet::tellRetry;
    deps.on_attempt = probefleet::tellAttempt;
    // The rate limiter's waits end too when the run is interrupted.
    deps.steady_time.sleep = [](double seconds) {
      aws::Interruption::pause(std::chrono::milliseconds(static_cast<long long>(seconds * 1000)));
    };
    // A time-scaled run (the sandbox's compressed worlds) paces its requests
    // on the same scale.
    if (const auto* scaled = dynamic_cast<const aws::ScaledClock*>(deps.clock.get())) {
      deps.steady_time = aws::SteadyTime::scaled(std::move(deps.steady_time), scaled->scale());
    }
    return probefleet::runProgram(arguments, std::cout, std::cerr, deps);
  } catch (const std::exception& failure) {
    std::cerr << "probefleet: " << failure.what() << "\n";
  } catch (...) {
    std::cerr << "probefleet: unknown failure\n";
  }
  return 1;
}
