#!/usr/bin/env bash
# Shows the console as a user sees it on a terminal: a deployment against the
# sandbox (with AWS's slow transitions, time-compressed) runs in a tmux pane;
# the pane is captured while it works and after it ends. Checks that the
# progress is one line updated in place and that the summary follows; prints
# the captures.
#   tests/scripts/console_tmux.sh [dir with the probefleet binary]
set -euo pipefail
here="$(cd "$(dirname "$0")/../.." && pwd)"
bin="$(realpath -m "${1:-$here/build}")"
python="$("$here/scripts/setup.sh" | tail -n 1)"
command -v tmux >/dev/null || { echo "console_tmux: tmux is not installed" >&2; exit 1; }

work="$(mktemp -d /tmp/probefleet-tmux.XXXXXX)"
socket="probefleet-check-$$"
cleanup() {
  tmux -L "$socket" kill-server 2>/dev/null || true
  [ -n "${sandbox_pid:-}" ] && kill "$sandbox_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
. "$here/scripts/lib/sandbox.sh"
# Status checks take 120 s on AWS; at a scale of 0.05, six.
start_sandbox "$work" "$python" --profile aws --time-scale 0.05
export PROBEFLEET_TIME_SCALE=0.05

# A fresh tmux server takes this environment; the keys are typed as a user
# would type them.
tmux -L "$socket" new-session -d -s run -x 150 -y 40 -c "$work"
tmux -L "$socket" send-keys -t run \
  "$bin/probefleet --test_config test_config.json --output_test_config out.json --backup_folder keys --s3_bucket $bucket; echo \"exit=\$?\"" Enter

during=""
for _ in $(seq 1 600); do
  pane="$(tmux -L "$socket" capture-pane -p -t run)"
  if [ -z "$during" ] && grep -qE "^launching: launched [1-3]/3, .*ready [0-2]," <<<"$pane" &&
    ! grep -q "^Deployment" <<<"$pane"; then
    during="$pane"
  fi
  grep -q "^exit=" <<<"$pane" && break
  sleep 0.1
done
after="$(tmux -L "$socket" capture-pane -p -t run)"
echo "== the pane while the instances start"
sed '/^$/d' <<<"$during"
echo "== the pane once the run has ended"
sed '/^$/d' <<<"$after"

fail() { echo "console_tmux: $*" >&2; exit 1; }
[ -n "$during" ] || fail "no progress line was seen while the run worked"
grep -q "^exit=0" <<<"$after" || fail "the deployment did not succeed"
# In place: the launching counts stand on one line, not one line per change.
[ "$(grep -c "^launching:" <<<"$after")" -eq 1 ] || fail "the progress was not updated in place"
grep -q "^launching: launched 3/3, running 3, ready 3, failed 0" <<<"$after" ||
  fail "the final counts are missing"
grep -q "^Deployment done in .*: 3 entries, created 3, reused 0, failed 0" <<<"$after" ||
  fail "the summary is missing"
[ "$(grep -cE "^  subnet-[0-9a-f]+ +i-[0-9a-f]+ +[0-9.]+ +[0-9.]+ +created " <<<"$after")" -eq 3 ] ||
  fail "the summary does not list the three entries"
echo "console_tmux: progress in place and the summary, as expected"
