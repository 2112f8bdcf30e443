#include "probefleet/core/story.h"

#include "probefleet/core/options.h"

#include <cmath>
#include <cstdio>
#include <ctime>
#include <utility>

namespace probefleet {

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string textOf(const TestConfig& entry, const char* key) {
  const auto found = entry.find(key);
  return found != entry.end() && found->is_string() ? found->get<std::string>() : std::string();
}

double tenths(double seconds) {
  return std::round(seconds * 10) / 10;
}

double millis(double seconds) {
  return std::round(seconds * 1000) / 1000;
}

// "2025-03-01T12:00:00.250Z".
std::string isoUtc(std::chrono::system_clock::time_point when) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch());
  const std::time_t whole = static_cast<std::time_t>(ms.count() / 1000);
  std::tm parts{};
  gmtime_r(&whole, &parts);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                static_cast<int>(ms.count() % 1000));
  return text;
}

// The longest run whose seconds are counted one by one: a day.
constexpr std::size_t kActivitySeconds = 86400;

}  // namespace

std::string EntryLine::outcome() const {
  if (removal) {
    if (stage == Stage::kReady) return "deleted";
    if (stage == Stage::kFailed) return "failed";
    return planned ? "would delete" : "waiting";
  }
  switch (stage) {
    case Stage::kSkipped:
      return "skipped";
    case Stage::kFailed:
      return "failed";
    case Stage::kReady:
      return reused ? "reused" : "created";
    default:
      break;
  }
  if (planned) return "would create";
  if (reused) return "would reuse";
  return "waiting";
}

RunStory& RunStory::get() {
  static RunStory story;
  return story;
}

template <class Change>
void RunStory::change(Change&& change) {
  std::function<void()> listener;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    change();
    listener = listener_;
  }
  if (listener) listener();
}

EntryLine* RunStory::entryOf(const std::string& gw_subnet_id) {
  for (EntryLine& line : story_.entries) {
    if (line.gw_subnet_id == gw_subnet_id) return &line;
  }
  // An operation called outside a fleet run (a test, a single entry) still
  // gets its line.
  story_.entries.emplace_back();
  story_.entries.back().gw_subnet_id = gw_subnet_id;
  story_.entries.back().started = std::chrono::steady_clock::now();
  story_.entries.back().removal = story_.mode == "revert";
  return &story_.entries.back();
}

void RunStory::begin(bool revert, bool dry_run) {
  const std::lock_guard<std::mutex> lock(mutex_);
  story_ = StorySnapshot{};
  story_.mode = revert ? "revert" : "deploy";
  story_.dry_run = dry_run;
  began_ = std::chrono::steady_clock::now();
  story_.started_at = isoUtc(std::chrono::system_clock::now());
}

double RunStory::since(std::chrono::steady_clock::time_point when) const {
  return std::chrono::duration<double>(when - began_).count();
}

void RunStory::endStep(EntryLine& line, const std::string& step, const std::string& after) {
  double start = line.steps.empty() ? since(line.started) : line.steps.back().end;
  for (const StepLine& earlier : line.steps) {
    if (!after.empty() && earlier.name == after) start = earlier.end;
  }
  line.steps.push_back({step, start, since(std::chrono::steady_clock::now())});
}

void RunStory::listen(std::function<void()> listener) {
  const std::lock_guard<std::mutex> lock(mutex_);
  listener_ = std::move(listener);
}

void RunStory::phase(const std::string& name) {
  change([&] { story_.phase = name; });
}

void RunStory::step(const std::string& name) {
  const std::lock_guard<std::mutex> lock(mutex_);
  story_.step = name;
}

void RunStory::entries(const std::vector<std::string>& gw_subnet_ids,
                       const std::vector<bool>& skipped) {
  change([&] {
    const auto now = std::chrono::steady_clock::now();
    for (std::size_t i = 0; i < gw_subnet_ids.size(); ++i) {
      EntryLine line;
      line.gw_subnet_id = gw_subnet_ids[i];
      line.started = now;
      line.removal = story_.mode == "revert";
      if (i < skipped.size() && skipped[i]) line.stage = EntryLine::Stage::kSkipped;
      story_.entries.push_back(line);
    }
  });
}

void RunStory::instanceFound(const std::string& gw_subnet_id, const std::string& instance_id) {
  change([&] {
    EntryLine& line = *entryOf(gw_subnet_id);
    line.instance_id = instance_id;
    line.reused = true;
    line.stage = EntryLine::Stage::kLaunched;
  });
}

void RunStory::instanceLaunched(const std::string& gw_subnet_id, const std::string& instance_id) {
  change([&] {
    EntryLine& line = *entryOf(gw_subnet_id);
    line.instance_id = instance_id;
    line.stage = EntryLine::Stage::kLaunched;
  });
}

void RunStory::instancePlanned(const std::string& gw_subnet_id) {
  change([&] { entryOf(gw_subnet_id)->planned = true; });
}

void RunStory::instanceRunning(const std::string& gw_subnet_id) {
  change([&] { entryOf(gw_subnet_id)->stage = EntryLine::Stage::kRunning; });
}

void RunStory::entryPlaced(const std::string& gw_subnet_id, const std::string& zone,
                           const std::string& instance_type) {
  change([&] {
    EntryLine& line = *entryOf(gw_subnet_id);
    line.zone = zone;
    line.instance_type = instance_type;
  });
}

void RunStory::entryNote(const std::string& gw_subnet_id, const std::string& note) {
  change([&] { entryOf(gw_subnet_id)->note = note; });
}

void RunStory::entryRefused(const std::string& gw_subnet_id, const std::string& note) {
  change([&] {
    EntryLine& line = *entryOf(gw_subnet_id);
    line.note = note;
    line.stage = EntryLine::Stage::kFailed;
    line.seconds = secondsSince(line.started);
    if (line.error.empty()) line.error = note;
  });
}

void RunStory::entryEnded(const std::string& gw_subnet_id, bool deployed, const TestConfig& entry) {
  const std::string ec2_ip = textOf(entry, "ec2_ip");
  const std::string second_ip = textOf(entry, "ec2_2nd_private_ip");
  change([&] {
    EntryLine& line = *entryOf(gw_subnet_id);
    line.ec2_ip = ec2_ip;
    line.ec2_2nd_private_ip = second_ip;
    line.seconds = secondsSince(line.started);
    if (deployed) {
      line.stage = EntryLine::Stage::kReady;
      endStep(line, "recorded");
    } else if (!story_.dry_run || !line.note.empty()) {
      line.stage = EntryLine::Stage::kFailed;
      endStep(line, "failed");
    }
  });
}

void RunStory::entryStep(const std::string& gw_subnet_id, const std::string& step,
                         const std::string& after) {
  change([&] { endStep(*entryOf(gw_subnet_id), step, after); });
}

void RunStory::entryError(const std::string& gw_subnet_id, const std::string& error) {
  change([&] {
    EntryLine& line = *entryOf(gw_subnet_id);
    if (line.error.empty()) line.error = error;
  });
}

void RunStory::entryRemoved(const std::string& gw_subnet_id, bool done) {
  change([&] {
    EntryLine& line = *entryOf(gw_subnet_id);
    line.removal = true;
    line.seconds = secondsSince(line.started);
    if (story_.dry_run) {
      line.planned = true;
      return;
    }
    line.stage = done ? EntryLine::Stage::kReady : EntryLine::Stage::kFailed;
    if (!done) endStep(line, "failed");
  });
}

void RunStory::where(const std::string& account, const std::string& region,
                     const std::string& vpc_id) {
  change([&] {
    story_.account = account;
    story_.region = region;
    story_.vpc_id = vpc_id;
  });
}

void RunStory::attempt(const aws::AttemptNotice& notice) {
  // S3's actions are told as "METHOD /bucket/key": one tally per object
  // would bury the others.
  const std::string action = notice.action.substr(0, notice.action.find(' '));
  const std::lock_guard<std::mutex> lock(mutex_);
  ActionTally* tally = nullptr;
  for (ActionTally& known : story_.actions) {
    if (known.service == notice.service && known.action == action) tally = &known;
  }
  if (tally == nullptr) {
    story_.actions.push_back({notice.service, action});
    tally = &story_.actions.back();
  }
  const bool retry = notice.attempt > 1;
  const bool answered = notice.status >= 200 && notice.status < 300;
  (retry ? tally->retries : tally->requests) += 1;
  tally->throttled += notice.throttled;
  tally->server_errors += !notice.throttled && notice.status >= 500;
  tally->other_errors += !answered && !notice.throttled && notice.status < 500;
  tally->wait_seconds += std::chrono::duration<double>(notice.pause).count();

  const double at = since(std::chrono::steady_clock::now());
  if (at < 0 || at >= static_cast<double>(kActivitySeconds)) return;
  const auto second = static_cast<std::size_t>(at);
  if (story_.activity.size() <= second) story_.activity.resize(second + 1);
  ActivitySecond& bucket = story_.activity[second];
  bucket.requests += 1;
  bucket.throttled += notice.throttled;
  bucket.retries += retry;
}

void RunStory::resource(Act act, const std::string& kind, const std::string& id,
                        const std::string& detail, DryRun dry_run) {
  change([&] {
    story_.resources.push_back(
        {act, story_.dry_run && dry_run == DryRun::kObeyed, kind, id, detail});
  });
}

void RunStory::check(bool ok, const std::string& subject, const std::string& finding) {
  change([&] { story_.checks.push_back({ok, false, subject, finding}); });
}

void RunStory::warning(const std::string& subject, const std::string& finding) {
  change([&] { story_.checks.push_back({true, true, subject, finding}); });
}

StorySnapshot RunStory::snapshot() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  StorySnapshot copy = story_;
  copy.seconds = secondsSince(began_);
  for (EntryLine& line : copy.entries) line.start = since(line.started);
  return copy;
}

void tellAttempt(const aws::AttemptNotice& notice) noexcept {
  try {
    RunStory::get().attempt(notice);
  } catch (...) {
  }
}

std::string actWords(const ResourceLine& line) {
  static const char* done[] = {"created", "reused", "deleted", "left"};
  static const char* planned[] = {"would create", "would reuse", "would delete", "would leave"};
  const auto index = static_cast<std::size_t>(line.act);
  return line.planned ? planned[index] : done[index];
}

nlohmann::ordered_json storyReport(const StorySnapshot& story, int exit_status) {
  nlohmann::ordered_json report;
  report["program"] = "probefleet";
  report["version"] = programVersion();
  report["report_version"] = kReportVersion;
  report["mode"] = story.mode;
  report["dry_run"] = story.dry_run;
  report["exit_status"] = exit_status;
  report["seconds"] = tenths(story.seconds);
  report["started_at"] = story.started_at;
  report["account"] = story.account;
  report["region"] = story.region;
  report["vpc_id"] = story.vpc_id;
  report["entries"] = nlohmann::ordered_json::array();
  for (const EntryLine& line : story.entries) {
    nlohmann::ordered_json entry;
    entry["gw_subnet_id"] = line.gw_subnet_id;
    entry["instance_id"] = line.instance_id;
    entry["ec2_ip"] = line.ec2_ip;
    entry["ec2_2nd_private_ip"] = line.ec2_2nd_private_ip;
    entry["outcome"] = line.outcome();
    entry["seconds"] = tenths(line.seconds);
    entry["start"] = millis(line.start);
    entry["end"] = millis(line.start + line.seconds);
    entry["zone"] = line.zone;
    entry["instance_type"] = line.instance_type;
    if (!line.note.empty()) entry["note"] = line.note;
    if (!line.error.empty()) entry["error"] = line.error;
    entry["steps"] = nlohmann::ordered_json::array();
    for (const StepLine& step : line.steps) {
      entry["steps"].push_back(
          {{"step", step.name}, {"start", millis(step.start)}, {"end", millis(step.end)}});
    }
    report["entries"].push_back(entry);
  }
  report["preflight"] = nlohmann::ordered_json::array();
  for (const CheckLine& line : story.checks) {
    report["preflight"].push_back({{"ok", line.ok},
                                   {"level", !line.ok       ? "problem"
                                             : line.warning ? "warning"
                                                            : "ok"},
                                   {"subject", line.subject},
                                   {"finding", line.finding}});
  }
  report["resources"] = nlohmann::ordered_json::array();
  for (const ResourceLine& line : story.resources) {
    report["resources"].push_back({{"action", actWords(line)},
                                   {"kind", line.kind},
                                   {"id", line.id},
                                   {"detail", line.detail}});
  }
  report["aws"] = nlohmann::ordered_json::array();
  for (const ActionTally& tally : story.actions) {
    report["aws"].push_back({{"service", tally.service},
                             {"action", tally.action},
                             {"requests", tally.requests},
                             {"retries", tally.retries},
                             {"throttled", tally.throttled},
                             {"server_errors", tally.server_errors},
                             {"other_errors", tally.other_errors},
                             {"wait_seconds", millis(tally.wait_seconds)}});
  }
  nlohmann::ordered_json requests = nlohmann::ordered_json::array();
  nlohmann::ordered_json throttled = nlohmann::ordered_json::array();
  nlohmann::ordered_json retries = nlohmann::ordered_json::array();
  for (const ActivitySecond& second : story.activity) {
    requests.push_back(second.requests);
    throttled.push_back(second.throttled);
    retries.push_back(second.retries);
  }
  report["activity"] = {
      {"requests", requests}, {"throttled", throttled}, {"retries", retries}};
  return report;
}

}  // namespace probefleet
