#pragma once
// A run report (what probefleet --report writes) drawn as one HTML page
// that needs nothing else: inline CSS and SVG, no script, nothing fetched,
// and a Content-Security-Policy that would stop anything that tried. It
// opens offline and as a CI artifact.

#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace report {

/// `text` with &, <, >, " and ' as character references, and control
/// characters other than tab and line feed as blanks: safe in an element and
/// in a quoted attribute.
std::string escapeHtml(std::string_view text);

/// The page of `run`, a run report of any version (fields it lacks are
/// shown as unknown). Throws std::invalid_argument when `run` is not a JSON
/// object with an `entries` array.
std::string htmlPage(const nlohmann::ordered_json& run);

}  // namespace report
