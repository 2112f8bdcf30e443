#!/usr/bin/env bash
# The one test command: installs dependencies, configures, builds and runs
# every test. Usage: scripts/test.sh [build-dir] [extra cmake args...]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build}"
shift || true
python="$("$here/scripts/setup.sh" | tail -n 1)"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPROBEFLEET_WERROR=ON -DPROBEFLEET_PYTHON="$python" "$@"
cmake --build "$build" -j "$(nproc)"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 900 --no-tests=error
