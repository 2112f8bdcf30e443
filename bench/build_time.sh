#!/usr/bin/env bash
# Times a build from nothing: a fresh clone of this checkout's HEAD, an empty
# compiler cache, the plain build's configuration (as scripts/test.sh makes
# it; `-- -DPROBEFLEET_UNITY_BYTES=0` gives .ci/run's one bundle per target),
# every target. Prints the configure and build seconds and the ten slowest
# objects.
#
#   bench/build_time.sh [--ci] [--keep] [-- CMAKE_ARGS...]
#
# --ci runs the whole of .ci/run in the clone instead, with an empty cache of
# its own, and prints its stage table. --keep leaves the clone in place.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
ci=0
keep=0
while [ $# -gt 0 ]; do
  case "$1" in
    --ci) ci=1 ;;
    --keep) keep=1 ;;
    --) shift; break ;;
    *) echo "usage: $0 [--ci] [--keep] [-- CMAKE_ARGS...]" >&2; exit 2 ;;
  esac
  shift
done

work="$(mktemp -d /tmp/probefleet-build-time.XXXXXX)"
[ "$keep" -eq 1 ] || trap 'rm -rf "$work"' EXIT
git clone -q "$here" "$work/clone"
cd "$work/clone"
echo "build_time: $(git log -1 --format='%h %s' | cut -c1-72) on $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"

if [ "$ci" -eq 1 ]; then
  mkdir -p "$work/ccache"
  status=0
  CCACHE_DIR="$work/ccache" CI=true bash .ci/run >"$work/ci.out" 2>&1 || status=$?
  sed -n '/^stage /,$p' "$work/ci.out"
  exit "$status"
fi

python="$(scripts/setup.sh | tail -n 1)"
# seconds SINCE: the seconds from SINCE (an $EPOCHREALTIME) to now, to a tenth.
seconds() {
  local d=$((${EPOCHREALTIME//[^0-9]/} - ${1//[^0-9]/}))
  printf '%d.%d' $((d / 1000000)) $((d / 100000 % 10))
}
start="$EPOCHREALTIME"
CCACHE_DISABLE=1 cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPROBEFLEET_WERROR=ON -DPROBEFLEET_PYTHON="$python" "$@" >"$work/configure.log"
configured="$(seconds "$start")"
start="$EPOCHREALTIME"
CCACHE_DISABLE=1 cmake --build build -j "$(nproc)" >"$work/build.log"
built="$(seconds "$start")"
echo "configure ${configured} s, build ${built} s (cache off, -j$(nproc))"
echo "slowest steps (seconds):"
awk 'NR > 1 { printf "%8.1f  %s\n", ($2 - $1) / 1000, $4 }' build/.ninja_log | sort -rn | head -n 10
awk 'NR > 1 { t += ($2 - $1) / 1000; n++ } END { printf "%d steps, %.0f s of compiler and linker time\n", n, t }' build/.ninja_log
