#!/usr/bin/env python3
"""Soak: deploy, rerun and revert a fleet against the sandbox's realistic AWS
profile (per-action throttling, eventual consistency, slow state changes)
with injected 5xx answers and dropped connections, for several seeds. Each
seed must record every entry's two addresses, launch exactly one instance
per entry over all runs, launch nothing on the rerun, and leave nothing
after the revert. Prints one line of figures per seed; exits 1 on a miss.

    fleet_soak.py --binary build/probefleet --python PY [--entries 200]
                  [--seeds 1,2,3] [--time-scale 0.1] [--error-rate 0.02]
                  [--drop-rate 0.02]
"""

from __future__ import annotations

import argparse
import shutil
import sys

import fleetlib


def soak(options, seed: int) -> list[str]:
    """One seed; returns what went wrong (nothing when all held)."""
    work = fleetlib.make_work()
    sandbox = fleetlib.Sandbox(options.python, fleetlib.fleet_world(options.entries), work,
                               ["--profile", "aws", "--time-scale", repr(options.time_scale)])
    misses = []
    try:
        sandbox.control("POST", "faults", {"error_rate": options.error_rate,
                                           "drop_rate": options.drop_rate, "seed": seed})
        program = fleetlib.Program(options.binary, sandbox, options.time_scale)
        n = len(program.world["test_config"])
        figures = {}

        status, wall, err = program.run()
        counts = fleetlib.journal_counts(sandbox)
        recorded = program.recorded()
        # While the new instance profile propagates, one launch alone tries it.
        trying = {entry["params"].get("ClientToken")
                  for entry in sandbox.control("GET", "journal?service=ec2&action=RunInstances")
                  if entry.get("error_code") == "InvalidParameterValue"}
        figures["deploy"] = f"exit {status}, {recorded}/{n} recorded, {wall:.1f} s, " \
                            f"{counts['requests']} requests ({counts['throttled']} throttled, " \
                            f"{counts['errors']} failed)"
        if status != 0 or recorded != n:
            misses.append(f"deploy: exit {status}, {recorded}/{n} recorded; stderr: {err[-1500:]}")
        if len(trying) > 1:
            misses.append(f"deploy: {len(trying)} launches were refused the new instance profile, "
                          "expected the first alone")

        sandbox.control("DELETE", "journal")
        status, wall, err = program.run()
        counts = fleetlib.journal_counts(sandbox)
        recorded = program.recorded()
        figures["rerun"] = f"exit {status}, {recorded}/{n} recorded, {counts['launches']} launched, " \
                           f"{wall:.1f} s, {counts['requests']} requests"
        if status != 0 or recorded != n or counts["launches"]:
            misses.append(f"rerun: exit {status}, {recorded}/{n} recorded, "
                          f"{counts['launches']} launched; stderr: {err[-1500:]}")

        sandbox.control("DELETE", "journal")
        status, wall, err = program.run(revert=True)
        counts = fleetlib.journal_counts(sandbox)
        inventory = sandbox.control("GET", "inventory")
        left = fleetlib.leftovers(inventory, program.world["vpc_id"])
        per_subnet = fleetlib.launches_per_subnet(inventory)
        launched = sum(per_subnet.values())
        duplicates = sum(count - 1 for count in per_subnet.values() if count > 1)
        figures["revert"] = f"exit {status}, {wall:.1f} s, {counts['requests']} requests, " \
                            f"left {left or 'nothing'}"
        figures["instances"] = f"{launched} launched in all, {duplicates} duplicates"
        if status != 0 or left:
            misses.append(f"revert: exit {status}, left {left}; stderr: {err[-1500:]}")
        if duplicates or launched != n:
            misses.append(f"{launched} instances launched for {n} entries ({duplicates} duplicates)")

        print(f"seed {seed}: " + "; ".join(f"{k}: {v}" for k, v in figures.items()), flush=True)
    finally:
        sandbox.stop()
        if not misses or not options.keep:
            shutil.rmtree(work, ignore_errors=True)
        else:
            print(f"seed {seed}: work folder kept in {work}", file=sys.stderr)
    return misses


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--binary", required=True)
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--entries", type=int, default=200)
    parser.add_argument("--seeds", default="1,2,3")
    parser.add_argument("--time-scale", type=float, default=0.1)
    parser.add_argument("--error-rate", type=float, default=0.02)
    parser.add_argument("--drop-rate", type=float, default=0.02)
    parser.add_argument("--keep", action="store_true", help="keep the work folder of a failed seed")
    options = parser.parse_args()
    print(f"soak: {options.entries} entries, realistic profile at time scale {options.time_scale}, "
          f"{options.error_rate:.0%} 5xx, {options.drop_rate:.0%} dropped connections", flush=True)
    failed = False
    for seed in [int(s) for s in options.seeds.split(",") if s]:
        for miss in soak(options, seed):
            print(f"FAIL seed {seed}: {miss}", file=sys.stderr)
            failed = True
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
