#include "probefleet/core/story.h"

#include "probefleet/core/options.h"

#include <cmath>
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

}  // namespace

std::string EntryLine::outcome() const {
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
  return &story_.entries.back();
}

void RunStory::begin(bool revert, bool dry_run) {
  const std::lock_guard<std::mutex> lock(mutex_);
  story_ = StorySnapshot{};
  story_.mode = revert ? "revert" : "deploy";
  story_.dry_run = dry_run;
  began_ = std::chrono::steady_clock::now();
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
    } else if (!story_.dry_run || !line.note.empty()) {
      line.stage = EntryLine::Stage::kFailed;
    }
  });
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
  return copy;
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
  report["mode"] = story.mode;
  report["dry_run"] = story.dry_run;
  report["exit_status"] = exit_status;
  report["seconds"] = tenths(story.seconds);
  report["entries"] = nlohmann::ordered_json::array();
  for (const EntryLine& line : story.entries) {
    nlohmann::ordered_json entry;
    entry["gw_subnet_id"] = line.gw_subnet_id;
    entry["instance_id"] = line.instance_id;
    entry["ec2_ip"] = line.ec2_ip;
    entry["ec2_2nd_private_ip"] = line.ec2_2nd_private_ip;
    entry["outcome"] = line.outcome();
    entry["seconds"] = tenths(line.seconds);
    entry["zone"] = line.zone;
    entry["instance_type"] = line.instance_type;
    if (!line.note.empty()) entry["note"] = line.note;
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
  return report;
}

}  // namespace probefleet
