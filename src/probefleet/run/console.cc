#include "probefleet/run/console.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iomanip>
#include <mutex>
#include <sstream>
#include <vector>

#include <spdlog/sinks/base_sink.h>

#include "testlib/common.h"

namespace probefleet {

namespace {

using Clock = std::chrono::steady_clock;
// A terminal line is redrawn at most this often; plain lines come at most
// this often while the counts change.
constexpr auto kRedrawEvery = std::chrono::milliseconds(100);
constexpr auto kPlainEvery = std::chrono::seconds(5);

std::string seconds(double value) {
  std::ostringstream text;
  text << std::fixed << std::setprecision(1) << value << " s";
  return text.str();
}

// Rows under a header, each column as wide as its widest cell, two blanks
// apart, indented by two.
std::string table(const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::size_t> widths;
  for (const auto& row : rows) {
    widths.resize(std::max(widths.size(), row.size()));
    for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
  }
  std::string text;
  for (const auto& row : rows) {
    std::string line = " ";
    for (std::size_t i = 0; i < row.size(); ++i) {
      line += " " + row[i];
      if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 1, ' ');
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    text += line + "\n";
  }
  return text;
}

std::size_t countActs(const StorySnapshot& story, Act act, const std::string& kind = "") {
  return static_cast<std::size_t>(std::count_if(
      story.resources.begin(), story.resources.end(),
      [&](const ResourceLine& r) { return r.act == act && (kind.empty() || r.kind == kind); }));
}

std::string deployCounts(const StorySnapshot& story) {
  std::size_t total = 0, launched = 0, reused = 0, running = 0, ready = 0, failed = 0, planned = 0;
  for (const EntryLine& line : story.entries) {
    if (line.stage == EntryLine::Stage::kSkipped) continue;
    ++total;
    if (!line.instance_id.empty()) ++launched;
    if (line.reused) ++reused;
    if (line.planned) ++planned;
    if (line.stage == EntryLine::Stage::kRunning || line.stage == EntryLine::Stage::kReady) {
      ++running;
    }
    if (line.stage == EntryLine::Stage::kReady) ++ready;
    if (line.stage == EntryLine::Stage::kFailed) ++failed;
  }
  std::ostringstream text;
  if (story.dry_run) {
    text << "would launch " << planned << "/" << total << ", reuse " << reused;
  } else {
    text << "launched " << launched << "/" << total;
    if (reused > 0) text << " (" << reused << " found standing)";
    text << ", running " << running << ", ready " << ready << ", failed " << failed;
  }
  return text.str();
}

// What the table has no room for: each fall-over to another instance type,
// and why an entry failed before anything was made for it.
std::string entryNotes(const StorySnapshot& story) {
  std::string text;
  for (const EntryLine& line : story.entries) {
    if (!line.note.empty()) text += "  " + line.gw_subnet_id + ": " + line.note + "\n";
  }
  return text.empty() ? text : "Notes:\n" + text;
}

std::string deploySummary(const StorySnapshot& story, int exit_status) {
  std::size_t created = 0, reused = 0, failed = 0, skipped = 0;
  std::vector<std::vector<std::string>> rows = {
      {"gw_subnet_id", "instance", "ec2_ip", "ec2_2nd_private_ip", "outcome", "time"}};
  for (const EntryLine& line : story.entries) {
    const std::string outcome = line.outcome();
    created += outcome == "created";
    reused += outcome == "reused";
    failed += outcome == "failed" || outcome == "waiting";
    skipped += outcome == "skipped";
    rows.push_back({line.gw_subnet_id, line.instance_id.empty() ? "-" : line.instance_id,
                    line.ec2_ip.empty() ? "-" : line.ec2_ip,
                    line.ec2_2nd_private_ip.empty() ? "-" : line.ec2_2nd_private_ip, outcome,
                    seconds(line.seconds)});
  }
  std::ostringstream text;
  text << "Deployment " << (exit_status == 0 ? "done" : "FAILED") << " in "
       << seconds(story.seconds) << ": " << story.entries.size() << " entries, created " << created
       << ", reused " << reused << ", failed " << failed;
  if (skipped > 0) text << ", skipped " << skipped;
  text << "\n";
  // No table without entries: a run that stopped before them has none.
  if (!story.entries.empty()) text << table(rows);
  text << entryNotes(story);
  return text.str();
}

// The preflight's findings: all of them in a plan, else only its problems.
std::string checkRows(const StorySnapshot& story, bool all) {
  std::vector<std::vector<std::string>> rows;
  for (const CheckLine& line : story.checks) {
    if (all || !line.ok || line.warning) {
      rows.push_back({!line.ok       ? "PROBLEM"
                      : line.warning ? "WARNING"
                                     : "ok",
                      line.subject, line.finding});
    }
  }
  return rows.empty() ? std::string() : "Preflight:\n" + table(rows);
}

std::string resourceRows(const StorySnapshot& story, bool planned) {
  std::vector<std::vector<std::string>> rows;
  for (const ResourceLine& line : story.resources) {
    if (line.planned != planned) continue;
    rows.push_back({actWords(line), line.kind, line.id.empty() ? "-" : line.id, line.detail});
  }
  return table(rows);
}

std::string planSummary(const StorySnapshot& story) {
  std::size_t create = 0, reuse = 0, remove = 0;
  std::vector<std::vector<std::string>> rows;
  for (const EntryLine& line : story.entries) {
    if (line.stage == EntryLine::Stage::kSkipped) continue;
    create += line.planned;
    reuse += line.reused;
    if (line.planned) rows.push_back({"+ create", "instance", "-", "in " + line.gw_subnet_id});
    if (line.reused) {
      rows.push_back({"= reuse", "instance", line.instance_id, "in " + line.gw_subnet_id});
    }
  }
  for (const ResourceLine& line : story.resources) {
    if (!line.planned) continue;
    const char* mark = line.act == Act::kCreate   ? "+ create"
                       : line.act == Act::kReuse  ? "= reuse"
                       : line.act == Act::kDelete ? "- delete"
                                                  : "  leave";
    create += line.act == Act::kCreate;
    reuse += line.act == Act::kReuse;
    remove += line.act == Act::kDelete;
    rows.push_back({mark, line.kind, line.id.empty() ? "-" : line.id, line.detail});
  }
  std::ostringstream text;
  text << checkRows(story, true);
  text << "Plan (dry run, " << story.mode << "): " << create << " to create, " << reuse
       << " to reuse, " << remove << " to delete\n"
       << table(rows) << entryNotes(story);
  const std::string changed = resourceRows(story, false);
  if (!changed.empty()) text << "Changed all the same (these steps ignore --dry_run):\n" << changed;
  return text.str();
}

}  // namespace

std::string progressText(const StorySnapshot& story) {
  std::string text = story.phase.empty() ? std::string("starting") : story.phase;
  if (story.phase == "preflight") return text;  // nothing is counted yet
  if (story.mode == "deploy" &&
      (story.phase == "launching" || story.phase == "writing the output")) {
    return text + ": " + deployCounts(story);
  }
  if (story.mode == "revert") {
    std::ostringstream counts;
    counts << ": " << (story.dry_run ? "would delete " : "deleted ")
           << countActs(story, Act::kDelete) << " (instances "
           << countActs(story, Act::kDelete, "instance") << "), left "
           << countActs(story, Act::kLeave);
    return text + counts.str();
  }
  return text;
}

void tellRetry(const aws::RetryNotice& notice) noexcept {
  try {
    const std::string what = notice.action + " at " + notice.host + ": " + notice.reason +
                             " (attempt " + std::to_string(notice.attempt + 1) + " of " +
                             std::to_string(notice.max_attempts) + ")";
    testlib::logger()->info("  retry " + what);
    if (notice.first_long_wait) testlib::logger()->warn("  **Alert** retrying " + what);
  } catch (...) {
  }
}

std::string summaryText(const StorySnapshot& story, int exit_status) {
  if (story.dry_run) return planSummary(story);
  std::string text;
  if (story.mode == "deploy") {
    text = checkRows(story, false) + deploySummary(story, exit_status);
    const std::string shared = resourceRows(story, false);
    if (!shared.empty()) text += "Resources:\n" + shared;
    return text;
  }
  std::ostringstream head;
  head << "Revert " << (exit_status == 0 ? "done" : "FAILED") << " in " << seconds(story.seconds)
       << ": deleted " << countActs(story, Act::kDelete) << ", left "
       << countActs(story, Act::kLeave) << "\n";
  return checkRows(story, false) + head.str() + resourceRows(story, false);
}

// The console as the run and the log records share it.
struct RunConsole::Screen {
  std::mutex mutex;
  std::FILE* out;
  bool terminal;
  bool progress;      // false with --log_console
  std::string drawn;  // the progress line open on the terminal now
  std::string shown;  // the last progress line shown
  std::string last_phase;
  std::string latest;  // the counts last seen, shown or not
  Clock::time_point last_draw{};

  void clearLine() {
    if (terminal && !drawn.empty()) std::fputs("\r\033[K", out);
  }

  // Called with the lock held. A phase ends with its last counts, even those
  // that came too soon after the previous line; on a terminal that line then
  // stays, and the next phase gets a line of its own.
  void show(const StorySnapshot& story, bool force) {
    if (!progress) return;
    const std::string line = progressText(story);
    const auto now = Clock::now();
    const bool new_phase = story.phase != last_phase;
    if (new_phase && !latest.empty() && latest != shown) put(latest);
    if (new_phase && terminal && !drawn.empty()) {
      std::fputs("\n", out);
      drawn.clear();
    }
    latest = line;
    const auto period =
        terminal ? std::chrono::milliseconds(kRedrawEvery) : std::chrono::milliseconds(kPlainEvery);
    if (line == shown || (!force && !new_phase && now - last_draw < period)) return;
    put(line);
    last_phase = story.phase;
    last_draw = now;
  }

  void put(const std::string& line) {
    if (terminal) {
      std::fputs(("\r\033[K" + line).c_str(), out);
      drawn = line;
    } else {
      std::fputs((line + "\n").c_str(), out);
    }
    shown = line;
    std::fflush(out);
  }

  void record(const std::string& text) {
    const std::lock_guard<std::mutex> lock(mutex);
    clearLine();
    std::fputs(text.c_str(), out);
    if (terminal && !drawn.empty()) std::fputs(drawn.c_str(), out);
    std::fflush(out);
  }
};

namespace {

// The console's share of the log records: those that report an error, or
// all of them with --log_console.
class ConsoleSink : public spdlog::sinks::base_sink<std::mutex> {
 public:
  ConsoleSink(std::shared_ptr<RunConsole::Screen> screen, bool everything)
      : screen_(std::move(screen)), everything_(everything) {}

 protected:
  void sink_it_(const spdlog::details::log_msg& msg) override {
    const std::string_view payload(msg.payload.data(), msg.payload.size());
    if (!everything_ && msg.level < spdlog::level::warn &&
        payload.find("**Error**") == std::string_view::npos) {
      return;
    }
    spdlog::memory_buf_t formatted;
    formatter_->format(msg, formatted);
    screen_->record(std::string(formatted.data(), formatted.size()));
  }
  void flush_() override {}

 private:
  std::shared_ptr<RunConsole::Screen> screen_;
  bool everything_;
};

}  // namespace

RunConsole::RunConsole(std::FILE* out, bool terminal, bool log_console)
    : screen_(std::make_shared<Screen>()) {
  screen_->out = out;
  screen_->terminal = terminal;
  screen_->progress = !log_console;
  testlib::Common::setConsoleSink(std::make_shared<ConsoleSink>(screen_, log_console));
  if (log_console) return;
  std::weak_ptr<Screen> weak = screen_;
  RunStory::get().listen([weak] {
    if (auto screen = weak.lock()) {
      const StorySnapshot story = RunStory::get().snapshot();
      const std::lock_guard<std::mutex> lock(screen->mutex);
      screen->show(story, false);
    }
  });
}

RunConsole::~RunConsole() {
  RunStory::get().listen({});
  testlib::Common::setConsoleSink(nullptr);
}

void RunConsole::finish(int exit_status) {
  RunStory::get().listen({});
  if (!screen_->progress) return;  // the records alone, as the log file has them
  const StorySnapshot story = RunStory::get().snapshot();
  const std::lock_guard<std::mutex> lock(screen_->mutex);
  screen_->show(story, true);
  if (screen_->terminal && !screen_->drawn.empty()) std::fputs("\n", screen_->out);
  screen_->drawn.clear();
  std::fputs(summaryText(story, exit_status).c_str(), screen_->out);
  std::fflush(screen_->out);
}

}  // namespace probefleet
