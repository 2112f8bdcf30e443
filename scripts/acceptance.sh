#!/usr/bin/env bash
# Runs the acceptance suite: the whole workflow against an AWS account (or,
# with --sandbox, against the local sandbox), in a VPC and bucket of its own
# that it removes at the end. It refuses to start unless
# PROBEFLEET_ACCEPTANCE=1 is set. Needs the programs built (build/ or
# --build DIR) and a python3 with boto3.
#   PROBEFLEET_ACCEPTANCE=1 scripts/acceptance.sh [--sandbox] [--region R] [--profile P] ...
#   PROBEFLEET_ACCEPTANCE=1 scripts/acceptance.sh --cleanup RUN_ID
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
python="${PROBEFLEET_PYTHON:-python3}"
case " $* " in
  # The sandbox needs moto's server: take the interpreter the tests use.
  *" --sandbox "*) [ -n "${PROBEFLEET_PYTHON:-}" ] || python="$("$here/scripts/setup.sh" | tail -n 1)" ;;
esac
exec "$python" "$here/tests/acceptance/acceptance.py" "$@"
