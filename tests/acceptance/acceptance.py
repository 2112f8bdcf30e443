#!/usr/bin/env python3
"""probefleet's acceptance suite: the whole workflow, run as users run it,
in a VPC and a bucket of its own, each step checked with read-only calls of
the suite's own, and everything removed at the end.

    PROBEFLEET_ACCEPTANCE=1 acceptance.py [--sandbox] [--region R] [--profile P]
                                          [--build DIR] [--zones 2] [--instance-type T]
    PROBEFLEET_ACCEPTANCE=1 acceptance.py --cleanup RUN_ID

Without PROBEFLEET_ACCEPTANCE=1 it sends no request at all. With
PROBEFLEET_ACCEPTANCE_GUARDS=1 it also deploys under a role denied
ec2:CreateTags outside create requests. --sandbox runs it all against the
local sandbox on 127.0.0.1 (what CI does).
"""

from __future__ import annotations

import argparse
import base64
import datetime
import hashlib
import json
import os
import re
import secrets
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import costs

GATE = "PROBEFLEET_ACCEPTANCE"
GUARDS = "PROBEFLEET_ACCEPTANCE_GUARDS"
POLICY = Path(__file__).resolve().parents[2] / "docs" / "acceptance-policy.json"
# Expected time of a fleet on AWS, from its launch to its revert: boot and
# status checks, the tests on the instances, the transfers.
EXPECTED_FLEET_MINUTES = 30
LIFETIME = "1h"


class Failed(Exception):
    """A step's outcome is not what it must be."""


def parse(argv: list[str]) -> argparse.Namespace:
    p = argparse.ArgumentParser(prog="acceptance", description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--sandbox", action="store_true",
                   help="run against the local sandbox instead of an AWS account")
    p.add_argument("--cleanup", metavar="RUN_ID", help="remove what the run RUN_ID left, then stop")
    p.add_argument("--region", help="the region (default: the profile's or AWS_REGION)")
    p.add_argument("--profile", help="the credentials profile (default: the AWS tools' chain)")
    p.add_argument("--build", default=str(Path(__file__).resolve().parents[2] / "build"),
                   help="where the programs are (default: the repository's build/)")
    p.add_argument("--zones", type=int, default=2, help="zones, one test instance each (default 2)")
    p.add_argument("--instance-type", default="t3.micro")
    p.add_argument("--hourly-price", type=float, help="the type's price when the table lacks it")
    p.add_argument("--results-timeout", type=float, default=1200,
                   help="seconds to wait for the instances' results (default 1200)")
    p.add_argument("--require-pass", action="store_true",
                   help="against AWS, fail unless the tests on the instances pass")
    p.add_argument("--large-file-mib", type=int, default=24)
    p.add_argument("--yes", action="store_true", help="do not pause before making anything")
    p.add_argument("--journal", metavar="FILE",
                   help="with --sandbox: write the sandbox's request journal to FILE at the end")
    p.add_argument("--keep-workdir", action="store_true")
    args = p.parse_args(argv)
    if args.zones < 1:
        p.error("--zones must be at least 1")
    if args.journal and not args.sandbox:
        p.error("--journal needs --sandbox")
    return args


def main(argv: list[str]) -> int:
    args = parse(argv)
    if os.environ.get(GATE) != "1":
        print(f"acceptance: not started: it makes AWS resources that cost money; set {GATE}=1 "
              "to run it (see the README, \"Running the acceptance suite on your account\")",
              file=sys.stderr)
        return 2
    # Only now may anything reach an endpoint.
    import target as targets

    work = Path(tempfile.mkdtemp(prefix="probefleet-acceptance-"))
    target = targets.sandbox(work) if args.sandbox else targets.real_account(args.profile, args.region)
    signal.signal(signal.SIGTERM, lambda *_: (_ for _ in ()).throw(KeyboardInterrupt()))
    ok = False
    try:
        identity = target.client("sts").get_caller_identity()
        if args.cleanup:
            ok = cleanup(target, args, args.cleanup, work)
        else:
            ok = Suite(target, args, identity, work).run()
        return 0 if ok else 1
    finally:
        if args.journal:
            Path(args.journal).write_text(json.dumps(target.journal(), indent=1))
        target.close()
        if ok and not args.keep_workdir:
            shutil.rmtree(work, ignore_errors=True)
        else:
            print(f"acceptance: the programs' logs and reports are in {work}")


def cleanup(target, args, run_id: str, work: Path) -> bool:
    """Removes everything the run `run_id` made: what probefleet made in its
    VPC (first through probefleet-sweep, then directly), its VPC, bucket and
    guard role. True when nothing is left."""
    import own_resources as own

    ec2, s3, iam = target.client("ec2"), target.client("s3"), target.client("iam")
    if target.is_sandbox:
        own.PATIENCE_S = 5
    left: list[str] = []
    buckets = own.find_buckets(s3, run_id)
    for vpc in own.find_vpcs(ec2, run_id):
        sweep = Path(args.build) / "probefleet-sweep"
        if sweep.exists():
            command = [str(sweep), "--vpc", vpc, "--tag", f"{own.TAG_KEY},{run_id}", "--delete"]
            command += ["--s3_bucket", buckets[0]] if buckets else []
            with open(work / f"cleanup-sweep-{vpc}.log", "w") as log:
                subprocess.run(command, env=target.env, cwd=work, timeout=1800, stdout=log,
                               stderr=subprocess.STDOUT)
        own.remove_vpc_contents(ec2, vpc, run_id, left)
        own.remove_network(ec2, vpc, left)
        print(f"  cleanup: VPC {vpc}")
    for bucket in buckets:
        own.remove_bucket(s3, bucket, left)
        print(f"  cleanup: bucket {bucket}")
    own.remove_guard_role(iam, run_id, left)
    for line in left:
        print(f"  cleanup: left {line}", file=sys.stderr)
    return not left


class Suite:
    def __init__(self, target, args, identity: dict, work: Path):
        self.t, self.args, self.identity, self.work = target, args, identity, work
        self.run_id = datetime.datetime.now(datetime.timezone.utc).strftime("%Y%m%d%H%M%S") + \
            "-" + secrets.token_hex(3)
        self.guards = os.environ.get(GUARDS) == "1"
        self.ec2, self.s3 = target.client("ec2"), target.client("s3")
        self.iam, self.sts = target.client("iam"), target.client("sts")
        self.bin = Path(args.build)
        self.net = None
        self.bucket = None
        self.config = work / "test_config.json"
        self.step_no = 0

    # ---- the run ---------------------------------------------------------------------------
    def steps(self):
        steps = [("own resources: VPC, subnets, internet gateway, routes, bucket", self.make_own),
                 ("dry run: nothing new in the account", self.dry_run),
                 ("deployment with --ec2_role default --eip --run_tag --max_lifetime "
                  f"{LIFETIME} --tag_resource", self.deploy),
                 ("rerun: nothing launched", self.rerun),
                 ("tests on the instances, collected by probefleet-results", self.results),
                 ("probefleet-s3 round trips: a folder and a large file", self.s3_round_trips),
                 ("revert", self.revert)]
        if self.guards:
            steps.append(("deployment under a role denied CreateTags outside create requests",
                          self.guarded))
        steps += [("probefleet-sweep --delete finds nothing", self.sweep),
                  ("own resources removed", self.remove_own)]
        return steps

    def run(self) -> bool:
        self.announce()
        steps = self.steps()
        started = time.monotonic()
        try:
            for name, step in steps:
                self.step_no += 1
                print(f"[{self.step_no:2}/{len(steps)}] {name}", flush=True)
                begun = time.monotonic()
                step()
                print(f"        ok  {time.monotonic() - begun:6.1f} s", flush=True)
        except (Failed, KeyboardInterrupt, Exception) as error:  # noqa: B902 - every cause is reported
            what = "interrupted" if isinstance(error, KeyboardInterrupt) else \
                f"FAILED: {error}" if isinstance(error, Failed) else f"FAILED: {error!r}"
            print(f"        {what}", flush=True)
            print(f"acceptance: removing what run {self.run_id} made; if this is cut short, run "
                  f"scripts/acceptance.sh --cleanup {self.run_id}", flush=True)
            cleanup(self.t, self.args, self.run_id, self.work)
            return False
        print(f"acceptance: run {self.run_id} passed, {len(steps)} steps in "
              f"{time.monotonic() - started:.1f} s", flush=True)
        return True

    def announce(self) -> None:
        where = f"the sandbox at {self.t.endpoint}" if self.t.is_sandbox else "AWS"
        print(f"acceptance: run {self.run_id} on {where}")
        print(f"  account {self.identity['Account']} as {self.identity['Arn']}, "
              f"region {self.t.region}")
        deployments = 2 if self.guards else 1
        try:
            estimate = costs.estimate(self.args.instance_type, self.args.zones, deployments,
                                      EXPECTED_FLEET_MINUTES, 60, self.args.hourly_price)
            print(estimate.text())
        except KeyError:
            raise SystemExit(f"acceptance: no price for {self.args.instance_type} in the table; "
                             "give --hourly-price") from None
        print(f"  an interrupted run is removed by: scripts/acceptance.sh --cleanup {self.run_id}",
              flush=True)
        if not self.t.is_sandbox and not self.args.yes:
            print("  starting in 10 s; Ctrl-C stops it with nothing made", flush=True)
            time.sleep(10)

    # ---- helpers ---------------------------------------------------------------------------
    def program(self, name: str, *argv: str, env: dict | None = None, expect: int | None = 0,
                timeout: float | None = None) -> subprocess.CompletedProcess:
        """Runs a built program as a user would, in the work folder; its
        output is kept there. Fails the step on another exit status."""
        log = self.work / "logs"
        log.mkdir(exist_ok=True)
        stem = f"{self.step_no:02}-{name}-{len(list(log.iterdir())) // 2}"
        command = [str(self.bin / name), *argv]
        done = subprocess.run(command, cwd=self.work, env=env or self.t.env, capture_output=True,
                              text=True, timeout=timeout or (600 if self.t.is_sandbox else 3600))
        (log / f"{stem}.out").write_text(done.stdout)
        (log / f"{stem}.err").write_text(done.stderr)
        if expect is not None and done.returncode != expect:
            tail = "\n".join((done.stderr or done.stdout).splitlines()[-15:])
            raise Failed(f"{name} exited {done.returncode}, not {expect}: {' '.join(argv)}\n{tail}")
        return done

    def probefleet(self, *argv: str, report: str, env: dict | None = None):
        self.program("probefleet", "--test_config", str(self.config), "--backup_folder", "keys",
                     "--s3_bucket", self.bucket, "--report", report, *argv, env=env)
        return json.loads((self.work / report).read_text())

    def deploy_options(self) -> list[str]:
        from own_resources import TAG_KEY

        return ["--output_test_config", "out.json", "--ec2_role", "default", "--eip",
                "--run_tag", self.run_id, "--max_lifetime", LIFETIME,
                "--tag_resource", f"{TAG_KEY},{self.run_id}",
                "--instance_type", self.args.instance_type]

    def instances(self, states=("pending", "running", "stopping", "stopped", "shutting-down")):
        filters = [{"Name": "vpc-id", "Values": [self.net.vpc_id]}]
        if states:
            filters.append({"Name": "instance-state-name", "Values": list(states)})
        pages = self.ec2.get_paginator("describe_instances").paginate(Filters=filters)
        return [i for page in pages for r in page["Reservations"] for i in r["Instances"]]

    def listing(self) -> dict:
        """What of probefleet's this run could have made, as the suite's own
        read-only calls see it."""
        from own_resources import TAG_KEY

        in_vpc = [{"Name": "vpc-id", "Values": [self.net.vpc_id]}]
        key_name = f"corvanta-test-ec2-key-pair-{self.net.vpc_id}"
        return {
            "instances": sorted(i["InstanceId"] for i in self.instances()),
            "security groups": sorted(g["GroupId"] for g in self.ec2.describe_security_groups(
                Filters=in_vpc)["SecurityGroups"] if g["GroupName"] != "default"),
            "network interfaces": sorted(n["NetworkInterfaceId"] for n in
                                         self.ec2.describe_network_interfaces(
                                             Filters=in_vpc)["NetworkInterfaces"]),
            "addresses": sorted(a["AllocationId"] for a in self.ec2.describe_addresses(Filters=[
                {"Name": f"tag:{TAG_KEY}", "Values": [self.run_id]}])["Addresses"]),
            "key pairs": sorted(k["KeyName"] for k in self.ec2.describe_key_pairs(Filters=[
                {"Name": "key-name", "Values": [key_name]}])["KeyPairs"]),
            "instance role": self.iam_trio(),
            "objects": sorted(o["Key"] for page in self.s3.get_paginator("list_objects_v2")
                              .paginate(Bucket=self.bucket) for o in page.get("Contents", [])),
        }

    def iam_trio(self) -> list[str]:
        from botocore.exceptions import ClientError

        found = []
        for kind, call in (("role", lambda: self.iam.get_role(RoleName="corvanta-test-ec2-role")),
                           ("instance profile", lambda: self.iam.get_instance_profile(
                               InstanceProfileName="corvanta-test-ec2-instance-profile"))):
            try:
                call()
                found.append(kind)
            except ClientError as error:
                if error.response["Error"]["Code"] != "NoSuchEntity":
                    raise
        policies = self.iam.get_paginator("list_policies").paginate(Scope="Local")
        if any(p["PolicyName"] == "corvanta-test-ec2-policy" for page in policies
               for p in page["Policies"]):
            found.append("policy")
        return found

    def object_exists(self, key: str) -> bool:
        from botocore.exceptions import ClientError

        try:
            self.s3.head_object(Bucket=self.bucket, Key=key)
            return True
        except ClientError as error:
            if error.response["Error"]["Code"] in ("404", "NoSuchKey", "NotFound"):
                return False
            raise

    # ---- the steps -------------------------------------------------------------------------
    def make_own(self) -> None:
        import own_resources as own

        zones = own.pick_zones(self.ec2, self.args.instance_type, self.args.zones)
        self.bucket = own.make_bucket(self.s3, self.t.region, self.run_id)
        self.net = own.make_network(self.ec2, self.t.region, self.run_id, zones)
        self.config.write_text(json.dumps(self.net.test_config(self.run_id), indent=2))
        self.trio_before = self.iam_trio()
        print(f"        VPC {self.net.vpc_id} in {', '.join(zones)}, bucket {self.bucket}")

    def dry_run(self) -> None:
        before = self.listing()
        report = self.probefleet("--dry_run", *self.deploy_options(), report="dry-run.json")
        after = self.listing()
        new = {kind: sorted(set(after[kind]) - set(before[kind])) for kind in after}
        new = {kind: items for kind, items in new.items() if items}
        if new:
            raise Failed(f"the dry run made {new}")
        if not report.get("dry_run") or report.get("exit_status") != 0:
            raise Failed(f"the dry run's report: dry_run {report.get('dry_run')}, "
                         f"exit_status {report.get('exit_status')}")

    def deploy(self) -> None:
        report = self.probefleet(*self.deploy_options(), report="deploy.json")
        outcomes = sorted(e["outcome"] for e in report["entries"])
        if outcomes != ["created"] * self.args.zones:
            raise Failed(f"the deployment's entries: {outcomes}")
        self.check_fleet(json.loads((self.work / "out.json").read_text()))
        self.instance_ids = sorted(i["InstanceId"] for i in self.instances(states=None))

    def check_fleet(self, entries: list[dict]) -> None:
        """Each entry's instance as EC2 shows it: running in its subnet,
        IMDSv2 required, tagged at creation with the run id and its expiry,
        ending itself on shutdown, under the instance role, with the Elastic
        IP and second interface the output configuration names."""
        from own_resources import TAG_KEY

        now = datetime.datetime.now(datetime.timezone.utc)
        for entry in entries:
            found = [i for i in self.instances() if i["SubnetId"] == entry["gw_subnet_id"]]
            if len(found) != 1:
                raise Failed(f"{len(found)} instances in {entry['gw_subnet_id']}, not 1")
            instance = found[0]
            iid, tags = instance["InstanceId"], {t["Key"]: t["Value"] for t in instance["Tags"]}
            faults = []
            if instance["State"]["Name"] != "running":
                faults.append(f"state {instance['State']['Name']}")
            if instance.get("MetadataOptions", {}).get("HttpTokens") != "required":
                faults.append("IMDSv2 not required")
            if tags.get("Name") != "corvanta-test-ec2" or tags.get(TAG_KEY) != self.run_id:
                faults.append(f"tags {tags}")
            expires = tags.get("probefleet:expires", "")
            try:
                left = datetime.datetime.fromisoformat(expires.replace("Z", "+00:00")) - now
                if not datetime.timedelta(minutes=40) < left <= datetime.timedelta(minutes=61):
                    faults.append(f"expiry {expires} is not an hour after the launch")
            except ValueError:
                faults.append(f"expiry tag {expires!r}")
            if not instance.get("IamInstanceProfile", {}).get("Arn", "").endswith(
                    "/corvanta-test-ec2-instance-profile"):
                faults.append(f"instance profile {instance.get('IamInstanceProfile')}")
            behaviour = self.ec2.describe_instance_attribute(
                InstanceId=iid, Attribute="instanceInitiatedShutdownBehavior")
            if behaviour["InstanceInitiatedShutdownBehavior"]["Value"] != "terminate":
                faults.append("it does not terminate on shutdown")
            addresses = self.ec2.describe_addresses(
                Filters=[{"Name": "instance-id", "Values": [iid]}])["Addresses"]
            if [a["PublicIp"] for a in addresses] != [entry.get("ec2_ip")]:
                faults.append(f"Elastic IPs {[a['PublicIp'] for a in addresses]}, "
                              f"ec2_ip {entry.get('ec2_ip')}")
            elif {t["Key"]: t["Value"] for t in addresses[0].get("Tags", [])}.get(TAG_KEY) != self.run_id:
                faults.append("its Elastic IP lacks the run's tag")
            second = [n for n in instance["NetworkInterfaces"]
                      if n["SubnetId"] == entry["private_subnet_id"]]
            if [n["PrivateIpAddress"] for n in second] != [entry.get("ec2_2nd_private_ip")]:
                faults.append(f"second interfaces {[n['PrivateIpAddress'] for n in second]}, "
                              f"ec2_2nd_private_ip {entry.get('ec2_2nd_private_ip')}")
            if faults:
                raise Failed(f"{iid} ({entry['gw_name']}): {'; '.join(faults)}")
        key = f"keys/corvanta-test-ec2-key-pair-{self.net.vpc_id}.pem"
        if not self.object_exists(key):
            raise Failed(f"the key pair's private key is not in the bucket ({key})")

    def rerun(self) -> None:
        report = self.probefleet(*self.deploy_options(), report="rerun.json")
        outcomes = sorted(e["outcome"] for e in report["entries"])
        if outcomes != ["reused"] * self.args.zones:
            raise Failed(f"the rerun's entries: {outcomes}")
        now = sorted(i["InstanceId"] for i in self.instances(states=None))
        if now != self.instance_ids:
            raise Failed(f"the rerun launched {sorted(set(now) - set(self.instance_ids))}")

    def results(self) -> None:
        """The objects the instances leave must arrive within the bound and
        probefleet-results must collect them. Against AWS the verdict of the
        tests themselves also depends on what the instances can install at
        boot (the workflow's test package): a verdict other than PASS is
        reported, and fails the run only with --require-pass."""
        entries = json.loads((self.work / "out.json").read_text())
        logs = [f"log-{e['gw_name']}-{self.run_id}.txt" for e in entries]
        wanted = logs + [f"result-{e['gw_name']}-{self.run_id}.txt" for e in entries]
        if self.t.is_sandbox:
            self.play_the_instances()
        else:
            wanted = logs if not self.args.require_pass else wanted
        deadline = time.monotonic() + (30 if self.t.is_sandbox else self.args.results_timeout)
        while missing := [k for k in wanted if not self.object_exists(k)]:
            if time.monotonic() > deadline:
                raise Failed(f"no {', '.join(missing)} in the bucket after the wait")
            time.sleep(1 if self.t.is_sandbox else 20)
        strict = self.t.is_sandbox or self.args.require_pass
        done = self.program("probefleet-results", "--bucket", self.bucket, "--run-tag", self.run_id,
                            "--test-config", "out.json", "--json", expect=None if not strict else 0)
        verdict = json.loads(done.stdout)
        collected = [g for g in verdict["gateways"] if g["log_key"] in logs]
        if len(collected) != len(entries):
            raise Failed(f"probefleet-results collected {verdict}")
        if verdict["verdict"] != "PASS":
            for gateway in verdict["gateways"]:
                print(f"        {gateway['gw_name']}: {gateway['reason'] or 'passed'}")
            print("        the tests on the instances did not pass (see --require-pass)")

    def play_the_instances(self) -> None:
        """The sandbox boots nothing: do what each instance's start-up script
        does with the bucket, the copies its last lines name."""
        copy = re.compile(r"^aws s3 cp /tmp/(result|log)\.txt s3://([^/]+)/(\S+)$", re.M)
        for instance in self.instances():
            data = self.ec2.describe_instance_attribute(InstanceId=instance["InstanceId"],
                                                        Attribute="userData")["UserData"]["Value"]
            copies = copy.findall(base64.b64decode(data).decode())
            if len(copies) != 2 or any(bucket != self.bucket for _, bucket, _ in copies):
                raise Failed(f"{instance['InstanceId']}'s start-up script copies {copies}")
            for kind, bucket, key in copies:
                body = b"PASS\n" if kind == "result" else b"ping ... ok\ntraceroute ... ok\n"
                self.s3.put_object(Bucket=bucket, Key=key, Body=body)

    def s3_round_trips(self) -> None:
        source = self.work / "upload"
        folder = f"backups/{self.net.vpc_id}"
        files = {f"{folder}/notes-{i}.txt": secrets.token_bytes(100 + i) for i in range(20)}
        files.update({f"{folder}/nested/deeper/{i}.bin": secrets.token_bytes(4096) for i in range(5)})
        files[f"{folder}/large.bin"] = secrets.token_bytes(self.args.large_file_mib << 20)
        for key, body in files.items():
            (source / key).parent.mkdir(parents=True, exist_ok=True)
            (source / key).write_bytes(body)
        digest = {key: hashlib.sha256(body).hexdigest() for key, body in files.items()}
        self.program("probefleet-s3", "upload-folder", self.bucket, folder, "--base-dir", "upload")
        stored = {o["Key"]: o["Size"] for page in self.s3.get_paginator("list_objects_v2").paginate(
            Bucket=self.bucket, Prefix=folder + "/") for o in page.get("Contents", [])}
        if stored != {key: len(body) for key, body in files.items()}:
            raise Failed(f"the bucket holds {sorted(stored)} after the folder upload")
        self.program("probefleet-s3", "download", self.bucket, self.net.vpc_id, "--target", "download")
        got = {f"{folder}/{p.relative_to(self.work / 'download' / self.net.vpc_id)}":
               hashlib.sha256(p.read_bytes()).hexdigest()
               for p in (self.work / "download" / self.net.vpc_id).rglob("*") if p.is_file()}
        if got != digest:
            raise Failed(f"the folder came back different: {sorted(set(got) ^ set(digest))} "
                         "differ in name, others perhaps in content")
        large = "roundtrip/large.bin"
        (source / "roundtrip").mkdir()
        (source / large).write_bytes(files[f"{folder}/large.bin"])
        self.program("probefleet-s3", "upload-file", self.bucket, large, "--base-dir", "upload")
        body = self.s3.get_object(Bucket=self.bucket, Key=large)["Body"].read()
        if hashlib.sha256(body).hexdigest() != digest[f"{folder}/large.bin"]:
            raise Failed(f"s3://{self.bucket}/{large} is not the file uploaded")
        for prefix in (folder, "roundtrip"):
            self.program("probefleet-s3", "delete-folder", self.bucket, prefix)
            if self.s3.list_objects_v2(Bucket=self.bucket, Prefix=prefix + "/").get("KeyCount"):
                raise Failed(f"delete-folder left objects under {prefix}/")

    def revert(self, env: dict | None = None, report: str = "revert.json") -> None:
        self.probefleet("--revert", "--ec2_role", "default", "--eip", report=report, env=env)
        left = self.listing()
        left.pop("objects")
        if left["instance role"] == self.trio_before:
            left.pop("instance role")
        left = {kind: items for kind, items in left.items() if items}
        if left:
            raise Failed(f"the revert left {left}")

    def guarded(self) -> None:
        """A deployment and revert under a role whose policy denies CreateTags
        outside create requests, as organisations' policies do: it passes
        only because every tag travels in the request that makes the
        resource. A standalone CreateTags under the same role must be
        refused, or the proof would prove nothing."""
        import own_resources as own
        from botocore.exceptions import ClientError

        account = self.identity["Account"]
        partition = self.identity["Arn"].split(":")[1]
        trusted = [f"arn:{partition}:iam::{account}:root"]
        if self.t.is_sandbox:
            trusted.append(self.identity["Arn"])  # moto matches the caller's ARN, not its account
        arn = own.make_guard_role(self.iam, self.run_id, trusted, programs_actions())
        credentials = own.assume(self.sts, arn, 5 if self.t.is_sandbox else 120)
        env = {k: v for k, v in self.t.env.items() if k not in ("AWS_PROFILE", "AWS_DEFAULT_PROFILE")}
        env.update({"AWS_ACCESS_KEY_ID": credentials["aws_access_key_id"],
                    "AWS_SECRET_ACCESS_KEY": credentials["aws_secret_access_key"],
                    "AWS_SESSION_TOKEN": credentials["aws_session_token"]})
        try:
            self.t.client("ec2", **credentials).create_tags(
                Resources=[self.net.vpc_id], Tags=[{"Key": "probefleet-acceptance-probe", "Value": "x"}])
            raise Failed("the guard role may call CreateTags on its own: its policy proves nothing")
        except ClientError as error:
            if error.response["Error"]["Code"] not in ("UnauthorizedOperation", "AccessDenied"):
                raise
        report = self.probefleet(*self.deploy_options(), report="guard-deploy.json", env=env)
        if sorted(e["outcome"] for e in report["entries"]) != ["created"] * self.args.zones:
            raise Failed(f"the guarded deployment's entries: {report['entries']}")
        self.check_fleet(json.loads((self.work / "out.json").read_text()))
        self.revert(env=env, report="guard-revert.json")
        own.remove_guard_role(self.iam, self.run_id, [])

    def sweep(self) -> None:
        from own_resources import TAG_KEY

        scope = ["--vpc", self.net.vpc_id, "--tag", f"{TAG_KEY},{self.run_id}",
                 "--s3_bucket", self.bucket, "--json"]
        for extra in ([], ["--delete"]):
            done = self.program("probefleet-sweep", *scope, *extra)
            found = json.loads(done.stdout)
            listed = {kind: items for kind, items in found.items() if isinstance(items, list) and items}
            if listed:
                raise Failed(f"probefleet-sweep {' '.join(extra) or '(listing)'} found {listed}")

    def remove_own(self) -> None:
        import own_resources as own

        left: list[str] = []
        own.remove_network(self.ec2, self.net.vpc_id, left)
        own.remove_bucket(self.s3, self.bucket, left)
        own.remove_guard_role(self.iam, self.run_id, left)
        if left:
            raise Failed(f"left {left}")
        if own.find_vpcs(self.ec2, self.run_id) or own.find_buckets(self.s3, self.run_id):
            raise Failed("the VPC or the bucket is still listed")


def programs_actions() -> list[str]:
    """The actions the permissions document allows the programs."""
    document = json.loads(POLICY.read_text())
    actions: list[str] = []
    for statement in document["Statement"]:
        if statement["Sid"].startswith("Programs"):
            found = statement["Action"]
            actions += [found] if isinstance(found, str) else found
    return actions


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
