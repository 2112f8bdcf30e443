#!/usr/bin/env bash
# Transfer benchmarks: probefleet-s3 against the AWS CLI (`aws s3 cp`) and
# rclone, all three talking to one local S3 server, each with its own default
# concurrency; plus the memory of a long paged listing. Prints figures; judges
# nothing.
#
# The server is the sandbox, started here on a loopback port. By default it
# sits behind an https front that keeps connections alive, as S3 does
# (bench/https_front.sh, nginx), and every round is run at each latency of
# --latencies: the sandbox then waits that long before each S3 answer (a
# bucket in another region: 20-30 ms within a continent, 100 ms across an
# ocean). One server serves every round; each round deletes what it stored.
#
#   bench/bench_s3.sh [--big-mib N] [--files N] [--latencies "0 30 100"]
#                     [--schemes "https-keepalive http https"] [--clients LIST]
#                     [--sweep "4 8 16 32 64"] [--list-keys N] [--page N]
#
# Schemes: https-keepalive (the front), http (the plain sandbox), https (the
# sandbox's own TLS, which closes the connection after every answer). Clients:
# any of "probefleet-s3 awscli rclone" (rclone is installed from the
# distribution's packages when missing). --sweep runs probefleet-s3's folder
# upload and download again at the last latency with each concurrency given.
# --list-keys 0 skips the listing.
#
# Each row: client CPU (user + system), its peak RSS, wall time; the server's
# CPU over the same run (the sandbox's, which spends a few ms per request and
# so bounds every client's wall time, and the front's); the requests the run
# sent, the connections it opened and how many of their TLS handshakes were
# full ones (the others resumed a session); and the latency bound, requests x
# latency / requests in flight (the client's default), the least wall time its
# concurrency allows.
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
SCHEMES="https-keepalive"
LATENCIES="0 30 100"
CLIENTS="probefleet-s3 awscli rclone"
SWEEP=
usage() {
  echo "usage: $0 [--big-mib N] [--files N] [--latencies LIST] [--schemes LIST] [--clients LIST]" \
    "[--sweep LIST] [--list-keys N] [--page N]" >&2
  exit 2
}
while [ $# -gt 0 ]; do
  case "$1" in
    --big-mib) BIG_MIB=$2; shift 2 ;;
    --files) FILES=$2; shift 2 ;;
    --latencies) LATENCIES=$2; shift 2 ;;
    --schemes) SCHEMES=$2; shift 2 ;;
    --clients) CLIENTS=$2; shift 2 ;;
    --sweep) SWEEP=$2; shift 2 ;;
    --list-keys) LIST_KEYS=$2; shift 2 ;;
    --page) PAGE=$2; shift 2 ;;
    *) usage ;;
  esac
done
for scheme in $SCHEMES; do
  case "$scheme" in http | https | https-keepalive) ;; *) echo "unknown scheme $scheme" >&2; usage ;; esac
done
for client in $CLIENTS; do
  case "$client" in probefleet-s3 | awscli | rclone) ;; *) echo "unknown client $client" >&2; usage ;; esac
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

# ---- build (optimised) and peers -------------------------------------------------
if [ ! -f "$BUILD/build.ninja" ]; then
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPROBEFLEET_PYTHON="$PY" \
    >/dev/null
fi
cmake --build "$BUILD" --target probefleet-s3 list_memory >/dev/null
TOOL=$BUILD/probefleet-s3
LISTER=$BUILD/list_memory
case " $CLIENTS " in *" rclone "*)
  # shellcheck source=../scripts/lib/packages.sh
  . "$ROOT/scripts/lib/packages.sh"
  ensure_packages bench_s3 rclone ;;
esac

# Requests each client keeps in flight by default: probefleet-s3's pool, the
# AWS CLI's max_concurrent_requests, rclone's --transfers (its --checkers, 8,
# for deletions).
declare -A IN_FLIGHT=([probefleet-s3]=64 [awscli]=10 [rclone]=4)
declare -A IN_FLIGHT_DELETE=([probefleet-s3]=64 [awscli]=10 [rclone]=8)
# Parts of one large file in flight (rclone: --s3-upload-concurrency, and
# --multi-thread-streams for downloads).
declare -A IN_FLIGHT_PARTS=([probefleet-s3]=10 [awscli]=10 [rclone]=4)

# ---- data -----------------------------------------------------------------------
mkdir -p "$WORK/data/backups/vpc-big" "$WORK/data/backups/vpc-many"
head -c "$((BIG_MIB * 1024 * 1024))" /dev/urandom >"$WORK/data/backups/vpc-big/big.bin"
for i in $(seq -w 1 "$FILES"); do head -c 4096 /dev/urandom >"$WORK/data/backups/vpc-many/f$i.dat"; done
sync

# ---- the server ----------------------------------------------------------------
world() { "$PY" -c "import json,sys; w=json.load(open('$WORK/world.json')); print(eval(sys.argv[1]))" "$1"; }
# start_server [--tls]: the sandbox, with the environment the clients read
# pointed at it.
start_server() {
  rm -f "$WORK/port" "$WORK/world.json"
  "$PY" "$ROOT/tests/sandbox/sandbox.py" "$@" --port-file "$WORK/port" \
    --world-out "$WORK/world.json" >"$WORK/sandbox.log" 2>&1 &
  SB_PID=$!
  for _ in $(seq 200); do [ -s "$WORK/port" ] && break; sleep 0.1; done
  [ -s "$WORK/port" ] || { echo "the sandbox did not start:" >&2; tail "$WORK/sandbox.log" >&2; exit 1; }
  ENDPOINT=$(cat "$WORK/port")
  CONTROL_ENDPOINT=$ENDPOINT
  BUCKET=$(world "w['bucket']")
  export AWS_ACCESS_KEY_ID=$(world "w['user']['access_key_id']")
  export AWS_SECRET_ACCESS_KEY=$(world "w['user']['secret_access_key']")
  CA_BUNDLE=$(world "w.get('ca_bundle') or ''")
}
# start_front: a plain sandbox behind the keep-alive https front.
start_front() {
  start_server
  FRONT=$WORK/front
  mkdir -p "$FRONT"
  { read -r ENDPOINT; read -r CA_BUNDLE; } < <("$ROOT/bench/https_front.sh" start "$CONTROL_ENDPOINT" "$FRONT")
}
# Every client verifies the server's certificate (over https).
point_clients() {
  export AWS_ENDPOINT_URL=$ENDPOINT
  if [ -n "$CA_BUNDLE" ]; then export AWS_CA_BUNDLE=$CA_BUNDLE; else unset AWS_CA_BUNDLE; fi
  AWSCLI=("$PY" -m awscli --endpoint-url "$ENDPOINT")
  # rclone takes the CA on its command line; its SDK fails on AWS_CA_BUNDLE.
  RCLONE=(env -u AWS_CA_BUNDLE rclone --config "$WORK/empty" ${CA_BUNDLE:+--ca-cert "$CA_BUNDLE"})
  export RCLONE_CONFIG_BENCH_TYPE=s3 RCLONE_CONFIG_BENCH_PROVIDER=Other \
    RCLONE_CONFIG_BENCH_ENDPOINT=$ENDPOINT RCLONE_CONFIG_BENCH_REGION=us-east-1 \
    RCLONE_CONFIG_BENCH_ACCESS_KEY_ID=$AWS_ACCESS_KEY_ID \
    RCLONE_CONFIG_BENCH_SECRET_ACCESS_KEY=$AWS_SECRET_ACCESS_KEY
}
stop_server() {
  if [ -n "$FRONT" ]; then "$ROOT/bench/https_front.sh" stop "$FRONT"; FRONT=; fi
  kill "$SB_PID" 2>/dev/null || true
  wait "$SB_PID" 2>/dev/null || true
  SB_PID=
}
: >"$WORK/empty"
export AWS_REGION=us-east-1 AWS_DEFAULT_REGION=us-east-1 AWS_EC2_METADATA_DISABLED=true
export AWS_CONFIG_FILE=$WORK/empty AWS_SHARED_CREDENTIALS_FILE=$WORK/empty
export NO_PROXY=127.0.0.1 no_proxy=127.0.0.1
unset HTTP_PROXY HTTPS_PROXY http_proxy https_proxy AWS_PROFILE AWS_DEFAULT_PROFILE || true
control() {
  curl -sf ${CA_BUNDLE:+--cacert "$CA_BUNDLE"} -X POST -H 'Content-Type: application/json' \
    -d "$2" "$CONTROL_ENDPOINT/_sandbox/$1" >/dev/null
}

TICK=$(getconf CLK_TCK)
ticks() { awk '{ t += $14 + $15 } END { print t + 0 }' "$@" 2>/dev/null || echo 0; }
sandbox_ticks() { ticks "/proc/$SB_PID/stat"; }
front_ticks() {
  [ -n "$FRONT" ] || { echo 0; return; }
  local master
  master=$(cat "$FRONT/nginx.pid")
  # shellcheck disable=SC2046
  ticks "/proc/$master/stat" $(pgrep -P "$master" | sed 's|.*|/proc/&/stat|')
}
# The sandbox logs one line per request it answers: the count for runs
# without the front.
sandbox_requests() { grep -c '" [0-9][0-9][0-9] ' "$WORK/sandbox.log" || true; }

TABLE=$WORK/table
printf '%-8s %-18s %-13s %4s %7s %7s %7s %8s %8s %8s %8s %6s %5s %5s %7s\n' \
  scheme what client lat cpu_s user_s sys_s peak_MiB wall_s srv_cpu front_cpu requests conns fullhs lat_bnd \
  >"$TABLE"

# measure WHAT CLIENT IN_FLIGHT CMD...: runs CMD once and appends its row.
measure() {
  local what=$1 client=$2 in_flight=$3; shift 3
  local sb0 fr0 sb1 fr1 req0=0 counts="- - -"
  [ -z "$FRONT" ] || "$ROOT/bench/https_front.sh" count "$FRONT" >/dev/null
  [ -n "$FRONT" ] || req0=$(sandbox_requests)
  sb0=$(sandbox_ticks) fr0=$(front_ticks)
  /usr/bin/time -f "%U %S %e %M" -o "$WORK/time" "$@" >"$WORK/out" 2>"$WORK/err" || {
    echo "$what with $client failed:" >&2; tail -5 "$WORK/err" >&2; exit 1; }
  sb1=$(sandbox_ticks) fr1=$(front_ticks)
  if [ -n "$FRONT" ]; then
    # "requests R connections C full_handshakes F"
    counts=$("$ROOT/bench/https_front.sh" count "$FRONT" | awk '{ print $2, $4, $6 }')
  else
    counts="$(($(sandbox_requests) - req0)) - -"
  fi
  read -r user sys wall rss <"$WORK/time"
  read -r requests conns fullhs <<<"$counts"
  awk -v sc="$SCHEME" -v w="$what" -v c="$client" -v lat="$LAT" -v u="$user" -v s="$sys" \
    -v wall="$wall" -v m="$rss" -v sb=$((sb1 - sb0)) -v fr=$((fr1 - fr0)) -v t="$TICK" \
    -v rq="$requests" -v cn="$conns" -v fh="$fullhs" -v fl="$in_flight" 'BEGIN {
      printf "%-8s %-18s %-13s %4d %7.2f %7.2f %7.2f %8.1f %8.2f %8.2f %8.2f %6s %5s %5s %7.2f\n",
        substr(sc, 1, 8), w, c, lat, u + s, u, s, m / 1024, wall, sb / t, fr / t, rq, cn, fh,
        rq * lat / 1000 / fl }' | tee -a "$TABLE"
}

BIG=backups/vpc-big/big.bin
MANY=backups/vpc-many
# The client's copy of the data lives under PREFIX/ in the bucket
# (probefleet-s3 keeps the design's layout, backups/...).
prefix() { case "$1" in probefleet-s3) echo backups ;; *) echo "$1" ;; esac; }

upload_big() {
  case "$1" in
    probefleet-s3) measure "upload-${BIG_MIB}MiB" "$1" "${IN_FLIGHT_PARTS[$1]}" "$TOOL" upload-file "$BUCKET" "$BIG" ;;
    awscli) measure "upload-${BIG_MIB}MiB" "$1" "${IN_FLIGHT_PARTS[$1]}" "${AWSCLI[@]}" s3 cp --only-show-errors \
      "$BIG" "s3://$BUCKET/awscli/vpc-big/big.bin" ;;
    rclone) measure "upload-${BIG_MIB}MiB" "$1" "${IN_FLIGHT_PARTS[$1]}" "${RCLONE[@]}" copy backups/vpc-big \
      "bench:$BUCKET/rclone/vpc-big" ;;
  esac
}
download_big() {
  local into=$WORK/down-$1
  case "$1" in
    probefleet-s3) measure "download-${BIG_MIB}MiB" "$1" "${IN_FLIGHT_PARTS[$1]}" "$TOOL" download "$BUCKET" \
      vpc-big --target "$into" ;;
    awscli) measure "download-${BIG_MIB}MiB" "$1" "${IN_FLIGHT_PARTS[$1]}" "${AWSCLI[@]}" s3 cp --only-show-errors \
      "s3://$BUCKET/awscli/vpc-big/big.bin" "$into/vpc-big/big.bin" ;;
    rclone) measure "download-${BIG_MIB}MiB" "$1" "${IN_FLIGHT_PARTS[$1]}" "${RCLONE[@]}" copy \
      "bench:$BUCKET/rclone/vpc-big" "$into/vpc-big" ;;
  esac
  cmp "$into/vpc-big/big.bin" "$BIG"
  rm -rf "$into"
}
# upload_many CLIENT [IN_FLIGHT]: a non-default in-flight count is passed on
# (probefleet-s3 only) and named in the row.
upload_many() {
  local flight=${2:-${IN_FLIGHT[$1]}} what="upload-${FILES}x4K"
  [ -z "${2:-}" ] || what="upload-x4K-c$2"
  case "$1" in
    probefleet-s3) measure "$what" "$1" "$flight" "$TOOL" upload-folder "$BUCKET" "$MANY" \
      ${2:+--concurrency "$2"} ;;
    awscli) measure "$what" "$1" "$flight" "${AWSCLI[@]}" s3 cp --only-show-errors --recursive \
      "$MANY" "s3://$BUCKET/awscli/vpc-many" ;;
    rclone) measure "$what" "$1" "$flight" "${RCLONE[@]}" copy "$MANY" "bench:$BUCKET/rclone/vpc-many" ;;
  esac
}
download_many() {
  local flight=${2:-${IN_FLIGHT[$1]}} what="download-${FILES}x4K" into=$WORK/down-$1
  [ -z "${2:-}" ] || what="download-x4K-c$2"
  case "$1" in
    probefleet-s3) measure "$what" "$1" "$flight" "$TOOL" download "$BUCKET" vpc-many \
      --target "$into" ${2:+--concurrency "$2"} ;;
    awscli) measure "$what" "$1" "$flight" "${AWSCLI[@]}" s3 cp --only-show-errors --recursive \
      "s3://$BUCKET/awscli/vpc-many" "$into/vpc-many" ;;
    rclone) measure "$what" "$1" "$flight" "${RCLONE[@]}" copy "bench:$BUCKET/rclone/vpc-many" \
      "$into/vpc-many" ;;
  esac
  [ "$(find "$into/vpc-many" -type f | wc -l)" -eq "$FILES" ]
  rm -rf "$into"
}
delete_many() {
  local p
  p=$(prefix "$1")
  case "$1" in
    probefleet-s3) measure "delete-${FILES}keys" "$1" "${IN_FLIGHT_DELETE[$1]}" "$TOOL" delete-folder \
      "$BUCKET" "$p/vpc-many" ;;
    awscli) measure "delete-${FILES}keys" "$1" "${IN_FLIGHT_DELETE[$1]}" "${AWSCLI[@]}" s3 rm \
      --only-show-errors --recursive "s3://$BUCKET/$p/vpc-many/" ;;
    rclone) measure "delete-${FILES}keys" "$1" "${IN_FLIGHT_DELETE[$1]}" "${RCLONE[@]}" delete \
      "bench:$BUCKET/$p/vpc-many" ;;
  esac
}
# Not measured: the big objects go before the next round.
forget_big() {
  local p
  for client in $CLIENTS; do
    p=$(prefix "$client")
    "$TOOL" delete-folder "$BUCKET" "$p/vpc-big" >/dev/null 2>&1
  done
}

# warm_up: one untimed round trip of the large file, so that the first
# client measured does not pay for the server's first growth in memory.
warm_up() {
  [ "$BIG_MIB" -gt 0 ] || return 0
  (cd "$WORK/data" && "$TOOL" upload-file "$BUCKET" "$BIG" && "$TOOL" delete-folder "$BUCKET" \
    backups/vpc-big) >/dev/null 2>&1
}

# round: every transfer with every client at latency $LAT. Each client finds
# the large file in the page cache, as the one before it left it.
round() {
  control faults "{\"latency_ms\": $LAT}"
  echo "## $SCHEME, ${LAT} ms before each S3 answer; load average $(cut -d' ' -f1-3 /proc/loadavg)"
  cd "$WORK/data"
  if [ "$BIG_MIB" -gt 0 ]; then
    for c in $CLIENTS; do cat "$BIG" >/dev/null; upload_big "$c"; done
    for c in $CLIENTS; do download_big "$c"; done
    forget_big
  fi
  for c in $CLIENTS; do upload_many "$c"; done
  for c in $CLIENTS; do download_many "$c"; done
  for c in $CLIENTS; do delete_many "$c"; done
  cd "$WORK"
}

echo "probefleet-s3: $TOOL"
echo "awscli: $("$PY" -m awscli --version 2>&1)"
case " $CLIENTS " in *" rclone "*) echo "rclone: $(rclone version | head -1)" ;; esac
echo "$(nproc) CPUs, shared by the clients, the sandbox and the front"
echo "uploads: probefleet-s3 and the AWS CLI send aws-chunked bodies with a CRC32 trailer over"
echo "https (the CLI signs the payload's SHA-256 over http); rclone sends Content-MD5"
echo
for SCHEME in $SCHEMES; do
  case "$SCHEME" in
    https) start_server --tls ;;
    https-keepalive) start_front ;;
    *) start_server ;;
  esac
  point_clients
  warm_up
  echo "# over $SCHEME: $ENDPOINT, bucket $BUCKET"
  for LAT in $LATENCIES; do round; done
  if [ -n "$SWEEP" ]; then
    echo "## probefleet-s3's folder transfers at ${LAT} ms, by requests in flight"
    cd "$WORK/data"
    for n in $SWEEP; do
      upload_many probefleet-s3 "$n"
      download_many probefleet-s3 "$n"
      "$TOOL" delete-folder "$BUCKET" "$MANY" >/dev/null 2>&1
    done
    cd "$WORK"
  fi
  stop_server
  echo
done

echo "== probefleet-s3 against each peer, per row (lower is better for probefleet-s3)"
awk 'NR > 1 { k = $1 "|" $2 "|" $4; cpu[k "|" $3] = $5; wall[k "|" $3] = $9; rss[k "|" $3] = $8
             if (!(k in seen)) { seen[k] = 1; order[++n] = k } }
  END {
    printf "%-8s %-20s %4s %8s %8s %11s %10s %8s\n", "scheme", "what", "lat", "cpu/cli", "wall/cli",
      "wall/rclone", "cpu/rclone", "peak_MiB"
    for (i = 1; i <= n; i++) {
      k = order[i]; split(k, p, "|")
      ours = k "|probefleet-s3"; cli = k "|awscli"; rc = k "|rclone"
      if (!(ours in cpu)) continue
      printf "%-8s %-20s %4s %8s %8s %11s %10s %8.1f\n", p[1], p[2], p[3],
        (cli in cpu && cpu[cli] > 0) ? sprintf("%.3f", cpu[ours] / cpu[cli]) : "-",
        (cli in wall && wall[cli] > 0) ? sprintf("%.3f", wall[ours] / wall[cli]) : "-",
        (rc in wall && wall[rc] > 0) ? sprintf("%.3f", wall[ours] / wall[rc]) : "-",
        (rc in cpu && cpu[rc] > 0) ? sprintf("%.3f", cpu[ours] / cpu[rc]) : "-", rss[ours]
    } }' "$TABLE"

# ---- listing memory ----------------------------------------------------------------
[ "$LIST_KEYS" -gt 0 ] || exit 0
echo
start_server
point_clients
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
