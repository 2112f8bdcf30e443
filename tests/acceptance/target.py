"""Where the suite sends its requests: a real account, or the local sandbox
with every endpoint, the metadata service and the address echo pointed at
127.0.0.1. The programs and the suite's own boto3 clients share one
environment, so both always talk to the same place."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
SANDBOX = REPO / "tests" / "sandbox" / "sandbox.py"

# Variables that could steer a program or boto3 towards AWS or another
# account; the sandbox environment drops them all before setting its own.
_STEERING = ("AWS_PROFILE", "AWS_DEFAULT_PROFILE", "AWS_SESSION_TOKEN", "AWS_SECURITY_TOKEN",
             "AWS_ROLE_ARN", "AWS_WEB_IDENTITY_TOKEN_FILE", "AWS_CONTAINER_CREDENTIALS_FULL_URI",
             "AWS_CONTAINER_CREDENTIALS_RELATIVE_URI", "AWS_CA_BUNDLE", "AWS_USE_FIPS_ENDPOINT",
             "AWS_USE_DUALSTACK_ENDPOINT")


class Target:
    """The environment of every request: `env` for the programs, `session`
    for the suite's own clients."""

    def __init__(self, env: dict[str, str], region: str, endpoint: str | None = None,
                 sandbox: subprocess.Popen | None = None):
        import boto3  # only once the suite may make requests

        self.env = env
        self.region = region
        self.endpoint = endpoint
        self.sandbox = sandbox
        self.session = boto3.Session(
            region_name=region, profile_name=env.get("AWS_PROFILE") or None,
            aws_access_key_id=env.get("AWS_ACCESS_KEY_ID") if endpoint else None,
            aws_secret_access_key=env.get("AWS_SECRET_ACCESS_KEY") if endpoint else None)

    @property
    def is_sandbox(self) -> bool:
        return self.endpoint is not None

    def client(self, service: str, **credentials):
        from botocore.config import Config

        config = Config(retries={"mode": "standard", "max_attempts": 8})
        if credentials:
            import boto3

            return boto3.Session(region_name=self.region, **credentials).client(
                service, endpoint_url=self.endpoint, config=config)
        return self.session.client(service, endpoint_url=self.endpoint, config=config)

    def journal(self) -> list[dict]:
        """The sandbox's journal of every request it answered."""
        with urllib.request.urlopen(f"{self.endpoint}/_sandbox/journal", timeout=30) as answer:
            return json.load(answer)

    def close(self) -> None:
        if self.sandbox is not None and self.sandbox.poll() is None:
            self.sandbox.terminate()
            try:
                self.sandbox.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.sandbox.kill()


def real_account(profile: str | None, region: str | None) -> Target:
    """The credentials and region the AWS tools of this machine would use."""
    import boto3

    env = dict(os.environ)
    if profile:
        env["AWS_PROFILE"] = profile
    region = region or os.environ.get("AWS_REGION") or boto3.Session(profile_name=profile).region_name
    if not region:
        raise SystemExit("acceptance: no region: give --region or set AWS_REGION")
    env["AWS_REGION"] = env["AWS_DEFAULT_REGION"] = region
    return Target(env, region)


def sandbox(work: Path, python: str = sys.executable) -> Target:
    """Starts the sandbox (signature checking on) in `work` and returns a
    target whose every endpoint is on 127.0.0.1: AWS_ENDPOINT_URL, the
    metadata service (disabled, and pointed at the sandbox all the same) and
    the address echo. ~/.aws is kept out by empty configuration files."""
    port_file, world_file = work / "sandbox.port", work / "sandbox-world.json"
    log = open(work / "sandbox.log", "wb")
    process = subprocess.Popen(
        [python, str(SANDBOX), "--auth", "--port-file", str(port_file), "--world-out",
         str(world_file)], stdout=log, stderr=subprocess.STDOUT)
    deadline = time.monotonic() + 60
    while not (port_file.exists() and port_file.read_text().strip()):
        if process.poll() is not None or time.monotonic() > deadline:
            process.kill()
            raise SystemExit("acceptance: the sandbox did not start:\n"
                             + (work / "sandbox.log").read_text(errors="replace"))
        time.sleep(0.1)
    endpoint = port_file.read_text().strip()
    world = json.loads(world_file.read_text())
    empty = work / "no-aws-files"
    empty.write_text("")
    env = {k: v for k, v in os.environ.items() if k not in _STEERING and
           not k.startswith("AWS_ENDPOINT_URL")}
    env.update({
        "AWS_CONFIG_FILE": str(empty), "AWS_SHARED_CREDENTIALS_FILE": str(empty),
        "AWS_ENDPOINT_URL": endpoint, "AWS_EC2_METADATA_DISABLED": "true",
        "AWS_EC2_METADATA_SERVICE_ENDPOINT": endpoint + "/",
        "PROBEFLEET_ECHO_URL": endpoint + "/echo",
        "AWS_REGION": world["region"], "AWS_DEFAULT_REGION": world["region"],
        "AWS_ACCESS_KEY_ID": world["user"]["access_key_id"],
        "AWS_SECRET_ACCESS_KEY": world["user"]["secret_access_key"],
        # No real instance boots here: the programs' own pauses and polls
        # may run twenty times faster.
        "PROBEFLEET_TIME_SCALE": "0.05",
    })
    # The suite's own boto3 clients read the same variables.
    for key in [k for k in os.environ if k in _STEERING or k.startswith("AWS_ENDPOINT_URL")]:
        del os.environ[key]
    os.environ.update({k: v for k, v in env.items() if k.startswith("AWS_")})
    return Target(env, world["region"], endpoint=endpoint, sandbox=process)
