#!/usr/bin/env python3
"""TLS connections of a fleet run: a deployment and a revert of N entries
under the sandbox's realistic AWS profile (time-compressed), with every
AWS call going through the keep-alive https front
(bench/https_front.sh) before the sandbox, as calls to AWS go over https to
servers that keep connections alive. Prints, per phase and per service, the
requests sent, the connections opened, how many of their TLS handshakes were
full ones (the others resumed a session), and the most requests that were in
flight at once, which is what a shared pool of connections needs.

    fleet_handshakes.py --binary build/probefleet --python PY [--entries 200]
                        [--latency-ms 30] [--time-scale 0.05]
"""

from __future__ import annotations

import argparse
import collections
import os
import shutil
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "soak"))
import fleetlib  # noqa: E402

FRONT = os.path.join(fleetlib.ROOT, "bench", "https_front.sh")


def read_log(path: str, start: int) -> list[list[str]]:
    """The front's log lines from line `start` on, split into fields:
    connection, request number on it, "r" if resumed, service, end, duration."""
    with open(path) as log:
        return [line.split() for line in log.readlines()[start:]]


def summarise(lines: list[list[str]]) -> dict:
    by_service: dict = collections.defaultdict(lambda: {"requests": 0, "connections": 0, "full": 0,
                                                        "spans": []})
    for connection, number, reused, service, end, took in lines:
        row = by_service[service]
        row["requests"] += 1
        if number == "1":
            row["connections"] += 1
            row["full"] += reused != "r"
        row["spans"].append((float(end) - float(took), float(end)))
    for row in by_service.values():
        events = sorted([(s, 1) for s, _ in row["spans"]] + [(e, -1) for _, e in row["spans"]],
                        key=lambda event: (event[0], event[1]))
        peak = now = 0
        for _, step in events:
            now += step
            peak = max(peak, now)
        row["peak"] = peak
        del row["spans"]
    return dict(by_service)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--binary", required=True)
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--entries", type=int, default=200)
    parser.add_argument("--latency-ms", type=int, default=30)
    parser.add_argument("--time-scale", type=float, default=0.05)
    options = parser.parse_args()
    options.binary = os.path.abspath(options.binary)

    work = fleetlib.make_work()
    sandbox = fleetlib.Sandbox(options.python, fleetlib.fleet_world(options.entries), work,
                               ["--profile", "aws", "--time-scale", repr(options.time_scale)])
    front_dir = os.path.join(work, "front")
    os.makedirs(front_dir)
    try:
        started = subprocess.run([FRONT, "start", sandbox.endpoint, front_dir], check=True,
                                 capture_output=True, text=True).stdout.split()
        url, ca_bundle = started[0], started[1]
        sandbox.control("POST", "faults", {"latency_ms": options.latency_ms})
        program = fleetlib.Program(options.binary, sandbox, options.time_scale)
        # Metadata and the address echo stay on the sandbox itself.
        program.env.update({"AWS_ENDPOINT_URL": url, "AWS_CA_BUNDLE": ca_bundle})
        log = os.path.join(front_dir, "access.log")
        print(f"probefleet: {options.binary}")
        print(f"{options.entries} entries, {options.latency_ms} ms before each answer, "
              f"front {url}")
        print(f"{'phase':8} {'service':8} {'requests':>8} {'conns':>6} {'full_hs':>8} "
              f"{'peak_in_flight':>14} {'wall_s':>7}")
        for phase, revert in (("deploy", False), ("revert", True)):
            start = sum(1 for _ in open(log)) if os.path.exists(log) else 0
            status, wall, err = program.run(revert=revert)
            if status != 0:
                fleetlib.fail(f"{phase}: exit {status}: {err[-1500:]}")
            rows = summarise(read_log(log, start))
            total = {"requests": 0, "connections": 0, "full": 0}
            for service in sorted(rows):
                row = rows[service]
                for key in total:
                    total[key] += row[key]
                print(f"{phase:8} {service:8} {row['requests']:8d} {row['connections']:6d} "
                      f"{row['full']:8d} {row['peak']:14d}")
            print(f"{phase:8} {'all':8} {total['requests']:8d} {total['connections']:6d} "
                  f"{total['full']:8d} {'':14} {wall:7.1f}")
    finally:
        subprocess.run([FRONT, "stop", front_dir], check=False)
        sandbox.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
