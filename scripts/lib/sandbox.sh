# Sourced by the scripts that run the programs against the local sandbox.
#   start_sandbox WORK PYTHON [sandbox.py options...]
# starts the sandbox with signature checking on, writes WORK/test_config.json
# from its world, points every AWS variable at it (an empty config file keeps
# ~/.aws out), and sets `endpoint`, `bucket` and `sandbox_pid`. `world EXPR`
# evaluates EXPR on the world document `d`. The caller stops the sandbox
# (kill "$sandbox_pid").
start_sandbox() {
  local work="$1" python="$2"
  shift 2
  sandbox_python="$python"
  sandbox_work="$work"
  "$python" "$(dirname "${BASH_SOURCE[0]}")/../../tests/sandbox/sandbox.py" --auth \
    --port-file "$work/port" --world-out "$work/world.json" "$@" >"$work/sandbox.log" 2>&1 &
  sandbox_pid=$!
  for _ in $(seq 1 300); do [ -s "$work/port" ] && break; sleep 0.1; done
  if [ ! -s "$work/port" ]; then
    echo "the sandbox did not start" >&2
    cat "$work/sandbox.log" >&2
    return 1
  fi
  endpoint="$(cat "$work/port")"
  "$python" -c "import json; d=json.load(open('$work/world.json')); json.dump(d['test_config'], open('$work/test_config.json','w'), indent=2)"
  : >"$work/aws-config"
  export AWS_CONFIG_FILE="$work/aws-config" AWS_SHARED_CREDENTIALS_FILE="$work/aws-config"
  export AWS_ENDPOINT_URL="$endpoint" AWS_EC2_METADATA_SERVICE_ENDPOINT="$endpoint/"
  export PROBEFLEET_ECHO_URL="$endpoint/echo"
  AWS_REGION="$(world "d['region']")"
  export AWS_REGION AWS_DEFAULT_REGION="$AWS_REGION"
  AWS_ACCESS_KEY_ID="$(world "d['user']['access_key_id']")"
  AWS_SECRET_ACCESS_KEY="$(world "d['user']['secret_access_key']")"
  export AWS_ACCESS_KEY_ID AWS_SECRET_ACCESS_KEY
  unset AWS_PROFILE AWS_DEFAULT_PROFILE AWS_SESSION_TOKEN
  bucket="$(world "d['bucket']")"
}

world() {
  "$sandbox_python" -c "import json,sys; d=json.load(open('$sandbox_work/world.json')); print(eval(sys.argv[1]))" "$1"
}
