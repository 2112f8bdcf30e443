#!/usr/bin/env bash
# Builds the libFuzzer targets (fuzz/) with clang and runs each one for a
# while on a copy of its seed corpus, plus the saved regression inputs.
#   scripts/fuzz.sh [seconds-per-target] [build-dir]
# Prints one line per target (executions, coverage, corpus size, crashes) and
# exits 1 when any target found a crash, a leak, a hang or ran out of memory.
# Installs clang and its runtime libraries through apt-get when missing.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-20}"
build="${2:-$here/build-fuzz}"
case "$seconds" in '' | *[!0-9]*) echo "usage: $0 [seconds-per-target] [build-dir]" >&2; exit 2 ;; esac

packages=(clang libclang-rt-14-dev cmake ninja-build pkg-config libcurl4-openssl-dev libssl-dev
  libpugixml-dev libspdlog-dev libfmt-dev nlohmann-json3-dev zlib1g-dev)
. "$here/scripts/lib/packages.sh"
ensure_packages fuzz "${packages[@]}"

jobs="$(nproc)"
[ "$jobs" -gt 2 ] && jobs=2
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$here/fuzz" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ >&2
fi
cmake --build "$build" -j "$jobs" >&2

targets=(fuzz_ec2_xml fuzz_query_xml fuzz_s3_xml fuzz_ssm_json fuzz_test_config fuzz_options
  fuzz_pem_fingerprint fuzz_aws_chunked fuzz_sigv4)
# PROBEFLEET_FUZZ_TARGETS picks some of them (blank-separated), for example
# to run long sessions side by side.
if [ -n "${PROBEFLEET_FUZZ_TARGETS:-}" ]; then read -ra targets <<<"$PROBEFLEET_FUZZ_TARGETS"; fi
work="$(mktemp -d "${TMPDIR:-/tmp}/probefleet-fuzz.XXXXXX")"
trap 'rm -rf "$work"' EXIT
artifacts="$build/artifacts"
failed=0

for t in "${targets[@]}"; do
  # The run grows a copy, so the seed corpus in the tree stays as it is.
  mkdir -p "$work/$t" "$artifacts/$t"
  cp -r "$here/fuzz/corpus/$t/." "$work/$t/"
  status=0
  # Inputs that once crashed run one by one, whatever their size (as corpus
  # entries they would be cut to the fuzzer's length limit).
  regressions=()
  if [ -d "$here/fuzz/regressions/$t" ]; then
    mapfile -t regressions < <(find "$here/fuzz/regressions/$t" -type f | sort)
  fi
  if [ "${#regressions[@]}" -gt 0 ]; then
    "$build/$t" -rss_limit_mb=2048 -timeout=10 -artifact_prefix="$artifacts/$t/" \
      "${regressions[@]}" >"$work/$t.regressions.log" 2>&1 || status=$?
  fi
  if [ "$status" -eq 0 ]; then
    "$build/$t" -max_total_time="$seconds" -rss_limit_mb=2048 -timeout=10 -print_final_stats=1 \
      -artifact_prefix="$artifacts/$t/" "$work/$t" >"$work/$t.log" 2>&1 || status=$?
  else
    cp "$work/$t.regressions.log" "$work/$t.log"
  fi

  done_line="$(grep -E '^#[0-9]+[[:space:]]+(DONE|INITED|pulse|NEW|REDUCE)' "$work/$t.log" | tail -n 1 || true)"
  execs="$(grep -oE 'stat::number_of_executed_units: [0-9]+' "$work/$t.log" | grep -oE '[0-9]+$' || true)"
  [ -z "$execs" ] && execs="$(sed -nE 's/^#([0-9]+).*/\1/p' <<<"$done_line")"
  cov="$(grep -oE 'cov: [0-9]+' <<<"$done_line" | grep -oE '[0-9]+' || true)"
  ft="$(grep -oE 'ft: [0-9]+' <<<"$done_line" | grep -oE '[0-9]+' || true)"
  corpus="$(find "$work/$t" -type f | wc -l)"
  found="$(grep -oE "$artifacts/$t/(crash|leak|timeout|oom)-[0-9a-f]+" "$work/$t.log" | sort -u | tr '\n' ' ' || true)"
  if [ "$status" -ne 0 ] || [ -n "$found" ]; then
    failed=1
    cp "$work/$t.log" "$artifacts/$t/last-run.log"
    crashes="${found:-exit status $status} (log: $artifacts/$t/last-run.log)"
  else
    crashes=0
  fi
  printf '%-22s execs %-9s cov %-6s ft %-6s corpus %-5s crashes %s\n' \
    "$t" "${execs:-?}" "${cov:-?}" "${ft:-?}" "$corpus" "$crashes"
done
exit "$failed"
