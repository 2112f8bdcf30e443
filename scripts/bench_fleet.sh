#!/usr/bin/env bash
# The fleet benchmark (scripts/fleet_bench.py): scaling under a fixed
# latency, requests per entry, and a 200-entry deployment under the
# sandbox's realistic AWS profile against its lower bound.
#   scripts/bench_fleet.sh [build-dir] [fleet_bench.py options...]
exec "$(dirname "$0")/fleet_py.sh" fleet_bench.py "$@"
