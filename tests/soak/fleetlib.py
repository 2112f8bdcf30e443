"""Runs probefleet against a local sandbox with a fleet-sized world: shared by
the soak (scripts/soak.sh) and the fleet benchmark (bench/bench_fleet.sh).

Everything stays on 127.0.0.1: the program is pointed at the sandbox through
AWS_ENDPOINT_URL, the metadata endpoint and PROBEFLEET_ECHO_URL, with the
world's keys and empty AWS files, exactly as a user points the AWS CLI at a
local endpoint.
"""

from __future__ import annotations

import ipaddress
import json
import os
import signal
import subprocess
import sys
import tempfile
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
SANDBOX = os.path.join(ROOT, "tests", "sandbox", "sandbox.py")
BASE_WORLD = os.path.join(ROOT, "tests", "sandbox", "world.json")
ZONES = ["us-east-1a", "us-east-1b", "us-east-1c", "us-east-1d"]


def fleet_world(entries: int) -> dict:
    """The sandbox's world with `entries` gw subnets, each with its private
    subnet, as /26 networks of one /16 VPC."""
    if not 1 <= entries <= 500:
        raise ValueError("entries must lie between 1 and 500")
    world = json.load(open(BASE_WORLD))
    vpc = ipaddress.ip_network(world["vpc"]["cidr"])
    blocks = list(vpc.subnets(new_prefix=26))
    subnets = []
    for i in range(entries):
        gw, private = blocks[2 * i + 1], blocks[2 * i + 2]
        zone = ZONES[i % len(ZONES)]
        subnets.append({
            "name": f"gw-{i:03d}", "kind": "gw", "map_public_ip_on_launch": True,
            "cidr": str(gw), "availability_zone": zone, "private": f"private-{i:03d}",
            "gw_name": f"spoke-gw-{i:03d}", "gw_private_ip": str(gw.network_address + 4),
            "nat_gw_id": f"nat-{i:017x}",
        })
        subnets.append({"name": f"private-{i:03d}", "kind": "private", "cidr": str(private),
                        "availability_zone": zone})
    world["subnets"] = subnets
    return world


class Sandbox:
    """One sandbox process on an ephemeral loopback port."""

    def __init__(self, python: str, world: dict, work: str, extra: list[str] | None = None) -> None:
        self.work = work
        world_file = os.path.join(work, "world-in.json")
        json.dump(world, open(world_file, "w"))
        self.port_file = os.path.join(work, "port")
        self.world_out = os.path.join(work, "world.json")
        self.log = open(os.path.join(work, "sandbox.log"), "w")
        self.process = subprocess.Popen(
            [python, SANDBOX, "--auth", "--world", world_file, "--world-out", self.world_out,
             "--port-file", self.port_file] + (extra or []),
            stdout=self.log, stderr=subprocess.STDOUT)
        for _ in range(600):
            if os.path.exists(self.port_file) and os.path.getsize(self.port_file):
                break
            if self.process.poll() is not None:
                raise RuntimeError("the sandbox ended: " + open(self.log.name).read()[-2000:])
            time.sleep(0.1)
        else:
            raise RuntimeError("the sandbox did not start")
        self.endpoint = open(self.port_file).read().strip()

    def control(self, method: str, path: str, body=None):
        data = None if body is None else json.dumps(body).encode()
        request = urllib.request.Request(self.endpoint + "/_sandbox/" + path, data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=60) as answer:
            return json.loads(answer.read() or b"null")

    def world(self) -> dict:
        return self.control("GET", "world")

    def cpu_seconds(self) -> float:
        """User and system CPU time of the sandbox process so far."""
        fields = open(f"/proc/{self.process.pid}/stat").read().rsplit(")", 1)[1].split()
        ticks = os.sysconf("SC_CLK_TCK")
        return (int(fields[11]) + int(fields[12])) / ticks

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
        self.log.close()


class Program:
    """probefleet pointed at a sandbox, run from a work folder."""

    def __init__(self, binary: str, sandbox: Sandbox, time_scale: float | None = None) -> None:
        self.binary = binary
        self.sandbox = sandbox
        world = sandbox.world()
        aws_files = os.path.join(sandbox.work, "aws-config")
        open(aws_files, "w").close()
        env = {k: v for k, v in os.environ.items() if not k.startswith("AWS_")}
        env.update({
            "AWS_CONFIG_FILE": aws_files, "AWS_SHARED_CREDENTIALS_FILE": aws_files,
            "AWS_ENDPOINT_URL": sandbox.endpoint,
            "AWS_EC2_METADATA_SERVICE_ENDPOINT": sandbox.endpoint + "/",
            "PROBEFLEET_ECHO_URL": sandbox.endpoint + "/echo",
            "AWS_REGION": world["region"], "AWS_DEFAULT_REGION": world["region"],
            "AWS_ACCESS_KEY_ID": world["user"]["access_key_id"],
            "AWS_SECRET_ACCESS_KEY": world["user"]["secret_access_key"],
            "NO_PROXY": "127.0.0.1", "no_proxy": "127.0.0.1",
        })
        for name in ("HTTPS_PROXY", "https_proxy", "HTTP_PROXY", "http_proxy"):
            env.pop(name, None)
        if time_scale is not None and time_scale < 1:
            env["PROBEFLEET_TIME_SCALE"] = repr(time_scale)
        self.env = env
        self.world = world
        self.config = os.path.join(sandbox.work, "test_config.json")
        json.dump(world["test_config"], open(self.config, "w"), indent=2)
        self.output = os.path.join(sandbox.work, "output.json")

    def args(self, revert: bool = False, extra: list[str] | None = None) -> list[str]:
        args = [self.binary, "--test_config", self.config, "--backup_folder", "keys",
                "--s3_bucket", self.world["bucket"], "--ec2_role", "default"]
        if revert:
            args.append("--revert")
        else:
            args += ["--output_test_config", self.output]
        return args + (extra or [])

    def run(self, revert: bool = False, extra: list[str] | None = None) -> tuple[int, float, str]:
        """Runs once; returns the exit status, the wall time and standard error."""
        started = time.monotonic()
        done = subprocess.run(self.args(revert, extra), cwd=self.sandbox.work, env=self.env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        return done.returncode, time.monotonic() - started, done.stderr

    def recorded(self) -> int:
        """Entries of the output with both addresses."""
        entries = json.load(open(self.output))
        return sum(1 for e in entries if e.get("ec2_ip") and e.get("ec2_2nd_private_ip"))


def leftovers(inventory: dict, vpc_id: str) -> dict:
    """What a revert should have removed and did not, by kind."""
    left = {
        "instances": sum(inventory["instances"].values()),
        "interfaces": len([i for i in inventory["network_interfaces"] if i.get("vpc_id") == vpc_id]),
        "addresses": len(inventory["addresses"]),
        "groups": len([g for g in inventory["security_groups"] if g.get("vpc_id") == vpc_id]),
        "key_pairs": len(inventory["key_pairs"]),
        "iam": sum(len(v) for v in inventory["iam"].values()),
    }
    return {kind: count for kind, count in left.items() if count}


def launches_per_subnet(inventory: dict) -> dict:
    counts: dict = {}
    for item in inventory["instance_ids_launched"]:
        counts[item["subnet_id"]] = counts.get(item["subnet_id"], 0) + 1
    return counts


def journal_counts(sandbox: Sandbox) -> dict:
    entries = sandbox.control("GET", "journal")
    counts = {"requests": len(entries), "throttled": 0, "launches": 0, "errors": 0}
    for entry in entries:
        if entry.get("error_code") in ("RequestLimitExceeded", "Throttling", "ThrottlingException",
                                       "SlowDown"):
            counts["throttled"] += 1
        elif entry.get("status", 200) >= 400 or entry.get("status") == 0:
            counts["errors"] += 1
        if entry.get("action") == "RunInstances" and entry.get("status") == 200:
            counts["launches"] += 1
    return counts


def make_work() -> str:
    return tempfile.mkdtemp(prefix="probefleet-fleet.")


def fail(message: str) -> None:
    print("FAIL: " + message, file=sys.stderr)
    sys.exit(1)
