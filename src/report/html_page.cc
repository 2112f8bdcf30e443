#include "report/html_page.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>
#include <stdexcept>
#include <vector>

#include <nlohmann/json.hpp>

namespace report {

namespace {

using Json = nlohmann::ordered_json;

// The chart's geometry, in CSS pixels.
constexpr double kChartWidth = 900;
constexpr double kLabelWidth = 200;  // room for a gw_subnet_id, when rows are tall enough
constexpr double kMarginRight = 24;  // room for the failure marks
constexpr double kTallestRow = 14;
constexpr double kTimelineHeight = 700;  // rows thin out to fit, down to one pixel
constexpr double kLabelledRow = 10;      // rows this tall carry their name
constexpr double kBandHeight = 34;
// Entry tables longer than this start folded.
constexpr std::size_t kOpenTableRows = 50;

// Okabe and Ito's palette, which readers with any common colour-vision
// deficiency tell apart; a failure is also told by its hatching, its mark
// and its label.
constexpr const char* kOrange = "#E69F00";
constexpr const char* kSkyBlue = "#56B4E9";
constexpr const char* kGreen = "#009E73";
constexpr const char* kYellow = "#F0E442";
constexpr const char* kBlue = "#0072B2";
constexpr const char* kVermillion = "#D55E00";
constexpr const char* kPurple = "#CC79A7";
constexpr const char* kGrey = "#999999";

const char* stepColour(const std::string& step) {
  static const std::map<std::string, const char*> colours = {
      {"launch requested", kOrange},
      {"running", kSkyBlue},
      {"status checks passed", kGreen},
      {"address associated", kYellow},
      {"second interface attached", kBlue},
      {"recorded", kPurple},
      {"second interface deleted", kBlue},
      {"terminated", kOrange},
      {"address released", kYellow},
      {"failed", kVermillion}};
  const auto found = colours.find(step);
  return found == colours.end() ? kGrey : found->second;
}

std::string text(const Json& object, const char* key) {
  const auto found = object.find(key);
  if (found == object.end() || found->is_null()) return "";
  if (found->is_string()) return found->get<std::string>();
  return found->dump();
}

double number(const Json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_number() ? found->get<double>() : 0.0;
}

const Json& array(const Json& object, const char* key) {
  static const Json empty = Json::array();
  const auto found = object.find(key);
  return found != object.end() && found->is_array() ? *found : empty;
}

std::string fixed(double value, int decimals) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*f", decimals, value);
  return buffer;
}

std::string duration(double seconds) {
  if (seconds < 60) return fixed(seconds, 1) + " s";
  const long whole = std::lround(seconds);
  return std::to_string(whole / 60) + " min " + std::to_string(whole % 60) + " s";
}

// Coordinates to a tenth of a pixel keep a 1,000-entry page small.
std::string px(double value) {
  return fixed(std::round(value * 10) / 10, 1);
}

// A tick spacing that puts between five and ten ticks on `total` seconds.
double tickSpacing(double total) {
  static const double spacings[] = {0.1, 0.2,  0.5,  1,    2,    5,    10,   15,   30,  60,
                                    120, 300,  600,  900,  1800, 3600, 7200, 14400, 43200};
  for (const double spacing : spacings) {
    if (total / spacing <= 10) return spacing;
  }
  return 86400;
}

struct Entry {
  const Json* json;
  std::size_t order;  // in the test configuration
  double start;
  std::string outcome;
  std::string error;
  bool failed;
};

std::string entryName(const Entry& entry) {
  return text(*entry.json, "gw_subnet_id");
}

class Page {
 public:
  explicit Page(const Json& run) : run_(run) {
    for (const Json& entry : array(run, "entries")) {
      if (!entry.is_object()) continue;
      const std::string outcome = text(entry, "outcome");
      std::string error = text(entry, "error");
      if (error.empty() && outcome == "failed") error = text(entry, "note");
      double start = number(entry, "start");
      const Json& steps = array(entry, "steps");
      if (!steps.empty() && steps.front().is_object()) start = number(steps.front(), "start");
      entries_.push_back({&entry, entries_.size(), start, outcome, error, outcome == "failed"});
      for (const Json& step : steps) {
        if (!step.is_object()) continue;
        total_ = std::max(total_, number(step, "end"));
        const std::string name = text(step, "step");
        if (std::find(steps_.begin(), steps_.end(), name) == steps_.end()) steps_.push_back(name);
      }
    }
    total_ = std::max(total_, number(run, "seconds"));
    const auto activity = run.find("activity");
    if (activity != run.end() && activity->is_object()) {
      total_ = std::max(total_, static_cast<double>(array(*activity, "requests").size()));
    }
    if (total_ <= 0) total_ = 1;
    std::stable_sort(entries_.begin(), entries_.end(),
                     [](const Entry& a, const Entry& b) { return a.start < b.start; });
    const double count = static_cast<double>(std::max<std::size_t>(entries_.size(), 1));
    row_ = std::clamp(kTimelineHeight / count, 1.0, kTallestRow);
    label_ = row_ >= kLabelledRow ? kLabelWidth : 8;
  }

  std::string render() {
    out_.reserve(64 * 1024 + entries_.size() * 1400);
    head();
    header();
    timeline();
    activity();
    failures();
    actions();
    resources();
    preflight();
    entryTable();
    out_ += "</main>\n</body>\n</html>\n";
    return std::move(out_);
  }

 private:
  double x(double seconds) const { return label_ + seconds / total_ * kChartWidth; }
  double width() const { return label_ + kChartWidth + kMarginRight; }

  void put(std::string_view html) { out_ += html; }
  void esc(std::string_view raw) { out_ += escapeHtml(raw); }

  void head() {
    const std::string mode = text(run_, "mode");
    put("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n");
    put("<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
        "style-src 'unsafe-inline'; img-src data:; base-uri 'none'; form-action 'none'\">\n");
    put("<meta name=\"referrer\" content=\"no-referrer\">\n");
    put("<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>");
    esc(text(run_, "program").empty() ? "probefleet" : text(run_, "program"));
    put(" ");
    esc(mode);
    put(" ");
    esc(text(run_, "started_at"));
    put("</title>\n<style>\n"
        "body{font:14px/1.4 system-ui,sans-serif;margin:0;color:#111;background:#fff}\n"
        "main{padding:12px 20px;max-width:1200px}\n"
        "h1{font-size:20px;margin:4px 0 8px}h2{font-size:16px;margin:22px 0 6px}\n"
        "dl.facts{display:grid;grid-template-columns:max-content 1fr;gap:2px 14px;margin:0}\n"
        "dt{font-weight:600}dd{margin:0}\n"
        ".bad{color:#a33a00;font-weight:700}.good{color:#00664a;font-weight:700}\n"
        "table{border-collapse:collapse;margin:4px 0}td,th{border:1px solid #ccc;"
        "padding:2px 6px;text-align:left;vertical-align:top}th{background:#f2f2f2}\n"
        "td.n{text-align:right;font-variant-numeric:tabular-nums}\n"
        "svg text{font:11px system-ui,sans-serif;fill:#111}\n"
        ".axis line{stroke:#bbb;stroke-width:1}.row rect{stroke:none}\n"
        ".x{stroke:#000;stroke-width:1.5;fill:#D55E00}\n"
        ".legend{display:flex;flex-wrap:wrap;gap:4px 14px;margin:4px 0;padding:0;"
        "list-style:none}\n"
        ".sw{display:inline-block;width:12px;height:12px;border:1px solid #555;"
        "vertical-align:-2px;margin-right:4px}\n"
        "tr.failed td:first-child::before{content:\"\\2716  \";color:#a33a00}\n"
        "</style>\n</head>\n<body>\n<main>\n");
  }

  void header() {
    const bool ok = number(run_, "exit_status") == 0 && run_.contains("exit_status");
    put("<h1>");
    esc(text(run_, "program").empty() ? "probefleet" : text(run_, "program"));
    put(" ");
    esc(text(run_, "mode"));
    put(": <span class=\"");
    put(ok ? "good\">done" : "bad\">FAILED");
    put("</span></h1>\n<dl class=\"facts\">\n");
    fact("mode", text(run_, "mode"));
    fact("dry run", run_.value("dry_run", false) ? "yes" : "no");
    fact("account", text(run_, "account"));
    fact("region", text(run_, "region"));
    fact("VPC", text(run_, "vpc_id"));
    fact("started", text(run_, "started_at"));
    fact("result", (ok ? "done, exit status " : "FAILED, exit status ") +
                       (run_.contains("exit_status") ? text(run_, "exit_status") : "unknown"));
    fact("duration", duration(number(run_, "seconds")));
    std::map<std::string, int> outcomes;
    for (const Entry& entry : entries_) ++outcomes[entry.outcome];
    std::string counts = std::to_string(entries_.size()) + " entries";
    for (const auto& [outcome, count] : outcomes) {
      counts += ", " + outcome + " " + std::to_string(count);
    }
    fact("entries", counts);
    fact("program version", text(run_, "version"));
    put("</dl>\n");
  }

  void fact(const char* name, const std::string& value) {
    put("<dt>");
    put(name);
    put("</dt><dd>");
    esc(value.empty() ? "unknown" : value);
    put("</dd>\n");
  }

  void legend() {
    put("<ul class=\"legend\" aria-label=\"steps\">");
    for (std::size_t i = 0; i < steps_.size(); ++i) {
      put("<li><span class=\"sw\" style=\"background:");
      put(stepColour(steps_[i]));
      put("\"></span>");
      esc(steps_[i]);
      if (steps_[i] == "failed") put(" (hatched, marked &#10006;)");
      put("</li>");
    }
    put("</ul>\n");
  }

  void axis(double top, double bottom) {
    const double spacing = tickSpacing(total_);
    put("<g class=\"axis\">");
    for (double t = 0; t <= total_ + 1e-9; t += spacing) {
      put("<line x1=\"" + px(x(t)) + "\" x2=\"" + px(x(t)) + "\" y1=\"" + px(top) + "\" y2=\"" +
          px(bottom) + "\"/><text x=\"" + px(x(t)) + "\" y=\"" + px(bottom + 12) +
          "\" text-anchor=\"middle\">" + fixed(t, spacing < 1 ? 1 : 0) + " s</text>");
    }
    put("</g>\n");
  }

  void timeline() {
    put("<h2 id=\"timeline\">Timeline</h2>\n");
    legend();
    const double height = static_cast<double>(entries_.size()) * row_ + 20;
    std::size_t failed = 0;
    const Entry* slowest = nullptr;
    for (const Entry& entry : entries_) {
      failed += entry.failed;
      if (!slowest || number(*entry.json, "seconds") > number(*slowest->json, "seconds")) {
        slowest = &entry;
      }
    }
    put("<svg class=\"timeline\" role=\"img\" aria-labelledby=\"tl-t tl-d\" width=\"" +
        px(width()) + "\" height=\"" + px(height) + "\" viewBox=\"0 0 " + px(width()) + " " +
        px(height) + "\">\n<title id=\"tl-t\">Timeline of " + std::to_string(entries_.size()) +
        " entries, one row each, sorted by start</title>\n<desc id=\"tl-d\">");
    put(std::to_string(failed) + " failed. ");
    if (slowest) {
      put("Slowest: ");
      esc(entryName(*slowest));
      put(" with " + duration(number(*slowest->json, "seconds")) + ". ");
    }
    put("Each row's segments are its steps; hover a segment for its times. The entry table "
        "below holds the same facts as text.</desc>\n");
    put("<defs><pattern id=\"hatch\" width=\"6\" height=\"6\" patternUnits=\"userSpaceOnUse\" "
        "patternTransform=\"rotate(45)\"><rect width=\"6\" height=\"6\" fill=\"#D55E00\"/>"
        "<line x1=\"0\" y1=\"0\" x2=\"0\" y2=\"6\" stroke=\"#fff\" stroke-width=\"2\"/>"
        "</pattern></defs>\n");
    axis(0, height - 20);
    for (std::size_t i = 0; i < entries_.size(); ++i) row(entries_[i], static_cast<double>(i) * row_);
    put("</svg>\n");
  }

  void row(const Entry& entry, double top) {
    const Json& json = *entry.json;
    put(entry.failed ? "<g class=\"row failed\">" : "<g class=\"row\">");
    put("<title>");
    esc(entryName(entry) + ": " + entry.outcome + ", " + duration(number(json, "seconds")));
    if (!text(json, "zone").empty()) esc(", " + text(json, "zone"));
    if (!text(json, "instance_type").empty()) esc(", " + text(json, "instance_type"));
    if (!entry.error.empty()) esc(" \xe2\x80\x94 " + entry.error);
    put("</title>");
    const double height = std::max(row_ - (row_ >= 4 ? 2 : 0), 1.0);
    if (row_ >= kLabelledRow) {
      put("<text x=\"2\" y=\"" + px(top + row_ - 3) + "\">");
      esc((entry.failed ? "\xe2\x9c\x96 " : "") + entryName(entry));
      put("</text>");
    }
    double end = entry.start;
    // Steps may run beside each other (the status checks beside the
    // interface): the longer ones are drawn first, so none hides another.
    std::vector<const Json*> drawn;
    for (const Json& step : array(json, "steps")) {
      if (step.is_object()) drawn.push_back(&step);
    }
    const auto length = [&](const Json* step) {
      return number(*step, "end") - number(*step, "start");
    };
    std::stable_sort(drawn.begin(), drawn.end(),
                     [&](const Json* a, const Json* b) { return length(a) > length(b); });
    for (const Json* drawn_step : drawn) {
      const Json& step = *drawn_step;
      const std::string name = text(step, "step");
      const double from = number(step, "start");
      const double to = std::max(number(step, "end"), from);
      end = std::max(end, to);
      put("<rect x=\"" + px(x(from)) + "\" y=\"" + px(top) + "\" width=\"" +
          px(std::max(x(to) - x(from), 0.5)) + "\" height=\"" + px(height) + "\" fill=\"");
      put(name == "failed" ? "url(#hatch)" : stepColour(name));
      put("\"><title>");
      esc(name + ": " + fixed(from, 1) + "\xe2\x80\x93" + fixed(to, 1) + " s");
      put("</title></rect>");
    }
    if (entry.failed) {
      // A cross after the row's end: seen however thin the rows are.
      const double cx = x(end) + 6;
      const double cy = top + row_ / 2;
      const double r = 4;
      put("<path class=\"x\" d=\"M" + px(cx - r) + " " + px(cy - r) + "L" + px(cx + r) + " " +
          px(cy + r) + "M" + px(cx - r) + " " + px(cy + r) + "L" + px(cx + r) + " " +
          px(cy - r) + "\"/>");
    }
    put("</g>\n");
  }

  void activity() {
    const auto found = run_.find("activity");
    if (found == run_.end() || !found->is_object()) return;
    put("<h2 id=\"activity\">AWS activity per second</h2>\n");
    struct Band {
      const char* key;
      const char* label;
      const char* colour;
    };
    const Band bands[] = {{"requests", "requests", kBlue},
                          {"throttled", "throttled", kVermillion},
                          {"retries", "retries", kOrange}};
    const double height = 3 * (kBandHeight + 6) + 20;
    std::string summary;
    for (const Band& band : bands) {
      double sum = 0, peak = 0;
      for (const Json& value : array(*found, band.key)) {
        if (value.is_number()) {
          sum += value.get<double>();
          peak = std::max(peak, value.get<double>());
        }
      }
      summary += std::string(band.label) + " " + fixed(sum, 0) + " (peak " + fixed(peak, 0) +
                 " in a second); ";
    }
    put("<svg class=\"activity\" role=\"img\" aria-labelledby=\"ac-t ac-d\" width=\"" +
        px(width()) + "\" height=\"" + px(height) + "\" viewBox=\"0 0 " + px(width()) + " " +
        px(height) +
        "\">\n<title id=\"ac-t\">AWS requests, throttled answers and retries per second, on "
        "the timeline's time axis</title>\n<desc id=\"ac-d\">");
    esc(summary);
    put("</desc>\n");
    axis(0, height - 20);
    double top = 0;
    for (const Band& band : bands) {
      this->band(array(*found, band.key), band.label, band.colour, top);
      top += kBandHeight + 6;
    }
    put("</svg>\n");
  }

  void band(const Json& values, const char* label, const char* colour, double top) {
    double peak = 0;
    for (const Json& value : values) {
      if (value.is_number()) peak = std::max(peak, value.get<double>());
    }
    put("<g class=\"band\"><title>");
    put(label);
    put(" per second, at most " + fixed(peak, 0) + "</title>");
    put("<text x=\"2\" y=\"" + px(top + 12) + "\">");
    put(label);
    put(" (max " + fixed(peak, 0) + ")</text>");
    std::string d;
    if (peak > 0) {
      const double step = std::max(x(1) - x(0), 0.5);
      for (std::size_t i = 0; i < values.size(); ++i) {
        if (!values[i].is_number() || values[i].get<double>() <= 0) continue;
        const double h = values[i].get<double>() / peak * kBandHeight;
        d += "M" + px(x(static_cast<double>(i))) + " " + px(top + kBandHeight - h) + "h" +
             px(step) + "v" + px(h) + "h-" + px(step) + "z";
      }
    }
    if (!d.empty()) put("<path fill=\"" + std::string(colour) + "\" d=\"" + d + "\"/>");
    put("</g>\n");
  }

  void failures() {
    std::vector<const Entry*> failed;
    for (const Entry& entry : entries_) {
      if (entry.failed) failed.push_back(&entry);
    }
    if (failed.empty()) return;
    std::sort(failed.begin(), failed.end(),
              [](const Entry* a, const Entry* b) { return a->order < b->order; });
    put("<h2 id=\"failures\">Failed entries (" + std::to_string(failed.size()) +
        ")</h2>\n<table class=\"failures\"><tr><th>gw_subnet_id</th><th>last step</th>"
        "<th>instance</th><th>what failed</th></tr>\n");
    for (const Entry* entry : failed) {
      const Json& steps = array(*entry->json, "steps");
      std::string last;
      for (const Json& step : steps) {
        if (step.is_object() && text(step, "step") != "failed") last = text(step, "step");
      }
      cells({entryName(*entry), last.empty() ? "-" : last,
             text(*entry->json, "instance_id").empty() ? "-" : text(*entry->json, "instance_id"),
             entry->error.empty() ? "(no message; see the log)" : entry->error},
            "failed");
    }
    put("</table>\n");
  }

  void cells(const std::vector<std::string>& values, const char* row_class = nullptr,
             std::size_t numeric_from = 99) {
    put(row_class ? std::string("<tr class=\"") + row_class + "\">" : std::string("<tr>"));
    for (std::size_t i = 0; i < values.size(); ++i) {
      put(i >= numeric_from ? "<td class=\"n\">" : "<td>");
      esc(values[i]);
      put("</td>");
    }
    put("</tr>\n");
  }

  void actions() {
    std::vector<const Json*> tallies;
    for (const Json& tally : array(run_, "aws")) {
      if (tally.is_object()) tallies.push_back(&tally);
    }
    if (tallies.empty()) return;
    std::stable_sort(tallies.begin(), tallies.end(), [](const Json* a, const Json* b) {
      return number(*a, "requests") + number(*a, "retries") >
             number(*b, "requests") + number(*b, "retries");
    });
    put("<h2 id=\"aws\">AWS requests by action</h2>\n<table class=\"aws\"><tr><th>service</th>"
        "<th>action</th><th>requests</th><th>retries</th><th>throttled</th><th>5xx</th>"
        "<th>other errors</th><th>backoff</th></tr>\n");
    for (const Json* tally : tallies) {
      cells({text(*tally, "service"), text(*tally, "action"), text(*tally, "requests"),
             text(*tally, "retries"), text(*tally, "throttled"), text(*tally, "server_errors"),
             text(*tally, "other_errors"), fixed(number(*tally, "wait_seconds"), 1) + " s"},
            nullptr, 2);
    }
    put("</table>\n");
  }

  void resources() {
    const Json& lines = array(run_, "resources");
    if (lines.empty()) return;
    std::map<std::string, int> counts;
    for (const Json& line : lines) {
      if (line.is_object()) ++counts[text(line, "action")];
    }
    put("<h2 id=\"resources\">Resources</h2>\n<p>");
    bool first = true;
    for (const auto& [action, count] : counts) {
      if (!first) put(", ");
      first = false;
      esc(action + " " + std::to_string(count));
    }
    put("</p>\n<details");
    put(lines.size() <= kOpenTableRows ? " open" : "");
    put("><summary>every resource</summary>\n<table class=\"resources\"><tr><th>action</th>"
        "<th>kind</th><th>id</th><th>detail</th></tr>\n");
    for (const Json& line : lines) {
      if (!line.is_object()) continue;
      const std::string action = text(line, "action");
      cells({action, text(line, "kind"), text(line, "id"), text(line, "detail")},
            action == "left" || action == "would leave" ? "failed" : nullptr);
    }
    put("</table>\n</details>\n");
  }

  void preflight() {
    const Json& findings = array(run_, "preflight");
    if (findings.empty()) return;
    put("<h2 id=\"preflight\">Preflight</h2>\n<table class=\"preflight\"><tr><th>level</th>"
        "<th>subject</th><th>finding</th></tr>\n");
    for (const Json& finding : findings) {
      if (!finding.is_object()) continue;
      const std::string level = text(finding, "level");
      cells({level, text(finding, "subject"), text(finding, "finding")},
            level == "problem" ? "failed" : nullptr);
    }
    put("</table>\n");
  }

  void entryTable() {
    put("<h2 id=\"entries\">Entries</h2>\n<details");
    put(entries_.size() <= kOpenTableRows ? " open" : "");
    put("><summary>" + std::to_string(entries_.size()) +
        " entries: zone, instance type, instance and addresses</summary>\n"
        "<table class=\"entries\"><tr><th>gw_subnet_id</th><th>outcome</th><th>zone</th>"
        "<th>instance type</th><th>instance_id</th><th>ec2_ip</th><th>ec2_2nd_private_ip</th>"
        "<th>time</th></tr>\n");
    std::vector<const Entry*> ordered;
    for (const Entry& entry : entries_) ordered.push_back(&entry);
    std::sort(ordered.begin(), ordered.end(),
              [](const Entry* a, const Entry* b) { return a->order < b->order; });
    for (const Entry* entry : ordered) {
      const Json& json = *entry->json;
      cells({entryName(*entry), entry->outcome, text(json, "zone"), text(json, "instance_type"),
             text(json, "instance_id"), text(json, "ec2_ip"), text(json, "ec2_2nd_private_ip"),
             duration(number(json, "seconds"))},
            entry->failed ? "failed" : nullptr, 7);
    }
    put("</table>\n</details>\n");
  }

  const Json& run_;
  std::vector<Entry> entries_;
  std::vector<std::string> steps_;  // the step names met, in order
  double total_ = 0;                // seconds the time axis spans
  double row_ = kTallestRow;
  double label_ = kLabelWidth;
  std::string out_;
};

}  // namespace

std::string escapeHtml(std::string_view raw) {
  std::string escaped;
  escaped.reserve(raw.size());
  for (const char c : raw) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      case '\'':
        escaped += "&#39;";
        break;
      default:
        const auto byte = static_cast<unsigned char>(c);
        escaped += (byte < 0x20 && c != '\n' && c != '\t') || byte == 0x7f ? ' ' : c;
    }
  }
  return escaped;
}

std::string htmlPage(const Json& run) {
  if (!run.is_object() || !run.contains("entries") || !run["entries"].is_array()) {
    throw std::invalid_argument("not a run report: no \"entries\" array");
  }
  return Page(run).render();
}

}  // namespace report
