#!/usr/bin/env python3
"""Fleet benchmark against the local sandbox. Prints, in one run:

1. Scaling with latency: with a fixed latency added to every AWS call and
   nothing else, wall(N entries) / wall(1 entry) for deploy and revert, with
   the sandbox's CPU time beside each (it must stay well under the wall time
   for the latency, not the sandbox, to decide).
2. Requests per entry for a fresh deployment, a rerun and a revert of those
   N entries, counted from the sandbox's journal, next to what the design's
   own algorithm sends per entry when every wait succeeds at its first look.
3. The wall time of a deployment of M entries under the realistic AWS profile
   (per-action throttling, eventual consistency, slow state changes), next to
   the lower bound its launch bucket and state changes impose.

    fleet_bench.py --binary build/probefleet --python PY [--latency-ms 1000]
                   [--entries 100] [--profile-entries 200] [--time-scale 1]
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import time

# The soak and this benchmark share the code that runs a fleet on the sandbox.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "soak"))
import fleetlib  # noqa: E402

# What the design's algorithm sends per entry when every wait succeeds at once:
# deploy: DescribeInstances (lookup), RunInstances, DescribeInstanceStatus
# (waiter), DescribeInstanceStatus (running?), DescribeInstances (addresses),
# CreateTags, CreateNetworkInterface, AttachNetworkInterface, DescribeInstances
# (second address); rerun: the lookup, DescribeInstanceStatus and two
# DescribeInstances; revert: the lookup, DetachNetworkInterface, one look at
# the attachment, DeleteNetworkInterface, TerminateInstances, one waiter poll.
DESIGN_PER_ENTRY = {"deploy": 9, "rerun": 4, "revert": 6}


def timed_runs(options, entries: int) -> dict:
    """Deploy, rerun and revert `entries` entries with the fixed latency."""
    work = fleetlib.make_work()
    sandbox = fleetlib.Sandbox(options.python, fleetlib.fleet_world(entries), work)
    try:
        sandbox.control("POST", "faults", {"latency_ms": options.latency_ms})
        program = fleetlib.Program(options.binary, sandbox)
        result = {}
        for phase, revert in (("deploy", False), ("rerun", False), ("revert", True)):
            sandbox.control("DELETE", "journal")
            cpu = sandbox.cpu_seconds()
            status, wall, err = program.run(revert=revert)
            if status != 0:
                fleetlib.fail(f"{phase} of {entries} entries: exit {status}: {err[-1500:]}")
            journal = sandbox.control("GET", "journal")
            ec2 = [e for e in journal if e["service"] == "ec2"]
            result[phase] = {"wall": wall, "cpu": sandbox.cpu_seconds() - cpu,
                             "ec2_requests": len(ec2), "before_change": before_change(journal)}
        return result
    finally:
        sandbox.stop()
        shutil.rmtree(work, ignore_errors=True)


def changes(entry: dict) -> bool:
    """Whether a request changes the account (a dry run does not)."""
    action = entry["action"]
    if entry["service"] not in ("ec2", "iam", "s3") or entry["params"].get("DryRun") == "true":
        return False
    # The run's lock on its VPC changes nothing of the account's resources.
    if entry["service"] == "s3" and entry["params"].get("Key", "").startswith("locks/"):
        return False
    return not action.startswith(("Describe", "Get", "List", "Head"))


def before_change(journal: list) -> dict:
    """The requests a run sends before its first change, and the seconds from
    its first request to that change: what its checks cost."""
    first = next((i for i, e in enumerate(journal) if changes(e)), len(journal))
    if not journal or first == 0:
        return {"requests": 0, "seconds": 0.0}
    end = journal[first]["at"] if first < len(journal) else journal[-1]["at"]
    return {"requests": first, "seconds": end - journal[0]["at"]}


def realistic(options) -> dict:
    work = fleetlib.make_work()
    sandbox = fleetlib.Sandbox(options.python, fleetlib.fleet_world(options.profile_entries), work,
                               ["--profile", "aws", "--time-scale", repr(options.time_scale)])
    try:
        profile = sandbox.control("GET", "profile")
        program = fleetlib.Program(options.binary, sandbox, options.time_scale)
        args = [a for a in program.args() if a not in ("--ec2_role", "default")]
        started = time.monotonic()
        done = subprocess.run(args, cwd=work, env=program.env, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE, text=True)
        wall = time.monotonic() - started
        if done.returncode != 0 or program.recorded() != options.profile_entries:
            fleetlib.fail(f"realistic deploy: exit {done.returncode}: {done.stderr[-1500:]}")
        counts = fleetlib.journal_counts(sandbox)
        return {"wall": wall, "bound": lower_bound(profile, options.profile_entries),
                "requests": counts["requests"], "throttled": counts["throttled"]}
    finally:
        sandbox.stop()
        shutil.rmtree(work, ignore_errors=True)


def lower_bound(profile: dict, entries: int) -> float:
    """Seconds no launcher can beat: the run's new security groups and key
    pair must become visible before a launch may name them, then the last
    RunInstances the action's bucket admits, then that instance's pending
    time and status checks, all on the profile's time scale. (The mutating
    buckets hold 200 tokens each, enough for one request per entry of every
    other action here.)"""
    throttle = profile.get("throttle") or {}
    bucket = throttle.get("resource_intensive", {"burst": 50, "refill": 5})
    launched = throttle.get("instances_launched", {"burst": 1000, "refill": 2})
    last_launch = max(0.0, (entries - bucket["burst"]) / bucket["refill"],
                      (entries - launched["burst"]) / launched["refill"])
    return (profile["consistency_s"] + last_launch + profile["pending_s"] +
            profile["status_init_s"]) * profile["time_scale"]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--binary", required=True)
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--latency-ms", type=int, default=1000)
    parser.add_argument("--entries", type=int, default=100)
    parser.add_argument("--profile-entries", type=int, default=200)
    # AWS's own pace by default: the client's rate limiter learns in real
    # seconds, so a compressed profile would overstate its ramp-up.
    parser.add_argument("--time-scale", type=float, default=1.0)
    parser.add_argument("--skip-realistic", action="store_true",
                        help="leave out the realistic profile's deployment")
    options = parser.parse_args()

    one = timed_runs(options, 1)
    many = timed_runs(options, options.entries)
    n = options.entries
    print(f"== scaling with {options.latency_ms} ms added to every AWS call")
    print(f"{'phase':8} {'wall(1)':>9} {'wall(' + str(n) + ')':>10} {'ratio':>6}  "
          f"{'sandbox CPU(1)':>14} {'sandbox CPU(' + str(n) + ')':>16}")
    for phase in ("deploy", "revert"):
        a, b = one[phase], many[phase]
        print(f"{phase:8} {a['wall']:8.1f}s {b['wall']:9.1f}s {b['wall'] / a['wall']:6.2f}  "
              f"{a['cpu']:13.1f}s {b['cpu']:15.1f}s")
    print(f"\n== EC2 requests per entry ({n} entries, counted from the journal)")
    print(f"{'phase':8} {'ours':>7} {'design':>7}  (ours in all)")
    for phase in ("deploy", "rerun", "revert"):
        total = many[phase]["ec2_requests"]
        print(f"{phase:8} {total / n:7.2f} {DESIGN_PER_ENTRY[phase]:7d}  ({total})")

    print(f"\n== before the first change, {options.latency_ms} ms per call "
          f"(requests, and seconds from the first request)")
    for label, runs in (("1 entry", one), (f"{n} entries", many)):
        for phase in ("deploy", "rerun"):
            b = runs[phase]["before_change"]
            print(f"{label:>12} {phase:8} {b['requests']:5d} requests {b['seconds']:7.1f} s")

    if options.skip_realistic:
        return
    result = realistic(options)
    print(f"\n== {options.profile_entries} entries under the realistic profile "
          f"(time scale {options.time_scale})")
    print(f"wall {result['wall']:.1f} s, lower bound {result['bound']:.1f} s, "
          f"ratio {result['wall'] / result['bound']:.2f} (goal 1.10); "
          f"{result['requests']} requests, {result['throttled']} throttled")


if __name__ == "__main__":
    main()
