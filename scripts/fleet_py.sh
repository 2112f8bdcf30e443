#!/usr/bin/env bash
# Runs one of the fleet scripts (tests/soak/fleet_soak.py, bench/fleet_bench.py) with the
# project's python and a built probefleet, building it first if needed.
#   scripts/fleet_py.sh PATH/SCRIPT.py [build-dir] [script options...]
# PATH is relative to the source tree.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
script="$1"
shift
build="$(realpath -m "${1:-$here/build}")"
shift || true
python="$("$here/scripts/setup.sh" | tail -n 1)"
if [ ! -x "$build/probefleet" ]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPROBEFLEET_PYTHON="$python" >/dev/null
  cmake --build "$build" -j "$(nproc)" --target probefleet
fi
exec "$python" "$here/$script" --binary "$build/probefleet" --python "$python" "$@"
