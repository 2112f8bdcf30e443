#!/usr/bin/env bash
# Builds the Debian packages probefleet (the programs and their man pages) and
# probefleet-dev (the library s3, its headers and CMake package) and prints
# their paths, one a line. Usage: scripts/package.sh [build-dir]
# A build dir without a configuration is configured as a Release build
# without tests; one that has a configuration keeps it. PROBEFLEET_JOBS sets
# the build's parallelism (default: the number of cores).
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build-package}"
jobs="${PROBEFLEET_JOBS:-$(nproc)}"

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >&2
fi
cmake --build "$build" -j "$jobs" >&2
# Old packages of another version would otherwise be printed as well.
rm -rf "$build/packages"
(cd "$build" && cpack -G DEB -B "$build/packages") >&2
find "$build/packages" -maxdepth 1 -name '*.deb' | sort
