#!/usr/bin/env bash
# The workflow end to end through the installed programs: `cmake --install`
# into a fresh prefix, then against the sandbox (signature checking on):
#   1. probefleet deploys with the tests option; each instance's user data, as
#      EC2 gives it back, is the test script rendered for its entry;
#   2. the result and log objects are put in the bucket as an instance leaves
#      them (`aws s3 cp`), and probefleet-results gives verdict 0 when every
#      gateway passed and 1 when one failed or is missing, in both forms;
#   3. probefleet-image answers what the AWS CLI's own lookups give;
#   4. probefleet reverts and leaves nothing.
# The AWS CLI (botocore) is the independent reader of the sandbox's state.
#   tests/scripts/installed_workflow.sh [build-dir]
set -euo pipefail
here="$(cd "$(dirname "$0")/../.." && pwd)"
build="$(realpath -m "${1:-$here/build}")"
python="$("$here/scripts/setup.sh" | tail -n 1)"

work="$(mktemp -d /tmp/probefleet-installed.XXXXXX)"
cleanup() { [ -n "${sandbox_pid:-}" ] && kill "$sandbox_pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
bin="$work/prefix/bin"
. "$here/scripts/lib/sandbox.sh"
start_sandbox "$work" "$python"
aws() { "$python" -m awscli --endpoint-url "$endpoint" --output json "$@"; }
fail() { echo "installed_workflow: $*" >&2; exit 1; }
cd "$work"
# The sandbox answers at once: the programs' pauses at a twentieth of AWS's.
export PROBEFLEET_TIME_SCALE=0.05

echo "== deploy with --run_tag wf1 (installed $bin/probefleet)"
"$bin/probefleet" --test_config test_config.json --output_test_config out.json --backup_folder keys \
  --s3_bucket "$bucket" --ec2_role default --run_tag wf1 --report deploy.json
for entry in $("$python" -c "import json; print(' '.join(e['instance_id'] for e in json.load(open('deploy.json'))['entries']))"); do
  aws ec2 describe-instance-attribute --instance-id "$entry" --attribute userData >"attr-$entry.json"
done
"$python" - "$bucket" <<'PY'
import base64, glob, json, sys
bucket = sys.argv[1]
config = json.load(open("test_config.json"))
report = json.load(open("deploy.json"))
# The start-up script the instances must run, placeholders filled per entry.
template = (
    "#!/bin/bash -x\n"
    "python3.9 -m venv /home/ec2-user/python3-env\n"
    "source /home/ec2-user/python3-env/bin/activate; pip3 install corvanta-testlibs\n"
    "cd /home/ec2-user/python3-env/lib/python3.9/site-packages/corvanta_testlibs/test_ping\n"
    "cat << EOF > ./config.json\n"
    '{"ping": "www.amazon.com", "traceroute": "amazon.com", "spoke_gw": "{{spoke_gw_ip}}"}\n'
    "EOF\n"
    "source /home/ec2-user/python3-env/bin/activate; python3 -m unittest -v tests.py 2> /tmp/log.txt\n"
    "aws s3 cp /tmp/result.txt s3://{{s3_bucket}}/result-{{tag}}.txt\n"
    "aws s3 cp /tmp/log.txt s3://{{s3_bucket}}/log-{{tag}}.txt\n")
for entry, line in zip(config, report["entries"]):
    attribute = json.load(open(f"attr-{line['instance_id']}.json"))
    got = base64.b64decode(attribute["UserData"]["Value"]).decode()
    want = (template.replace("{{spoke_gw_ip}}", entry["gw_private_ip"])
            .replace("{{s3_bucket}}", bucket).replace("{{tag}}", f"{entry['gw_name']}-wf1"))
    if got != want:
        sys.exit(f"user data of {line['instance_id']} ({entry['gw_name']}) differs:\n{got}")
print(f"  the user data of all {len(config)} instances is their entry's test script")
PY

leave() {  # leave GW_NAME TEXT: what an instance's script copies to the bucket
  printf '%s\n' "$2" >result.txt
  printf 'test_ping ... ok\n' >log.txt
  aws s3 cp result.txt "s3://$bucket/result-$1-wf1.txt" >/dev/null
  aws s3 cp log.txt "s3://$bucket/log-$1-wf1.txt" >/dev/null
}
verdict() {  # verdict EXPECTED ARGS...: probefleet-results' exit status
  local status=0
  "$bin/probefleet-results" --bucket "$bucket" --run-tag wf1 "${@:2}" >verdict.out 2>verdict.err ||
    status=$?
  [ "$status" -eq "$1" ] || { cat verdict.err >&2; fail "probefleet-results ${*:2} gave $status, not $1"; }
  echo "  probefleet-results ${*:2}: $status"
}
names="$("$python" -c "import json; print(' '.join(e['gw_name'] for e in json.load(open('test_config.json'))))")"
echo "== results, per entry"
for name in $names; do leave "$name" PASS; done
verdict 0 --test-config out.json --json
"$python" -c "
import json; d = json.load(open('verdict.out'))
assert all(g['passed'] for g in d['gateways']) and len(d['gateways']) == len('$names'.split()), d"
first="${names%% *}"
leave "$first" FAIL
verdict 1 --test-config out.json
leave "$first" PASS
aws s3 rm "s3://$bucket/result-$first-wf1.txt" >/dev/null
verdict 1 --test-config out.json --json
echo "== results, one gateway"
subnet="$("$python" -c "import json; print(json.load(open('test_config.json'))[0]['private_subnet_id'])")"
leave "" PASS  # the single form's objects: result--wf1.txt and log--wf1.txt
verdict 0 --private-subnet-id "$subnet"
aws s3 rm "s3://$bucket/log--wf1.txt" >/dev/null
verdict 1 --private-subnet-id "$subnet"

echo "== image selection"
pattern='al2023-ami-2023*'
want="$(aws ec2 describe-images --owners amazon --executable-users all --no-include-deprecated \
  --filters "Name=name,Values=$pattern" --no-paginate --query 'Images[0].ImageId' --output text)"
got="$("$bin/probefleet-image" --name "$pattern" 2>/dev/null)"
[ "$got" = "$want" ] || fail "probefleet-image --name gave $got, the AWS CLI's first image is $want"
echo "  --name '$pattern': $got"
parameters() {  # the first answer page of the public Amazon Linux parameters
  aws ssm get-parameters-by-path --path /aws/service/ami-amazon-linux-latest "$@"
}
suffix=al2023-ami-kernel-6.1-x86_64
want="$(parameters --no-paginate | "$python" -c "import json,sys; print(next(p['Value'] for p in json.load(sys.stdin)['Parameters'] if p['Name'].endswith('$suffix')))")"
got="$("$bin/probefleet-image" --parameter "$suffix" 2>/dev/null)"
[ "$got" = "$want" ] || fail "probefleet-image --parameter gave $got, the parameter holds $want"
echo "  --parameter $suffix: $got"
status=0
"$bin/probefleet-image" --parameter "$pattern" >/dev/null 2>&1 || status=$?
[ "$status" -eq 1 ] || fail "a '*' in --parameter is literal: expected status 1, got $status"
echo "  --parameter '$pattern': status 1 (the '*' is a plain character)"
# Every page is read: a parameter that the AWS CLI finds only on a later page
# is found too.
later="$(parameters | "$python" -c "
import json, sys
first = {p['Name'] for p in json.loads(sys.argv[1])['Parameters']}
print(next(p['Name'].rsplit('/', 1)[1] for p in json.load(sys.stdin)['Parameters'] if p['Name'] not in first))
" "$(parameters --no-paginate)")"
want="$(parameters | "$python" -c "import json,sys; print(next(p['Value'] for p in json.load(sys.stdin)['Parameters'] if p['Name'].endswith('/$later')))")"
got="$("$bin/probefleet-image" --parameter "$later" 2>/dev/null)"
[ "$got" = "$want" ] || fail "$later is on a later page: probefleet-image gave '$got', the parameter holds $want"
echo "  --parameter $later (on a later page): $got"

echo "== revert"
"$bin/probefleet" --revert --test_config test_config.json --backup_folder keys \
  --s3_bucket "$bucket" --ec2_role default --report revert.json
"$python" - "$endpoint" <<'PY'
import json, sys, urllib.request
left = json.load(urllib.request.urlopen(sys.argv[1] + "/_sandbox/inventory"))
kinds = ("network_interfaces", "addresses", "security_groups", "key_pairs")
if left["instances"] or any(left[k] for k in kinds) or any(left["iam"].values()):
    sys.exit(f"the revert left {left}")
print("  nothing left")
PY
echo "installed_workflow: deploy, tests, results, images and revert through the installed programs"
