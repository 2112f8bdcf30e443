#!/usr/bin/env python3
"""The run report's page at fleet size. Deploys N entries on the sandbox under
its realistic AWS profile (one entry's instance dies while it starts, so that a
failure is drawn), keeps the run's report, then tiles its entries and its AWS activity to
a report of M entries (default 1,000) and prints, for the real report and the
tiled one: the page's size, and the time headless chromium takes to load and
lay it out (--dump-dom) and to paint it (--screenshot), next to an empty
page's times, which are chromium's own start-up.

    report_bench.py --binary build/probefleet --report-binary build/probefleet-report
                    --python PY [--entries 100] [--target 1000] [--time-scale 0.1]
                    [--keep DIR]

--keep DIR leaves both reports, their pages and screenshots in DIR.
"""

from __future__ import annotations

import argparse
import copy
import json
import os
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "soak"))
import fleetlib  # noqa: E402


def chromium() -> str:
    for name in ("chromium", "chromium-browser", "google-chrome"):
        found = shutil.which(name)
        if found:
            return found
    fleetlib.fail("no chromium found (scripts/setup.sh installs Debian's)")
    return ""


def browser_seconds(browser: str, page: str, *extra: str) -> float:
    """The best of three headless runs on `page`, in seconds."""
    best = float("inf")
    for _ in range(3):
        started = time.monotonic()
        subprocess.run([browser, "--headless", "--disable-gpu", "--no-sandbox",
                        "--host-resolver-rules=MAP * ~NOTFOUND", *extra, "file://" + page],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True,
                       timeout=120)
        best = min(best, time.monotonic() - started)
    return best


def real_run(options, work: str) -> dict:
    """A deployment of options.entries entries; returns its report."""
    sandbox = fleetlib.Sandbox(options.python, fleetlib.fleet_world(options.entries), work,
                               ["--profile", "aws", "--time-scale", repr(options.time_scale)])
    try:
        # One instance dies while it starts, as one with an unusable EBS key does.
        sandbox.control("POST", "guard", {"dying_launches": [{"subnet": "gw-007", "after_s": 2}]})
        program = fleetlib.Program(options.binary, sandbox, options.time_scale)
        report = os.path.join(work, "report.json")
        args = [a for a in program.args(extra=["--report", report]) if a not in ("--ec2_role",
                                                                                  "default")]
        subprocess.run(args, cwd=work, env=program.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        return json.load(open(report))
    finally:
        sandbox.stop()


def tiled(run: dict, target: int) -> dict:
    """`run` with its entries repeated (renamed) up to `target`, and its AWS
    activity multiplied alike: a fleet of that size as this one ran."""
    big = copy.deepcopy(run)
    entries = run["entries"]
    big["entries"] = []
    for i in range(target):
        entry = copy.deepcopy(entries[i % len(entries)])
        entry["gw_subnet_id"] += f"-{i // len(entries)}"
        big["entries"].append(entry)
    factor = target / len(entries)
    for key, values in big.get("activity", {}).items():
        big["activity"][key] = [round(v * factor) for v in values]
    for tally in big.get("aws", []):
        for key in ("requests", "retries", "throttled", "server_errors", "other_errors"):
            tally[key] = round(tally[key] * factor)
    return big


def measure(options, browser: str, run: dict, name: str, work: str) -> dict:
    report = os.path.join(work, name + ".json")
    page = os.path.join(work, name + ".html")
    json.dump(run, open(report, "w"))
    subprocess.run([options.report_binary, report, "-o", page], check=True)
    shot = os.path.join(work, name + ".png")
    return {
        "entries": len(run["entries"]),
        "bytes": os.path.getsize(page),
        "dom": browser_seconds(browser, page, "--dump-dom"),
        "paint": browser_seconds(browser, page, "--window-size=1280,2400", "--screenshot=" + shot),
    }


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", required=True)
    parser.add_argument("--report-binary", required=True)
    parser.add_argument("--python", required=True)
    parser.add_argument("--entries", type=int, default=100)
    parser.add_argument("--target", type=int, default=1000)
    parser.add_argument("--time-scale", type=float, default=0.1)
    parser.add_argument("--keep")
    options = parser.parse_args()
    browser = chromium()
    work = options.keep or fleetlib.make_work()
    os.makedirs(work, exist_ok=True)
    try:
        run = real_run(options, work)
        outcomes: dict = {}
        for entry in run["entries"]:
            outcomes[entry["outcome"]] = outcomes.get(entry["outcome"], 0) + 1
        print(f"real run: {len(run['entries'])} entries {outcomes}, {run['seconds']} s, "
              f"exit {run['exit_status']}")
        empty = os.path.join(work, "empty.html")
        open(empty, "w").write("<!DOCTYPE html><title>empty</title>")
        base_dom = browser_seconds(browser, empty, "--dump-dom")
        base_paint = browser_seconds(browser, empty, "--window-size=1280,2400",
                                     "--screenshot=" + os.path.join(work, "empty.png"))
        print(f"chromium on an empty page: dump-dom {base_dom:.2f} s, screenshot {base_paint:.2f} s")
        print(f"{'page':<8} {'entries':>7} {'KiB':>8} {'dump-dom s':>11} {'screenshot s':>13}")
        for name, report in (("real", run), ("tiled", tiled(run, options.target))):
            m = measure(options, browser, report, name, work)
            print(f"{name:<8} {m['entries']:>7} {m['bytes'] / 1024:>8.0f} {m['dom']:>11.2f} "
                  f"{m['paint']:>13.2f}")
    finally:
        if not options.keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
