"""The instance metadata service, the container credentials endpoint and the
public address echo, as a machine inside the sandbox's world would see them.

Metadata modes:
  "v2"           tokens are issued; a request may go without one (the AWS
                 default, HttpTokens=optional), but a token it sends must be
                 valid (401 otherwise)
  "v2-required"  requests without a valid token answer 401 (HttpTokens=required)
  "v1-only"      the token PUT is refused (token_status, 403 by default), so
                 clients must fall back to plain GETs
  "down"         the connection is closed unanswered ("down_action": "close"),
                 or every path answers 404 ("down_action": "404")
"""

from __future__ import annotations

import copy
import datetime as dt
import json
import secrets
import threading
import time

MODES = ("v2", "v2-required", "v1-only", "down")

IDENTITY_DEFAULTS = {
    "accountPrivateIps": None,
    "architecture": "x86_64",
    "availabilityZone": "us-east-1a",
    "billingProducts": None,
    "devpayProductCodes": None,
    "marketplaceProductCodes": None,
    "imageId": "ami-0e1e769742d1cfb49",
    "instanceId": "i-0a1b2c3d4e5f60718",
    "instanceType": "t3.micro",
    "kernelId": None,
    "pendingTime": "2024-01-01T00:00:00Z",
    "privateIp": "10.0.1.10",
    "ramdiskId": None,
    "region": "us-east-1",
    "version": "2017-09-30",
}


def _answer(status: int, body: bytes | str | None, content_type: str = "text/plain") -> tuple:
    """(status, headers, body); a body of None means: close the connection
    without an answer."""
    if body is None:
        return status, [], None
    data = body.encode("utf-8") if isinstance(body, str) else body
    return status, [("Content-Type", content_type), ("Content-Length", str(len(data)))], data


def _partition(region) -> str:
    from moto.utilities.utils import get_partition

    return get_partition(region or "us-east-1")


def _iso(when: dt.datetime) -> str:
    return when.astimezone(dt.timezone.utc).strftime("%Y-%m-%dT%H:%M:%SZ")


class MetadataService:
    def __init__(self, credentials_source) -> None:
        """credentials_source() gives (role name, credentials dict) with
        AccessKeyId, SecretAccessKey, Token and Expiration (datetime)."""
        self._credentials_source = credentials_source
        self._lock = threading.Lock()
        self.reset({})

    def reset(self, identity: dict) -> None:
        with self._lock:
            self.mode = "v2"
            self.down_action = "close"
            self.token_status = 403
            self.latency_ms = 0.0
            self.identity = dict(IDENTITY_DEFAULTS)
            self.identity.update(identity)
            self.identity_body: str | None = None
            self.tokens: dict[str, float] = {}
            self.container_token: str | None = None
            self.container_mode = "up"

    # Control -------------------------------------------------------------

    def configure(self, config: dict) -> dict:
        if not isinstance(config, dict):
            raise ValueError("the metadata configuration is a JSON object")
        unknown = set(config) - {"mode", "latency_ms", "identity", "identity_body", "down_action", "token_status"}
        if unknown:
            raise ValueError(f"unknown metadata settings: {sorted(unknown)}")
        with self._lock:
            if "mode" in config:
                if config["mode"] not in MODES:
                    raise ValueError(f"mode must be one of {MODES}")
                self.mode = config["mode"]
            if "down_action" in config:
                if config["down_action"] not in ("close", "404"):
                    raise ValueError('down_action must be "close" or "404"')
                self.down_action = config["down_action"]
            if "token_status" in config:
                self.token_status = int(config["token_status"])
            if "latency_ms" in config:
                self.latency_ms = float(config["latency_ms"])
            if "identity" in config:
                # JSON merge patch: a member set to null is removed.
                for name, value in config["identity"].items():
                    if value is None:
                        self.identity.pop(name, None)
                    else:
                        self.identity[name] = value
            if "identity_body" in config:
                self.identity_body = config["identity_body"]
            return self.state_locked()

    def state_locked(self) -> dict:
        return {
            "mode": self.mode,
            "down_action": self.down_action,
            "token_status": self.token_status,
            "latency_ms": self.latency_ms,
            "identity": copy.deepcopy(self.identity),
        }

    def configure_container(self, config: dict) -> dict:
        with self._lock:
            if "authorization" in config:
                self.container_token = config["authorization"]
            if "mode" in config:
                if config["mode"] not in ("up", "down"):
                    raise ValueError('container mode must be "up" or "down"')
                self.container_mode = config["mode"]
            return {"authorization": self.container_token, "mode": self.container_mode}

    # Serving ---------------------------------------------------------------

    def _token_state(self, token: str | None) -> str:
        if token is None:
            return "none"
        expiry = self.tokens.get(token)
        return "valid" if expiry is not None and expiry > time.monotonic() else "invalid"

    def handle(self, method: str, path: str, headers: dict) -> tuple[tuple, dict]:
        """Answer a metadata request: ((status, headers, body), journal params)."""
        if self.latency_ms:
            time.sleep(self.latency_ms / 1000.0)
        with self._lock:
            mode = self.mode
            if mode == "down":
                if self.down_action == "close":
                    return _answer(0, None), {}
                return _answer(404, "Not Found"), {}
            if path == "/latest/api/token":
                return self._token(method, headers)
            token = headers.get("X-Aws-Ec2-Metadata-Token")
            state = self._token_state(token)
            params = {"token": state}
            if method != "GET":
                return _answer(405, "Method Not Allowed"), params
            if state == "invalid" or (state == "none" and mode == "v2-required"):
                return _answer(401, "Unauthorized"), params
            return self._get(path), params

    def _token(self, method: str, headers: dict) -> tuple[tuple, dict]:
        ttl_text = headers.get("X-Aws-Ec2-Metadata-Token-Ttl-Seconds")
        params = {"ttl": ttl_text}
        if self.mode == "v1-only":
            return _answer(self.token_status, "Forbidden"), params
        if method != "PUT":
            return _answer(405, "Method Not Allowed"), params
        if "X-Forwarded-For" in headers:
            # The service refuses token requests that went through a proxy.
            return _answer(403, "Forbidden"), params
        try:
            ttl = int(ttl_text or "")
        except ValueError:
            return _answer(400, "Bad Request"), params
        if not 1 <= ttl <= 21600:
            return _answer(400, "Bad Request"), params
        token = secrets.token_urlsafe(40)
        self.tokens[token] = time.monotonic() + ttl
        status, answer_headers, body = _answer(200, token)
        answer_headers.append(("X-Aws-Ec2-Metadata-Token-Ttl-Seconds", str(ttl)))
        return (status, answer_headers, body), params

    def _get(self, path: str) -> tuple:
        identity = self.identity
        if path == "/latest/dynamic/instance-identity/document":
            if self.identity_body is not None:
                return _answer(200, self.identity_body)
            return _answer(200, json.dumps(identity, indent=2), "text/plain")
        simple = {
            "/latest/meta-data/instance-id": identity.get("instanceId"),
            "/latest/meta-data/ami-id": identity.get("imageId"),
            "/latest/meta-data/instance-type": identity.get("instanceType"),
            "/latest/meta-data/local-ipv4": identity.get("privateIp"),
            "/latest/meta-data/placement/availability-zone": identity.get("availabilityZone"),
            "/latest/meta-data/placement/region": identity.get("region"),
        }
        value = simple.get(path.rstrip("/"))
        if value is not None:
            return _answer(200, str(value))
        prefix = "/latest/meta-data/iam/security-credentials/"
        if path.startswith(prefix):
            role, creds = self._credentials_source()
            rest = path[len(prefix):].strip("/")
            if not rest:
                return _answer(200, role)
            if rest != role:
                return _answer(404, "Not Found")
            return _answer(200, json.dumps({
                "Code": "Success",
                "LastUpdated": _iso(dt.datetime.now(dt.timezone.utc)),
                "Type": "AWS-HMAC",
                "AccessKeyId": creds["AccessKeyId"],
                "SecretAccessKey": creds["SecretAccessKey"],
                "Token": creds["Token"],
                "Expiration": _iso(creds["Expiration"]),
            }, indent=2))
        if path == "/latest/meta-data/iam/info":
            role, _ = self._credentials_source()
            return _answer(200, json.dumps({
                "Code": "Success",
                "LastUpdated": _iso(dt.datetime.now(dt.timezone.utc)),
                "InstanceProfileArn": f"arn:{_partition(identity.get('region'))}:iam::{identity.get('accountId')}:instance-profile/{role}",
                "InstanceProfileId": "AIPAEXAMPLEPROFILEID01",
            }, indent=2))
        return _answer(404, "Not Found")

    def handle_container(self, method: str, headers: dict) -> tuple[tuple, dict]:
        with self._lock:
            authorization = headers.get("Authorization")
            params = {"authorization": "none" if authorization is None else
                      ("valid" if authorization == self.container_token else "given")}
            if self.container_mode == "down":
                return _answer(0, None), params
            if method != "GET":
                return _answer(405, "Method Not Allowed"), params
            if self.container_token is not None and authorization != self.container_token:
                body = json.dumps({"code": "AccessDenied", "message": "Authorization token is not valid"})
                return _answer(403, body, "application/json"), params
        role, creds = self._credentials_source()
        return _answer(200, json.dumps({
            "RoleArn": f"arn:{_partition(self.identity.get('region'))}:iam::{self.identity.get('accountId')}:role/{role}",
            "AccessKeyId": creds["AccessKeyId"],
            "SecretAccessKey": creds["SecretAccessKey"],
            "Token": creds["Token"],
            "Expiration": _iso(creds["Expiration"]),
        }), "application/json"), params


class EchoService:
    """The public address echo: GET answers {"ip": address}."""

    DEFAULT_IP = "198.51.100.7"

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self.reset()

    def reset(self) -> None:
        with self._lock:
            self.ip = self.DEFAULT_IP
            self.status = 200
            self.body: str | None = None

    def configure(self, config: dict) -> dict:
        if not isinstance(config, dict):
            raise ValueError("the echo configuration is a JSON object")
        unknown = set(config) - {"ip", "status", "body"}
        if unknown:
            raise ValueError(f"unknown echo settings: {sorted(unknown)}")
        with self._lock:
            if "ip" in config:
                self.ip = str(config["ip"])
            if "status" in config:
                self.status = int(config["status"])
            if "body" in config:
                self.body = config["body"]
            return {"ip": self.ip, "status": self.status, "body": self.body}

    def handle(self) -> tuple:
        with self._lock:
            if self.status == 0:
                return _answer(0, None)
            body = self.body if self.body is not None else json.dumps({"ip": self.ip})
            return _answer(self.status, body, "application/json")
