#!/usr/bin/env bash
# The fleet benchmark (bench/fleet_bench.py): scaling under a fixed
# latency, requests per entry, and a 200-entry deployment under the
# sandbox's realistic AWS profile against its lower bound.
#   bench/bench_fleet.sh [build-dir] [fleet_bench.py options...]
exec "$(dirname "$0")/../scripts/fleet_py.sh" bench/fleet_bench.py "$@"
