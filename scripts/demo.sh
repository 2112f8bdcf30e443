#!/usr/bin/env bash
# Runs probefleet's main job against the local AWS sandbox: deploys one test
# instance per test subnet of the sandbox's VPC, shows the output test
# configuration, then reverts everything. Nothing leaves 127.0.0.1.
#   scripts/demo.sh [build-dir]
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="$(realpath -m "${1:-$here/build}")"
python="$("$here/scripts/setup.sh" | tail -n 1)"
if [ ! -x "$build/probefleet" ]; then
  cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DPROBEFLEET_PYTHON="$python" >/dev/null
  cmake --build "$build" -j "$(nproc)" --target probefleet
fi

work="$(mktemp -d /tmp/probefleet-demo.XXXXXX)"
cleanup() { [ -n "${sandbox_pid:-}" ] && kill "$sandbox_pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
"$python" "$here/tests/sandbox/sandbox.py" --auth --port-file "$work/port" \
  --world-out "$work/world.json" >"$work/sandbox.log" 2>&1 &
sandbox_pid=$!
for _ in $(seq 1 300); do [ -s "$work/port" ] && break; sleep 0.1; done
[ -s "$work/port" ] || { echo "demo: the sandbox did not start" >&2; cat "$work/sandbox.log" >&2; exit 1; }
endpoint="$(cat "$work/port")"

world() { "$python" -c "import json,sys; d=json.load(open('$work/world.json')); print(eval(sys.argv[1]))" "$1"; }
"$python" -c "import json; d=json.load(open('$work/world.json')); json.dump(d['test_config'], open('$work/test_config.json','w'), indent=2)"

# Point the program at the sandbox exactly as one points the AWS CLI at a
# local endpoint; an empty credentials file keeps ~/.aws out of it.
: >"$work/aws-config"
export AWS_CONFIG_FILE="$work/aws-config" AWS_SHARED_CREDENTIALS_FILE="$work/aws-config"
export AWS_ENDPOINT_URL="$endpoint" AWS_EC2_METADATA_SERVICE_ENDPOINT="$endpoint/"
export PROBEFLEET_ECHO_URL="$endpoint/echo"
export AWS_REGION="$(world "d['region']")" AWS_DEFAULT_REGION="$(world "d['region']")"
export AWS_ACCESS_KEY_ID="$(world "d['user']['access_key_id']")"
export AWS_SECRET_ACCESS_KEY="$(world "d['user']['secret_access_key']")"
unset AWS_PROFILE AWS_DEFAULT_PROFILE AWS_SESSION_TOKEN
bucket="$(world "d['bucket']")"

cd "$work"
echo "== deploy: $(world "len(d['test_config'])") test subnets in $(world "d['vpc_id']")"
"$build/probefleet" --test_config test_config.json --output_test_config output.json \
  --backup_folder keys --s3_bucket "$bucket" --tag_resource Owner,demo
echo "== output test configuration"
cat output.json
echo "== revert"
"$build/probefleet" --revert --test_config test_config.json --backup_folder keys \
  --s3_bucket "$bucket"
echo "== done: deployed, recorded and reverted against the sandbox at $endpoint"
