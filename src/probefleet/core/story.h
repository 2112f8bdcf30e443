#pragma once
// What a run did, as its operations tell it: the phases, each entry's way to
// its instance, and every shared resource made, reused, deleted or left.
// The console shows it as progress and a summary, and --report writes it as
// JSON. The log file is not involved: it keeps its records as they are.
//
// One story per process, told from any thread; reading it gives a copy.

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "aws/client/retry.h"
#include "probefleet/config/test_config.h"

namespace probefleet {

/// What happened to a resource. In a dry run the operations tell what they
/// would do, with the same acts; the story words them "would ...".
enum class Act { kCreate, kReuse, kDelete, kLeave };

/// Whether an act obeys the dry-run flag. Every operation does today; a step
/// that changed something in a dry run all the same would say so here, and
/// the story would not pretend otherwise.
enum class DryRun { kObeyed, kIgnored };

struct ResourceLine {
  Act act;
  bool planned;        // a dry run's "would", nothing was changed
  std::string kind;    // "security group", "key pair", "instance", ...
  std::string id;      // the AWS id, or the name when there is no id (yet)
  std::string detail;  // where it is, or why it was left
};

/// A step of an entry's way to its instance (or, in a revert, away from
/// it), in seconds since the run began: it ends when the entry reaches it,
/// and begins where the entry's previous step ended.
struct StepLine {
  std::string name;  // "launch requested", "running", ...
  double start = 0;
  double end = 0;
};

/// One test-configuration entry of a deployment.
struct EntryLine {
  std::string gw_subnet_id;
  std::string instance_id;
  std::string ec2_ip;
  std::string ec2_2nd_private_ip;
  enum class Stage {
    kWaiting,
    kLaunched,
    kRunning,
    kReady,
    kFailed,
    kSkipped
  } stage = Stage::kWaiting;
  std::string zone;           // the launch subnet's Availability Zone, when known
  std::string instance_type;  // the type launched (or to be launched)
  /// What the summary adds: a fall-over to another type, or why the entry
  /// failed before anything was made for it.
  std::string note;
  bool reused = false;   // the instance stood there before this run
  bool planned = false;  // dry run: the instance would be launched
  double seconds = 0;    // from the worker's start to its end
  std::chrono::steady_clock::time_point started{};
  double start = 0;  // `started` in seconds since the run began (in snapshots)
  std::vector<StepLine> steps;  // in the order reached
  /// What failed the entry, AWS's words when AWS refused: the first one told.
  std::string error;
  bool removal = false;  // a revert's entry: "deleted" instead of "created"

  /// "created", "reused", "failed", "skipped", "would create",
  /// "would reuse", or "waiting" for an entry still at work; a revert's
  /// entry is "deleted", "failed", "would delete" or "waiting".
  std::string outcome() const;
};

/// One finding of the checks a run makes before its first change.
struct CheckLine {
  bool ok;               // false for a problem
  bool warning = false;  // ok, but something may go wrong: shown with the problems
  std::string subject;   // "credentials", "bucket NAME", "subnet ID", "image ...", ...
  std::string finding;   // what was found, or what is wrong
};

/// The requests of one AWS action, from the client's notices of each attempt.
struct ActionTally {
  std::string service;
  std::string action;  // for S3 the method alone: its paths name objects
  int requests = 0;    // first attempts
  int retries = 0;     // the attempts after them
  int throttled = 0;   // answers that were throttling errors
  int server_errors = 0;  // 5xx answers that were not throttling
  int other_errors = 0;   // other refusals, and attempts without an answer
  double wait_seconds = 0;  // the backoff pauses before the retries
};

/// AWS activity in one second of the run.
struct ActivitySecond {
  int requests = 0;  // attempts, each in the second its answer (or failure) came
  int throttled = 0;
  int retries = 0;
};

struct StorySnapshot {
  std::string mode = "deploy";  // or "revert"
  bool dry_run = false;
  std::string phase;
  /// Where the run flow stands, finer than the phase and not shown as
  /// progress: a failure or an interruption is reported as met while it ran.
  std::string step = "starting";
  std::vector<EntryLine> entries;  // in test-configuration order
  std::vector<ResourceLine> resources;
  std::vector<CheckLine> checks;  // the preflight's findings, in order
  double seconds = 0;             // since begin()
  std::string started_at;         // begin()'s wall time, ISO 8601 UTC with milliseconds
  std::string account;            // where the run works, once known
  std::string region;
  std::string vpc_id;
  std::vector<ActionTally> actions;      // in the order first seen
  std::vector<ActivitySecond> activity;  // one per second since begin()
};

class RunStory {
 public:
  /// The process's story.
  static RunStory& get();

  /// Starts a new story for a run; forgets the previous one.
  void begin(bool revert, bool dry_run);
  /// Calls `listener` (from the telling thread, without the story's lock)
  /// after every change; an empty function removes it.
  void listen(std::function<void()> listener);

  void phase(const std::string& name);
  /// Sets the run flow's step ("reading the test configuration"); listeners
  /// are not called, since nothing shown changes.
  void step(const std::string& name);
  /// The entries a deployment works on, in order; skipped ones are listed too.
  void entries(const std::vector<std::string>& gw_subnet_ids, const std::vector<bool>& skipped);
  void instanceFound(const std::string& gw_subnet_id, const std::string& instance_id);
  void instanceLaunched(const std::string& gw_subnet_id, const std::string& instance_id);
  void instancePlanned(const std::string& gw_subnet_id);
  void instanceRunning(const std::string& gw_subnet_id);
  /// Where the entry launches (or would), and with which instance type.
  void entryPlaced(const std::string& gw_subnet_id, const std::string& zone,
                   const std::string& instance_type);
  /// A note on the entry for the summary, such as a fall-over to another type.
  void entryNote(const std::string& gw_subnet_id, const std::string& note);
  /// The entry failed before anything was made for it, dry run or not, for
  /// the reason `note`.
  void entryRefused(const std::string& gw_subnet_id, const std::string& note);
  /// The entry's worker ended; `deployed` says whether both addresses were
  /// recorded in `entry`, which gives them.
  void entryEnded(const std::string& gw_subnet_id, bool deployed, const TestConfig& entry);
  /// The entry reached `step`: that step ends now and began where the
  /// entry's previous one ended (or when its worker started), or, for a
  /// step that ran beside others, where the step `after` ended. One call
  /// per step, placed where the step is done.
  void entryStep(const std::string& gw_subnet_id, const std::string& step,
                 const std::string& after = {});
  /// Why the entry failed; the first reason told is kept, as the root cause.
  void entryError(const std::string& gw_subnet_id, const std::string& error);
  /// A revert's entry ended: what it had was deleted, or not (`done`).
  void entryRemoved(const std::string& gw_subnet_id, bool done);

  /// Where the run works: its account, region and VPC.
  void where(const std::string& account, const std::string& region, const std::string& vpc_id);
  /// Counts one attempt of an AWS request; listeners are not called.
  void attempt(const aws::AttemptNotice& notice);

  void resource(Act act, const std::string& kind, const std::string& id,
                const std::string& detail = "", DryRun dry_run = DryRun::kObeyed);

  /// A finding of the preflight; `ok` false for a problem.
  void check(bool ok, const std::string& subject, const std::string& finding);
  /// A finding of the preflight that does not stop the run but may matter.
  void warning(const std::string& subject, const std::string& finding);

  StorySnapshot snapshot() const;

 private:
  template <class Change>
  void change(Change&& change);
  EntryLine* entryOf(const std::string& gw_subnet_id);

  mutable std::mutex mutex_;
  StorySnapshot story_;
  void endStep(EntryLine& line, const std::string& step, const std::string& after = {});
  double since(std::chrono::steady_clock::time_point when) const;

  std::chrono::steady_clock::time_point began_ = std::chrono::steady_clock::now();
  std::function<void()> listener_;
};

/// Shorthand for RunStory::get().resource(...).
inline void tell(Act act, const std::string& kind, const std::string& id,
                 const std::string& detail = "", DryRun dry_run = DryRun::kObeyed) {
  RunStory::get().resource(act, kind, id, detail, dry_run);
}

/// The words of an act: "created", "reused", "deleted", "left"; in a plan
/// "would create", "would reuse", "would delete", "would leave".
std::string actWords(const ResourceLine& line);

/// The layout of the run report; raised whenever a field changes meaning.
inline constexpr int kReportVersion = 2;

/// The run report: the summary's content as JSON, with the exit status,
/// each entry's steps, and the AWS requests by action and by second.
nlohmann::ordered_json storyReport(const StorySnapshot& story, int exit_status);

/// Told of every AWS attempt: counts it in the run's story. Never throws.
void tellAttempt(const aws::AttemptNotice& notice) noexcept;

}  // namespace probefleet
