#!/usr/bin/env bash
# Installs the Debian package on a clean Debian 12 system and runs it there:
# a minimal bookworm root made with debootstrap (kept for the next check),
# the package installed with apt (which must find every dependency it
# declares), then --version and --help of every program and the demo's
# deployment and revert against the sandbox, which runs outside the root on
# 127.0.0.1. Needs root. Usage:
#   scripts/deb_check.sh [build-dir]      (PROBEFLEET_CHROOT: where the root lives)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$here/build-package}"
root="${PROBEFLEET_CHROOT:-/var/tmp/probefleet-bookworm}"
python="$("$here/scripts/setup.sh" | tail -n 1)"
[ "$(id -u)" -eq 0 ] || { echo "deb_check: run as root (chroot, apt)" >&2; exit 1; }

if [ ! -x "$root/usr/bin/apt-get" ]; then
  command -v debootstrap >/dev/null ||
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq debootstrap >&2
  # The machine's own Debian mirror, as apt knows it.
  mirror="$({ grep -hs '^URIs:' /etc/apt/sources.list.d/*.sources | awk '{print $2}'
              grep -hs '^deb ' /etc/apt/sources.list /etc/apt/sources.list.d/*.list | awk '{print $2}'
            } | grep -v -- '-security' | head -n 1)"
  [ -n "$mirror" ] || { echo "deb_check: no Debian mirror in the apt sources" >&2; exit 1; }
  echo "deb_check: making a clean bookworm root in $root from $mirror" >&2
  debootstrap --variant=minbase bookworm "$root" "$mirror" >&2
fi
mapfile -t debs < <("$here/scripts/package.sh" "$build")
runtime="$(printf '%s\n' "${debs[@]}" | grep -v -- '-dev_')"
echo "deb_check: package $(basename "$runtime")"
dpkg-deb -f "$runtime" Depends

work="$root/tmp/probefleet-check"
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root "$@"; }
cleanup() {
  [ -n "${sandbox_pid:-}" ] && kill "$sandbox_pid" 2>/dev/null
  in_root dpkg --purge probefleet >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
rm -rf "$work" && mkdir -p "$work"
cp /etc/resolv.conf "$root/etc/resolv.conf"
cp "$runtime" "$work/"
in_root apt-get update -qq >&2
# apt resolves the Depends from the archive: a missing or wrong one fails here
# or when the programs start below.
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
  "/tmp/probefleet-check/$(basename "$runtime")" >&2

for program in probefleet probefleet-s3 probefleet-results probefleet-image probefleet-sweep \
  probefleet-report; do
  in_root "$program" --version
  in_root "$program" --help >/dev/null
done
in_root test -f /usr/share/man/man1/probefleet.1.gz -o -f /usr/share/man/man1/probefleet.1

# The demo's deployment and revert, with the programs of the clean root.
. "$here/scripts/lib/sandbox.sh"
start_sandbox "$work" "$python"
env_args=(AWS_CONFIG_FILE=/tmp/probefleet-check/aws-config
  AWS_SHARED_CREDENTIALS_FILE=/tmp/probefleet-check/aws-config
  AWS_ENDPOINT_URL="$endpoint" AWS_EC2_METADATA_SERVICE_ENDPOINT="$endpoint/"
  PROBEFLEET_ECHO_URL="$endpoint/echo" AWS_REGION="$AWS_REGION" AWS_DEFAULT_REGION="$AWS_REGION"
  AWS_ACCESS_KEY_ID="$AWS_ACCESS_KEY_ID" AWS_SECRET_ACCESS_KEY="$AWS_SECRET_ACCESS_KEY")
in_root "${env_args[@]}" sh -c "cd /tmp/probefleet-check &&
  probefleet --test_config test_config.json --output_test_config output.json \
    --backup_folder keys --s3_bucket $bucket &&
  probefleet --revert --test_config test_config.json --backup_folder keys --s3_bucket $bucket"
"$python" - "$work/output.json" <<'PY'
import json, sys
entries = json.load(open(sys.argv[1]))
missing = [e["gw_subnet_id"] for e in entries if not (e.get("ec2_ip") and e.get("ec2_2nd_private_ip"))]
if missing:
    sys.exit(f"deb_check: no addresses recorded for {missing}")
print(f"deb_check: the installed probefleet deployed and reverted {len(entries)} entries")
PY
