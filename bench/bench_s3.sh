#!/usr/bin/env bash
# Transfer benchmarks: probefleet-s3 against awscli's `aws s3 cp`, both talking
# to one local S3 server (the sandbox, started here on a loopback port), plus
# the memory of a long paged listing. Prints figures; judges nothing. The
# transfers run once over plain http and once over https (the sandbox's --tls
# mode), since the clients do different work per byte on each. The scheme
# "https-keepalive" puts an https front that keeps connections alive, as S3
# does, before a plain sandbox (bench/https_front.sh, nginx); each row then
# also says how many connections the client opened and how many of their TLS
# handshakes were full ones (the others resumed a session).
#
#   bench/bench_s3.sh [--big-mib N] [--files N] [--list-keys N] [--page N]
#                       [--schemes "http https https-keepalive"] [--latency MS]
#
# --list-keys 0 skips the listing. --latency adds MS to every S3 answer of the
# sandbox (a bucket far away: 20-30 ms is typical within a continent).
#
# Environment: BUILD_DIR (default build-bench, configured Release here),
# PROBEFLEET_PYTHON (python3 with moto and awscli; default python3 on PATH),
# BENCH_DIR (scratch space; default a new folder under /tmp).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
PY=${PROBEFLEET_PYTHON:-$(command -v python3)}
BUILD=${BUILD_DIR:-$ROOT/build-bench}
BIG_MIB=1024
FILES=2000
LIST_KEYS=20000
PAGE=100
SCHEMES="http https"
LATENCY=0
while [ $# -gt 0 ]; do
  case "$1" in
    --big-mib) BIG_MIB=$2; shift 2 ;;
    --files) FILES=$2; shift 2 ;;
    --list-keys) LIST_KEYS=$2; shift 2 ;;
    --page) PAGE=$2; shift 2 ;;
    --schemes) SCHEMES=$2; shift 2 ;;
    --latency) LATENCY=$2; shift 2 ;;
    *) echo "usage: $0 [--big-mib N] [--files N] [--list-keys N] [--page N] [--schemes LIST] [--latency MS]" >&2
       exit 2 ;;
  esac
done

WORK=${BENCH_DIR:-$(mktemp -d /tmp/bench_s3.XXXXXX)}
mkdir -p "$WORK"
SB_PID=
FRONT=
cleanup() {
  if [ -n "$FRONT" ]; then "$ROOT/bench/https_front.sh" stop "$FRONT" || true; fi
  if [ -n "$SB_PID" ]; then kill "$SB_PID" 2>/dev/null || true; wait "$SB_PID" 2>/dev/null || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT

# ---- build (optimised) -------------------------------------------------------
if [ ! -f "$BUILD/build.ninja" ]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPROBEFLEET_PYTHON="$PY" \
    >/dev/null
fi
cmake --build "$BUILD" --target probefleet-s3 list_memory >/dev/null
TOOL=$BUILD/probefleet-s3
LISTER=$BUILD/list_memory

# ---- data -----------------------------------------------------------------------
mkdir -p "$WORK/data/backups/vpc-big" "$WORK/data/backups/vpc-many"
head -c "$((BIG_MIB * 1024 * 1024))" /dev/urandom >"$WORK/data/backups/vpc-big/big.bin"
for i in $(seq -w 1 "$FILES"); do head -c 4096 /dev/urandom >"$WORK/data/backups/vpc-many/f$i.dat"; done
sync

# ---- the server ----------------------------------------------------------------
# start_server [--tls]: a fresh sandbox (an empty bucket, no memory held from an
# earlier round), with the environment both clients read pointed at it.
start_server() {
  rm -f "$WORK/port" "$WORK/world.json"
  "$PY" "$ROOT/tests/sandbox/sandbox.py" "$@" --port-file "$WORK/port" \
    --world-out "$WORK/world.json" >"$WORK/sandbox.log" 2>&1 &
  SB_PID=$!
  for _ in $(seq 200); do [ -s "$WORK/port" ] && break; sleep 0.1; done
  [ -s "$WORK/port" ] || { echo "the sandbox did not start:" >&2; tail "$WORK/sandbox.log" >&2; exit 1; }
  ENDPOINT=$(cat "$WORK/port")
  BUCKET=$(world "w['bucket']")
  export AWS_ACCESS_KEY_ID=$(world "w['user']['access_key_id']")
  export AWS_SECRET_ACCESS_KEY=$(world "w['user']['secret_access_key']")
  export AWS_ENDPOINT_URL=$ENDPOINT
  # Over https both clients verify the sandbox's certificate.
  CA_BUNDLE=$(world "w.get('ca_bundle') or ''")
  if [ -n "$CA_BUNDLE" ]; then export AWS_CA_BUNDLE=$CA_BUNDLE; else unset AWS_CA_BUNDLE; fi
  CONTROL_ENDPOINT=$ENDPOINT
  AWSCLI=("$PY" -m awscli --endpoint-url "$ENDPOINT")
}
# start_front: a plain sandbox behind the keep-alive https front.
start_front() {
  start_server
  FRONT=$WORK/front
  mkdir -p "$FRONT"
  { read -r ENDPOINT; read -r CA_BUNDLE; } < <("$ROOT/bench/https_front.sh" start "$CONTROL_ENDPOINT" "$FRONT")
  export AWS_ENDPOINT_URL=$ENDPOINT AWS_CA_BUNDLE=$CA_BUNDLE
  AWSCLI=("$PY" -m awscli --endpoint-url "$ENDPOINT")
}
stop_server() {
  if [ -n "$FRONT" ]; then "$ROOT/bench/https_front.sh" stop "$FRONT"; FRONT=; fi
  kill "$SB_PID" 2>/dev/null || true
  wait "$SB_PID" 2>/dev/null || true
  SB_PID=
}
world() { "$PY" -c "import json,sys; w=json.load(open('$WORK/world.json')); print(eval(sys.argv[1]))" "$1"; }
: >"$WORK/empty"
export AWS_REGION=us-east-1 AWS_DEFAULT_REGION=us-east-1 AWS_EC2_METADATA_DISABLED=true
export AWS_CONFIG_FILE=$WORK/empty AWS_SHARED_CREDENTIALS_FILE=$WORK/empty
export NO_PROXY=127.0.0.1 no_proxy=127.0.0.1
unset HTTP_PROXY HTTPS_PROXY http_proxy https_proxy AWS_PROFILE AWS_DEFAULT_PROFILE || true
control() {
  curl -sf ${CA_BUNDLE:+--cacert "$CA_BUNDLE"} -X POST -H 'Content-Type: application/json' \
    -d "$2" "$CONTROL_ENDPOINT/_sandbox/$1" >/dev/null
}

server_ticks() { awk '{print $14 + $15}' "/proc/$SB_PID/stat"; }
TICK=$(getconf CLK_TCK)

# measure LABEL CMD...: one row of client CPU (user+sys), peak RSS, wall time
# and the server's CPU time over the same run, appended to $TABLE.
measure() {
  local label=$1; shift
  local before after
  [ -z "$FRONT" ] || "$ROOT/bench/https_front.sh" count "$FRONT" >/dev/null
  before=$(server_ticks)
  /usr/bin/time -f "%U %S %e %M" -o "$WORK/time" "$@" >"$WORK/out" 2>"$WORK/err" || {
    echo "$label failed:" >&2; tail -5 "$WORK/err" >&2; exit 1; }
  after=$(server_ticks)
  read -r user sys wall rss <"$WORK/time"
  awk -v l="$label" -v u="$user" -v s="$sys" -v w="$wall" -v m="$rss" -v sv=$(((after - before))) \
    -v t="$TICK" 'BEGIN { printf "%-34s %9.2f %9.2f %9.2f %10.1f %9.2f  server_cpu_s %.2f\n",
      l, u, s, u + s, m / 1024, w, sv / t }' | tee -a "$TABLE"
  # Not in $TABLE: the ratios below read its rows by position.
  [ -z "$FRONT" ] || echo "    $("$ROOT/bench/https_front.sh" count "$FRONT")"
}

# compare SCHEME: every transfer with both clients over one scheme, then the
# ratios of their CPU times.
compare() {
  local scheme=$1
  TABLE=$WORK/table-$scheme
  printf '%-34s %9s %9s %9s %10s %9s\n' "run" "user_s" "sys_s" "cpu_s" "peak_MiB" "wall_s" >"$TABLE"
  case "$scheme" in
    https) start_server --tls ;;
    https-keepalive) start_front ;;
    *) start_server ;;
  esac
  [ "$LATENCY" -eq 0 ] || control faults "{\"latency_ms\": $LATENCY}"
  echo "latency added to every S3 answer: $LATENCY ms"
  echo "######## over $scheme: server $ENDPOINT, bucket $BUCKET, $(nproc) CPUs shared with the server"
  echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
  if [ "$scheme" != http ]; then
    echo "both clients verify the server's certificate ($CA_BUNDLE via AWS_CA_BUNDLE)"
    echo "probefleet-s3: uploads aws-chunked with a CRC32 trailer (one pass over the file)"
    echo "awscli:        uploads aws-chunked with a CRC32 trailer"
  else
    echo "probefleet-s3: uploads aws-chunked with a CRC32 trailer (one pass over the file)"
    echo "awscli:        uploads signed with the payload's SHA-256, plus a CRC32 header (two passes)"
  fi
  echo
  cd "$WORK/data"
  echo "== ${BIG_MIB} MiB file, upload"
  measure "probefleet-s3 upload-file" "$TOOL" upload-file "$BUCKET" backups/vpc-big/big.bin
  measure "aws s3 cp" "${AWSCLI[@]}" s3 cp --only-show-errors backups/vpc-big/big.bin \
    "s3://$BUCKET/awscli/vpc-big/big.bin"
  echo "== ${BIG_MIB} MiB file, download"
  measure "probefleet-s3 download" "$TOOL" download "$BUCKET" vpc-big --target "$WORK/down-ours"
  measure "aws s3 cp" "${AWSCLI[@]}" s3 cp --only-show-errors "s3://$BUCKET/awscli/vpc-big/big.bin" \
    "$WORK/down-awscli/big.bin"
  cmp "$WORK/down-ours/vpc-big/big.bin" backups/vpc-big/big.bin
  cmp "$WORK/down-awscli/big.bin" backups/vpc-big/big.bin
  rm -rf "$WORK/down-ours" "$WORK/down-awscli"

  echo "== folder of $FILES files of 4 KiB, upload"
  measure "probefleet-s3 upload-folder" "$TOOL" upload-folder "$BUCKET" backups/vpc-many
  measure "aws s3 cp --recursive" "${AWSCLI[@]}" s3 cp --only-show-errors --recursive \
    backups/vpc-many "s3://$BUCKET/awscli/vpc-many"
  echo "== folder of $FILES files of 4 KiB, download"
  measure "probefleet-s3 download" "$TOOL" download "$BUCKET" vpc-many --target "$WORK/down-ours"
  measure "aws s3 cp --recursive" "${AWSCLI[@]}" s3 cp --only-show-errors --recursive \
    "s3://$BUCKET/awscli/vpc-many" "$WORK/down-awscli"
  [ "$(find "$WORK/down-ours/vpc-many" -type f | wc -l)" -eq "$FILES" ]
  rm -rf "$WORK/down-ours" "$WORK/down-awscli"
  cd "$WORK"
  stop_server
  echo "load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo
}

echo "probefleet-s3: $TOOL"
echo "awscli: $("$PY" -m awscli --version 2>&1)"
echo
for scheme in $SCHEMES; do
  case "$scheme" in http | https | https-keepalive) compare "$scheme" ;; *) echo "unknown scheme $scheme" >&2; exit 2 ;; esac
done

for scheme in $SCHEMES; do
  echo "== ratios over $scheme (probefleet-s3 CPU / awscli CPU)"
  awk -v big="${BIG_MIB}MiB" 'NR > 1 { cpu[NR] = $(NF - 4) } END {
    split("upload-" big " download-" big " upload-folder download-folder", what, " ");
    i = 0; for (r = 2; r <= NR; r += 2) { i++;
      printf "%-18s ours %.2f s, awscli %.2f s, ratio %.3f\n", what[i], cpu[r], cpu[r+1], cpu[r]/cpu[r+1] } }' \
    "$WORK/table-$scheme"
done

# ---- listing memory ----------------------------------------------------------------
[ "$LIST_KEYS" -gt 0 ] || exit 0
echo
start_server
LONG=$(printf 'k%.0s' $(seq 800))
echo "== listAllFiles over $LIST_KEYS keys of ~830 bytes, pages of $PAGE keys"
control s3 "{\"fill\": {\"bucket\": \"$BUCKET\", \"prefix\": \"list/$LONG/\", \"count\": $LIST_KEYS}}"
control s3 "{\"max_keys\": $PAGE}"
"$LISTER" "$BUCKET" "list/" "$PAGE" >"$WORK/list.txt"
control s3 '{"max_keys": null}'
awk 'NR == 1 { next } /^total/ { total = $0; next } { page[++n] = $0; rss[n] = $4 }
  END {
    for (i = 1; i <= n; i++) if (i <= 3 || i == n || i % 50 == 0) print "  page " page[i];
    lo = rss[3]; hi = rss[3];
    for (i = 3; i <= n; i++) { if (rss[i] < lo) lo = rss[i]; if (rss[i] > hi) hi = rss[i] }
    printf "  RSS from page 3 to page %d: %d..%d KiB (spread %d KiB)\n", n, lo, hi, hi - lo;
    print "  " total }' "$WORK/list.txt"
