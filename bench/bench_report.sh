#!/usr/bin/env bash
# The run report's page at fleet size (bench/report_bench.py): its size and
# headless chromium's load and paint times for a real sandbox run and for
# that run tiled to 1,000 entries.
#   bench/bench_report.sh [build-dir] [report_bench.py options...]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath -m "${1:-$here/build}")"
shift || true
if [ ! -x "$build/probefleet-report" ]; then
  cmake --build "$build" -j "$(nproc)" --target probefleet probefleet-report
fi
exec "$here/scripts/fleet_py.sh" bench/report_bench.py "$build" \
  --report-binary "$build/probefleet-report" "$@"
