#!/usr/bin/env bash
# Installs what probefleet needs to build and test, and finds a python3 that
# can run the local AWS stand-in (moto's server) and boto3.
# Idempotent: when everything is present it changes nothing.
# Prints the chosen interpreter's path as its last line on standard output.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"

packages=(build-essential cmake ninja-build pkg-config git openssl ca-certificates
  libcurl4-openssl-dev libssl-dev libpugixml-dev libspdlog-dev libfmt-dev
  nlohmann-json3-dev zlib1g-dev libisal-dev libgtest-dev libgmock-dev python3 python3-venv
  dpkg-dev file tmux ccache)

. "$here/scripts/lib/packages.sh"
ensure_packages setup "${packages[@]}"
# Debian's chromium opens the run report's page in the browser test (which is
# skipped without it): installed when it can be, never a reason to fail.
if ! command -v chromium >/dev/null 2>&1; then
  ensure_packages setup chromium || echo "setup: chromium could not be installed" >&2
fi

# A python3 with moto's server (Flask included) and boto3: the one on PATH,
# pyenv's versions, the system one, and finally the project's own venv.
has_moto() { "$1" -c 'import moto.server, flask, boto3, botocore' >/dev/null 2>&1; }
candidates=()
[ -n "${PROBEFLEET_PYTHON:-}" ] && candidates+=("$PROBEFLEET_PYTHON")
command -v python3 >/dev/null 2>&1 && candidates+=("$(command -v python3)")
for d in "$HOME"/.pyenv/versions/*/bin/python3 /root/.pyenv/versions/*/bin/python3; do
  [ -x "$d" ] && candidates+=("$d")
done
candidates+=(/usr/bin/python3 "$here/.venv/bin/python3")
for c in "${candidates[@]}"; do
  if [ -x "$c" ] && has_moto "$c"; then
    echo "$c"
    exit 0
  fi
done

echo "setup: no python3 with moto found; creating $here/.venv" >&2
/usr/bin/python3 -m venv "$here/.venv" >&2
"$here/.venv/bin/pip" install --quiet 'moto[server]' boto3 awscli >&2
has_moto "$here/.venv/bin/python3"
echo "$here/.venv/bin/python3"
