"""Starting a sandbox for a test module and talking to it with boto3.

Each test module starts its own sandbox process on an ephemeral loopback
port (setUpModule) and stops it afterwards (tearDownModule)."""

from __future__ import annotations

import atexit
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
SANDBOX = os.path.join(HERE, "sandbox.py")
sys.path.insert(0, HERE)

from sandbox import guard_loopback  # noqa: E402

# The tests themselves never leave the loopback interface either.
guard_loopback()

# boto3 must see nothing of the developer's machine: no profile files, no
# instance metadata, only what each client is given.
_EMPTY = tempfile.mkdtemp(prefix="sandbox-test-aws-")
atexit.register(shutil.rmtree, _EMPTY, True)
for _name in ("credentials", "config"):
    open(os.path.join(_EMPTY, _name), "w").close()
os.environ.update({
    "AWS_EC2_METADATA_DISABLED": "true",
    "AWS_SHARED_CREDENTIALS_FILE": os.path.join(_EMPTY, "credentials"),
    "AWS_CONFIG_FILE": os.path.join(_EMPTY, "config"),
    "AWS_REGION": "us-east-1",
    "AWS_DEFAULT_REGION": "us-east-1",
})
for _name in ("AWS_PROFILE", "AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "AWS_SESSION_TOKEN",
              "AWS_ENDPOINT_URL", "AWS_CONTAINER_CREDENTIALS_FULL_URI",
              "AWS_CONTAINER_CREDENTIALS_RELATIVE_URI", "HTTP_PROXY", "HTTPS_PROXY",
              "http_proxy", "https_proxy"):
    os.environ.pop(_name, None)
os.environ["NO_PROXY"] = os.environ["no_proxy"] = "127.0.0.1,localhost"

import boto3  # noqa: E402
from botocore.config import Config  # noqa: E402


class Sandbox:
    """A sandbox process and the ids of its world."""

    def __init__(self, auth: bool = True, extra_args: list[str] | None = None) -> None:
        self.dir = tempfile.mkdtemp(prefix="sandbox-")
        self.port_file = os.path.join(self.dir, "port")
        self.world_file = os.path.join(self.dir, "world.json")
        self.log_path = os.path.join(self.dir, "sandbox.log")
        args = [sys.executable, SANDBOX, "--port-file", self.port_file, "--world-out", self.world_file]
        if auth:
            args.append("--auth")
        args += extra_args or []
        self._log = open(self.log_path, "wb")
        self.process = subprocess.Popen(args, stdout=self._log, stderr=subprocess.STDOUT)
        self.endpoint = self._wait_ready(30.0)
        with open(self.world_file, encoding="utf-8") as source:
            self.world = json.load(source)

    def _wait_ready(self, timeout: float) -> str:
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                tail = self.log_tail()
                self.stop()
                raise RuntimeError(f"sandbox exited with {self.process.returncode}:\n{tail}")
            if os.path.exists(self.port_file):
                with open(self.port_file, encoding="utf-8") as source:
                    return source.read().strip()
            time.sleep(0.05)
        tail = self.log_tail()
        self.stop()
        raise RuntimeError(f"sandbox not ready after {timeout} s:\n{tail}")

    def log_tail(self, lines: int = 40) -> str:
        if not os.path.exists(self.log_path):
            return ""
        with open(self.log_path, "rb") as source:
            return b"\n".join(source.read().splitlines()[-lines:]).decode("utf-8", "replace")

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self._log.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    # Control API -------------------------------------------------------------

    def control(self, method: str, path: str, payload=None):
        data = None if payload is None else json.dumps(payload).encode()
        request = urllib.request.Request(f"{self.endpoint}/_sandbox/{path}", data=data, method=method,
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=30) as answer:
            return json.loads(answer.read())

    def journal(self, service: str | None = None, action: str | None = None) -> list[dict]:
        entries = self.control("GET", "journal")
        return [e for e in entries
                if (service is None or e["service"] == service) and (action is None or e["action"] == action)]

    def clear_journal(self) -> None:
        self.control("DELETE", "journal")

    def set_faults(self, config: dict) -> dict:
        return self.control("POST", "faults", config)

    def clear_faults(self) -> None:
        self.control("DELETE", "faults")

    def reset(self) -> dict:
        self.world = self.control("POST", "reset", {})
        return self.world

    # HTTP and boto3 ----------------------------------------------------------

    def http(self, method: str, path: str, headers: dict | None = None, timeout: float = 10.0):
        """(status, headers, body) of a plain request to the sandbox."""
        request = urllib.request.Request(self.endpoint + path, method=method, headers=headers or {})
        try:
            with urllib.request.urlopen(request, timeout=timeout) as answer:
                return answer.status, dict(answer.headers), answer.read()
        except urllib.error.HTTPError as error:
            return error.code, dict(error.headers), error.read()

    def credentials(self) -> dict:
        user = self.world["user"]
        return {"aws_access_key_id": user["access_key_id"], "aws_secret_access_key": user["secret_access_key"]}

    def client(self, service: str, retries: int = 0, **credentials):
        """A boto3 client of the world's user (or the credentials given); no
        retries unless asked, so a test sees every answer. Clients are
        cached: making one costs a third of a second."""
        creds = credentials or self.credentials()
        key = (service, retries, self.endpoint, tuple(sorted(creds.items())))
        if key not in _clients:
            _clients[key] = _session().client(
                service, endpoint_url=self.endpoint, region_name=self.world["region"],
                config=Config(retries={"total_max_attempts": retries + 1, "mode": "standard"},
                              connect_timeout=5, read_timeout=30),
                **creds)
        return _clients[key]


class ModuleSandbox:
    """The sandbox one test module shares: started by its setUpModule, stopped
    by its tearDownModule, and otherwise used as the Sandbox itself:

        sandbox = harness.ModuleSandbox(auth=True)
        setUpModule, tearDownModule = sandbox.start, sandbox.stop
    """

    def __init__(self, **options) -> None:
        self._options = options
        self._sandbox: Sandbox | None = None

    def start(self) -> None:
        self._sandbox = Sandbox(**self._options)

    def stop(self) -> None:
        if self._sandbox is not None:
            self._sandbox.stop()
            self._sandbox = None

    def __getattr__(self, name: str):
        if self._sandbox is None:
            raise RuntimeError("the module's sandbox is not running (setUpModule not run)")
        return getattr(self._sandbox, name)


def error_of(call):
    """(code, HTTP status) of the botocore ClientError a call raises."""
    from botocore.exceptions import ClientError

    try:
        call()
    except ClientError as error:
        return error.response["Error"]["Code"], error.response["ResponseMetadata"]["HTTPStatusCode"]
    raise AssertionError("the call succeeded")


def refusal(call):
    """(code, HTTP status, message) of the error a call answers."""
    from botocore.exceptions import ClientError

    try:
        call()
    except ClientError as error:
        return (error.response["Error"]["Code"], error.response["ResponseMetadata"]["HTTPStatusCode"],
                error.response["Error"]["Message"])
    raise AssertionError("the call succeeded")


_clients: dict = {}
_shared_session = None


def _session():
    global _shared_session
    if _shared_session is None:
        _shared_session = boto3.session.Session(region_name="us-east-1")
    return _shared_session

