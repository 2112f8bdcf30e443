#pragma once
// How an operation ends the run with a status (an early stop, a fatal lookup
// failure) without calling exit() itself: it reports the reason first (log
// line or standard error), then throws ExitRequest. main turns it into the
// process exit status and prints nothing more; tests catch it and look at
// status(). On a worker thread it ends that worker only, like any failure
// there.

#include <stdexcept>
#include <string>

namespace testlib {

class ExitRequest : public std::runtime_error {
 public:
  /// `reason`: what was already reported, for callers that catch it.
  ExitRequest(int status, const std::string& reason)
      : std::runtime_error(reason), status_(status) {}
  int status() const { return status_; }

 private:
  int status_;
};

}  // namespace testlib
