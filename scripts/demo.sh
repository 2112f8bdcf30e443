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
# Points the program at the sandbox exactly as one points the AWS CLI at a
# local endpoint.
. "$here/scripts/lib/sandbox.sh"
start_sandbox "$work" "$python"

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
