#!/usr/bin/env bash
# Soak of the fleet against the sandbox's realistic AWS profile: deploys,
# reruns and reverts 200 entries for three seeds with 2 % 5xx answers and
# 2 % dropped connections (see tests/soak/fleet_soak.py for the options).
#   scripts/soak.sh [build-dir] [fleet_soak.py options...]
exec "$(dirname "$0")/fleet_py.sh" tests/soak/fleet_soak.py "$@"
