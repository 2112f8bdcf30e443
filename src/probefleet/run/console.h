#pragma once
// The console of a run: progress per phase while it works, and a summary
// (or, for a dry run, a plan) when it ends. On a terminal the progress is
// one line of counts updated in place; otherwise it comes as plain lines.
// Log records still reach the console when they report an error; every
// record goes to the log file as before. With --log_console the console
// shows every record instead, as the log file has them, and no progress.

#include <cstdio>
#include <memory>
#include <string>

#include "aws/client/retry.h"
#include "probefleet/core/story.h"

namespace probefleet {

/// The progress line of the story's current phase, such as
/// "launching: launched 37/100, running 20, ready 12, failed 1".
std::string progressText(const StorySnapshot& story);

/// The summary a run ends with: for a deployment a table of every entry's
/// gw_subnet_id, instance id, ec2_ip, ec2_2nd_private_ip, outcome and time,
/// then the shared resources; for a revert what was deleted and what was
/// left; for a dry run the plan of what would be created, reused and
/// deleted (and what the run changed all the same).
std::string summaryText(const StorySnapshot& story, int exit_status);

/// A request's retry as the run tells it: every attempt in the log file
/// ("  retry DescribeImages at HOST: REASON (attempt 2 of 10)"), and, once
/// a request has waited aws::kRetryAnnounceAfter, one warning the console
/// shows ("  **Alert** retrying DescribeImages at HOST: REASON (attempt 4 of
/// 10)"), so that a slow AWS, a dead network and a wrong proxy can be told
/// apart while the run waits. Never throws.
void tellRetry(const aws::RetryNotice& notice) noexcept;

class RunConsole {
 public:
  /// Takes over the console (`out`, which is the terminal when `terminal`)
  /// for the run's story. With `log_console` it shows every record, as
  /// today, and no progress or summary.
  RunConsole(std::FILE* out, bool terminal, bool log_console);
  /// Gives the console back to the log records.
  ~RunConsole();
  RunConsole(const RunConsole&) = delete;
  RunConsole& operator=(const RunConsole&) = delete;

  /// Ends the progress and prints the summary.
  void finish(int exit_status);

  struct Screen;

 private:
  std::shared_ptr<Screen> screen_;
};

}  // namespace probefleet
