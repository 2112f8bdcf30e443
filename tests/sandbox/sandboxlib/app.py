"""The WSGI application: our routes and fault injection in front of moto.

Routes, in the order they are tried:
  /_sandbox/...                 control API (JSON in, JSON out; not journaled)
  /latest/...                   instance metadata
  /container/credentials        container credentials
  /echo                         public address echo
  /federation/credentials       IAM Identity Center portal (unsigned GET)
  /token                        SSO OIDC CreateToken (unsigned POST)
  everything else               AWS, answered by moto
"""

from __future__ import annotations

import io
import json
import socket
import sys
import threading
import time
import traceback
from urllib.parse import parse_qsl, unquote

from werkzeug.datastructures import EnvironHeaders

from . import protocol
from .faults import FaultError, FaultInjector
from .guard import GUARD, GuardError
from .metadata import EchoService, MetadataService
from .realism import REALISM, ProfileError
from .sso import OIDC_TOKEN_PATH, PORTAL_PATH, SsoService, keep_raw_headers
from .world import World, WorldError

_REASONS = {
    200: "OK", 204: "No Content", 400: "Bad Request", 401: "Unauthorized", 403: "Forbidden",
    404: "Not Found", 405: "Method Not Allowed", 500: "Internal Server Error",
    503: "Service Unavailable",
}


def _status_line(status: int) -> str:
    return f"{status} {_REASONS.get(status, 'Status')}"


class ControlError(Exception):
    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status


class Journal:
    """Every request the sandbox answered, in arrival order."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._entries: list[dict] = []
        self._seq = 0

    def add(self, entry: dict) -> None:
        with self._lock:
            self._seq += 1
            entry["seq"] = self._seq
            entry["at"] = round(time.time(), 3)  # when it was answered
            self._entries.append(entry)

    def entries(self, service: str | None = None, action: str | None = None) -> list[dict]:
        with self._lock:
            return [
                entry for entry in self._entries
                if (service is None or entry["service"] == service)
                and (action is None or entry["action"] == action)
            ]

    def clear(self) -> None:
        with self._lock:
            self._entries = []


def _read_body(environ: dict) -> bytes:
    stream = environ["wsgi.input"]
    if environ.get("wsgi.input_terminated"):
        body = stream.read()
    else:
        try:
            length = int(environ.get("CONTENT_LENGTH") or 0)
        except ValueError:
            length = 0
        body = stream.read(length) if length > 0 else b""
    # Hand moto a plain buffered body of known length. The chunked framing is
    # gone with it: left in place, werkzeug would ignore CONTENT_LENGTH and give
    # moto an empty body (botocore streams uploads chunked over https).
    environ["wsgi.input"] = io.BytesIO(body)
    environ["CONTENT_LENGTH"] = str(len(body))
    environ.pop("wsgi.input_terminated", None)
    environ.pop("HTTP_TRANSFER_ENCODING", None)
    return body


def _drop_connection(environ: dict) -> None:
    """Close the client's connection without an answer."""
    sock = environ.get("werkzeug.socket")
    if sock is not None:
        try:
            sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
    # werkzeug takes a ConnectionError as a dropped connection and writes
    # nothing more.
    raise ConnectionAbortedError("sandbox: connection dropped on purpose")


def model_data(services: str) -> dict:
    """moto's /moto-api/data.json for the services named (comma-separated):
    every tracked instance of their models, with the attributes that are
    JSON. The whole of it walks every model of every service, which takes
    seconds once a few runs have been made."""
    from moto.core.model_instances import model_data as tracked

    wanted = [name for name in services.split(",") if name]
    if not wanted:
        raise ControlError(400, "name the services: ?service=sts,ssm")
    results: dict[str, dict[str, list]] = {}
    for service in wanted:
        results[service] = {}
        for name, model in sorted(tracked.get(service, {}).items()):
            rows = results[service][name] = []
            for instance in model.instances_tracked:
                row = {}
                for attr in dir(instance):
                    if attr.startswith("_"):
                        continue
                    try:
                        value = getattr(instance, attr)
                        json.dumps(value)
                    except (TypeError, AttributeError, ValueError):
                        continue
                    row[attr] = value
                rows.append(row)
    return results


class SandboxApp:
    def __init__(self, moto_app, world: World, on_world_change=None) -> None:
        self.moto_app = moto_app
        self.world = world
        self.on_world_change = on_world_change
        self.journal = Journal()
        self.faults = FaultInjector()
        self.metadata = MetadataService(world.metadata_credentials)
        self.echo = EchoService()
        self.sso = SsoService(world)
        keep_raw_headers()
        self.realism = REALISM
        self.guard = GUARD
        self._reset_lock = threading.Lock()
        self._configure_metadata_identity()

    def _configure_metadata_identity(self) -> None:
        ids = self.world.ids
        identity = {"accountId": ids.get("account"), "region": ids.get("region"),
                    "availabilityZone": f"{ids.get('region')}a"}
        images = list(ids.get("images", {}))
        if images:
            identity["imageId"] = images[0]
        self.metadata.reset(identity)

    # WSGI ------------------------------------------------------------------

    def __call__(self, environ: dict, start_response):
        path = environ.get("PATH_INFO", "")
        if path.startswith("/_sandbox/"):
            return self._control(environ, start_response)
        method = environ.get("REQUEST_METHOD", "GET")
        started = time.monotonic()
        if path.startswith("/latest/"):
            _read_body(environ)
            answer, params = self.metadata.handle(method, path, EnvironHeaders(environ))
            return self._local(environ, start_response, "imds", self._metadata_action(method, path),
                               params, answer, started)
        if path == "/container/credentials":
            _read_body(environ)
            answer, params = self.metadata.handle_container(method, EnvironHeaders(environ))
            return self._local(environ, start_response, "container", "GetCredentials", params, answer, started)
        if path == "/echo":
            _read_body(environ)
            params = dict(parse_qsl(environ.get("QUERY_STRING", ""), keep_blank_values=True))
            return self._local(environ, start_response, "echo", "GetIp", params, self.echo.handle(), started)
        if "HTTP_AUTHORIZATION" not in environ and path in (PORTAL_PATH, OIDC_TOKEN_PATH):
            # Unsigned, so never S3's: an object "credentials" in a bucket
            # "federation", or a POST to a bucket "token", needs a signature.
            body = _read_body(environ)
            if path == PORTAL_PATH:
                query = dict(parse_qsl(environ.get("QUERY_STRING", ""), keep_blank_values=True))
                answer, params = self.sso.get_role_credentials(environ, query)
                return self._local(environ, start_response, "sso", "GetRoleCredentials", params, answer, started)
            answer, params = self.sso.create_token(environ, body)
            return self._local(environ, start_response, "sso-oidc", "CreateToken", params, answer, started)
        return self._aws(environ, start_response, started)

    @staticmethod
    def _metadata_action(method: str, path: str) -> str:
        if path == "/latest/api/token":
            return "GetToken"
        if path.startswith("/latest/dynamic/instance-identity/"):
            return "GetIdentityDocument"
        if path.startswith("/latest/meta-data/iam/security-credentials"):
            return "GetRoleCredentials"
        return "GetMetadata"

    def _local(self, environ, start_response, service, action, params, answer, started):
        status, headers, body = answer
        entry = {
            "service": service, "action": action, "method": environ.get("REQUEST_METHOD"),
            "path": environ.get("PATH_INFO"), "params": params,
            "status": 0 if body is None else status,
            "error_code": None if body is None or 200 <= status < 300 else str(status),
            "elapsed_ms": round((time.monotonic() - started) * 1000, 1),
        }
        if body is None:
            entry["fault"] = "drop"
        self.journal.add(entry)
        if body is None:
            _drop_connection(environ)
        start_response(_status_line(status), headers)
        return [body]

    def _aws(self, environ, start_response, started):
        method = environ.get("REQUEST_METHOD", "GET")
        body = _read_body(environ)
        service, action, params = protocol.describe(environ, body)
        entry = {
            "service": service, "action": action, "method": method,
            "path": environ.get("PATH_INFO", ""), "params": params,
        }
        self.guard.tick()  # launches due to die do so before anyone looks
        # Faults decide first; the realistic profile (its own throttling,
        # eventual consistency, slow transitions) only sees what they let by.
        decision = self.faults.decide(service, action, bucket_throttle=not self.realism.throttles(service),
                                      key=unquote(params["Key"]) if service == "s3" and "Key" in params else None)
        if decision.latency_ms:
            time.sleep(decision.latency_ms / 1000.0)
        if decision.drop:
            entry.update(status=0, error_code=None, fault="drop",
                         elapsed_ms=round((time.monotonic() - started) * 1000, 1))
            self.journal.add(entry)
            _drop_connection(environ)
        if decision.malformed is not None:
            return self._malformed(environ, start_response, entry, decision.malformed, started)
        refusal = None
        if decision.error is None:
            scope = protocol.credential_scope(environ)
            region, key_id = (scope[2], scope[0]) if scope else (None, None)
            refusal = self.realism.admit(service, action, params, region)
        if decision.error is not None or refusal is not None:
            status, code, message = decision.error or refusal
            status, headers, data = protocol.error_response(service, status, code, message, method)
            entry.update(status=status, error_code=code,
                         fault="profile" if refusal is not None else
                         "rule" if decision.rule is not None else "injected")
        else:
            def authorized():
                # Once moto has authenticated the caller and found the action
                # allowed by its IAM policies: the organisation's policies
                # (an explicit deny wins), then EC2's and IAM's own checks
                # of the parameters.
                from .corrections import refusal as aws_refusal

                decided = self.guard.admit(service, action, params, region, self.world.account, key_id)
                if decided is not None:
                    return decided
                found = aws_refusal(service, action, params, region)
                return (found, None) if found is not None else None

            status, headers, data, fault = self._call_moto(environ, service, method, authorized)
            if fault is not None:
                entry["fault"] = fault
            self.realism.observe(service, action, params, status)
            reshaped = protocol.reshape_error(service, status, data, method)
            if reshaped is not None:
                status, headers, data = reshaped
            content_type = next((v for k, v in headers if k.lower() == "content-type"), "")
            entry.update(status=status, error_code=protocol.error_code_of(status, content_type, data))
        entry["elapsed_ms"] = round((time.monotonic() - started) * 1000, 1)
        self.journal.add(entry)
        start_response(_status_line(status), headers)
        return [data]

    def _malformed(self, environ, start_response, entry, effect, started):
        """A broken answer on purpose (fault rules "body", "truncate", "pad",
        "redirect")."""
        method = entry["method"]
        if "body" in effect or "redirect" in effect:
            data = effect.get("body", "").encode("utf-8")
            status = effect.get("status", 301 if "redirect" in effect else 200)
            headers = [("Content-Length", str(len(data)))]
            if "redirect" in effect:
                # The request target as sent, query included: a client that
                # follows it comes straight back here.
                target = environ.get("RAW_URI") or environ.get("REQUEST_URI") or "/"
                headers.append(("Location", f"http://{environ.get('HTTP_HOST', '')}{target}"))
        else:
            status, headers, data, _ = self._call_moto(environ, entry["service"], method)
            headers = [(k, v) for k, v in headers if k.lower() != "content-length"]
            data += b" " * effect.get("pad", 0)
            headers.append(("Content-Length", str(len(data))))
        entry.update(status=status, error_code=None, fault="rule",
                     elapsed_ms=round((time.monotonic() - started) * 1000, 1))
        self.journal.add(entry)
        write = start_response(_status_line(status), headers)
        if "truncate" in effect:
            write(data[:effect["truncate"]])
            _drop_connection(environ)
        return [data]

    def _call_moto(self, environ, service, method, authorized=None):
        """(status, headers, body, fault) of moto's answer; `authorized` is
        asked, once moto has authorized the action, for a refusal
        ((status, code, message), fault label) that answers instead."""
        from .corrections import Refused, request_context

        scope = protocol.credential_scope(environ)
        request_context.access_key_id = scope[0] if scope else None
        request_context.raw_uri = environ.get("RAW_URI") or environ.get("REQUEST_URI")
        captured: dict = {}

        def capture(status, headers, exc_info=None):
            captured["status"] = int(str(status).split(" ", 1)[0])
            captured["headers"] = list(headers)
            return lambda data: None

        request_context.after_authorization = authorized
        try:
            result = self.moto_app(environ, capture)
            try:
                data = b"".join(result)
            finally:
                if hasattr(result, "close"):
                    result.close()
        except Refused as refused:
            return (*protocol.error_response(service, refused.status, refused.code, refused.message, method),
                    refused.fault)
        except Exception as error:  # moto failed: answer as AWS would, 500
            traceback.print_exc(file=sys.stderr)
            return (*protocol.error_response(service, 500, protocol.SERVER_ERROR.get(
                service, protocol.SERVER_ERROR["iam"])[1], f"sandbox: moto failed: {error!r}", method), None)
        finally:
            request_context.after_authorization = None
        headers = [(k, v) for k, v in captured.get("headers", []) if k.lower() != "content-length"]
        if method != "HEAD" or data:
            headers.append(("Content-Length", str(len(data))))
        else:
            # Keep the Content-Length moto gave a HEAD answer (the object's size).
            headers.extend((k, v) for k, v in captured.get("headers", []) if k.lower() == "content-length")
        return captured.get("status", 500), headers, data, None

    # Control API -------------------------------------------------------------

    def _control(self, environ, start_response):
        method = environ.get("REQUEST_METHOD", "GET")
        path = environ.get("PATH_INFO", "")[len("/_sandbox/"):].strip("/")
        body = _read_body(environ)
        query = dict(parse_qsl(environ.get("QUERY_STRING", "")))
        try:
            payload = json.loads(body) if body.strip() else {}
        except ValueError:
            return self._json(start_response, 400, {"error": "the body is not JSON"})
        try:
            status, answer = self._dispatch(method, path, payload, query)
        except ControlError as error:
            status, answer = error.status, {"error": str(error)}
        except (FaultError, ProfileError, GuardError, WorldError, ValueError, TypeError, KeyError) as error:
            status, answer = 400, {"error": f"{type(error).__name__}: {error}"}
        return self._json(start_response, status, answer)

    @staticmethod
    def _json(start_response, status, answer):
        data = json.dumps(answer, indent=2, default=str).encode("utf-8")
        start_response(_status_line(status), [("Content-Type", "application/json"),
                                              ("Content-Length", str(len(data)))])
        return [data]

    def _dispatch(self, method: str, path: str, payload, query: dict) -> tuple[int, object]:
        routes = {
            ("GET", "health"): lambda: {"ok": True},
            ("GET", "journal"): lambda: self.journal.entries(query.get("service"), query.get("action")),
            ("DELETE", "journal"): lambda: (self.journal.clear(), {"cleared": True})[1],
            ("GET", "faults"): self.faults.describe,
            ("POST", "faults"): lambda: (self.faults.configure(payload), self.faults.describe())[1],
            ("DELETE", "faults"): lambda: (self.faults.clear(), self.faults.describe())[1],
            ("GET", "imds"): lambda: self.metadata.configure({}),
            ("POST", "imds"): lambda: self._set_metadata(payload),
            ("GET", "container"): lambda: self.metadata.configure_container({}),
            ("POST", "container"): lambda: self.metadata.configure_container(payload),
            ("GET", "echo"): lambda: self.echo.configure({}),
            ("POST", "echo"): lambda: self.echo.configure(payload),
            ("GET", "sso"): self.sso.describe,
            ("POST", "sso"): lambda: self.sso.configure(payload),
            ("DELETE", "sso"): lambda: (self.sso.reset(), self.sso.describe())[1],
            ("GET", "world"): lambda: self.world.ids,
            ("GET", "models"): lambda: model_data(query.get("service", "")),
            ("POST", "reset"): self.reset,
            ("GET", "s3"): lambda: {"max_keys": s3_page_cap()},
            ("POST", "s3"): lambda: self._set_s3(payload),
            ("POST", "images"): lambda: self._set_images(payload),
            ("GET", "profile"): self.realism.describe,
            ("POST", "profile"): lambda: self.realism.configure(payload),
            ("DELETE", "profile"): self.realism.off,
            ("GET", "inventory"): lambda: (self.guard.tick(), self.realism.inventory(self.world))[1],
            ("GET", "guard"): self.guard.describe,
            ("POST", "guard"): lambda: self.guard.configure(payload, self.world.ids),
            ("DELETE", "guard"): self.guard.off,
        }
        handler = routes.get((method, path))
        if handler is None:
            if any(route_path == path for _, route_path in routes):
                raise ControlError(405, f"{method} is not allowed on /_sandbox/{path}")
            raise ControlError(404, f"no control route /_sandbox/{path}")
        if method == "POST" and not isinstance(payload, dict):
            raise ControlError(400, "the body must be a JSON object")
        return 200, handler()

    def _set_metadata(self, payload: dict) -> dict:
        settings = dict(payload)
        if settings.pop("reset", False):
            self._configure_metadata_identity()
        return self.metadata.configure(settings)

    def _set_s3(self, payload: dict) -> dict:
        from .corrections import s3_page_cap as current_cap, set_s3_page_cap

        unknown = set(payload) - {"max_keys", "fill", "retention_bucket"}
        if unknown:
            raise ValueError(f"unknown s3 settings: {sorted(unknown)}")
        if "max_keys" in payload:
            cap = payload["max_keys"]
            if cap is not None and (not isinstance(cap, int) or isinstance(cap, bool) or cap < 1):
                raise ValueError("max_keys must be a positive integer or null")
            set_s3_page_cap(cap)
        answer: dict = {"max_keys": current_cap()}
        fill = payload.get("fill")
        if fill is not None:
            # Many objects at once, made in-process (no requests, no journal).
            count = int(fill.get("count", 0))
            if not 0 < count <= 100000:
                raise ValueError("fill.count must lie between 1 and 100000")
            bucket = fill.get("bucket") or self.world.ids.get("bucket")
            prefix = str(fill.get("prefix", ""))
            body = str(fill.get("body", "x")).encode("utf-8")
            keys = [f"{prefix}{index:05d}" for index in range(count)]
            for key in keys:
                self.world.s3.put_object(bucket, key, body)
            answer["filled"] = {"bucket": bucket, "first": keys[0], "last": keys[-1], "count": count}
        retention = payload.get("retention_bucket")
        if retention is not None:
            answer["retention_bucket"] = self._retention_bucket(retention)
        return answer

    def _retention_bucket(self, settings: dict) -> dict:
        """A new bucket with Object Lock on and a default retention, made
        in-process: `name`, `mode` (GOVERNANCE, the default, or COMPLIANCE),
        `days` (default 1)."""
        name = settings.get("name") if isinstance(settings, dict) else None
        mode = settings.get("mode", "GOVERNANCE") if isinstance(settings, dict) else None
        days = settings.get("days", 1) if isinstance(settings, dict) else None
        if not isinstance(name, str) or not name:
            raise ValueError("retention_bucket.name must be a bucket name")
        if mode not in ("GOVERNANCE", "COMPLIANCE"):
            raise ValueError("retention_bucket.mode must be GOVERNANCE or COMPLIANCE")
        if not isinstance(days, int) or isinstance(days, bool) or days < 1:
            raise ValueError("retention_bucket.days must be a positive integer")
        bucket = self.world.s3.create_bucket(name, self.world.region)
        bucket.object_lock_enabled = True
        bucket.versioning_status = "Enabled"
        self.world.s3.put_object_lock_configuration(name, True, mode=mode, days=days, years=0)
        return {"name": name, "mode": mode, "days": days}

    def _set_images(self, payload: dict) -> dict:
        items = payload.get("images", [payload] if payload else [])
        done = self.world.set_image_dates(items)
        self.world.ids.setdefault("images", {}).update(done)
        return done

    def reset(self) -> dict:
        """moto's reset of every backend, then the world seeded afresh; the
        journal, faults, metadata, echo and S3 settings go back to their
        defaults (the SSO tokens are forgotten), and the realistic and guarded
        profiles are off."""
        from moto.moto_api._internal.models import moto_api_backend

        from .corrections import clear_client_tokens, set_s3_page_cap

        with self._reset_lock:
            self.realism.reset()
            self.guard.reset()
            clear_client_tokens()
            reset_moto(moto_api_backend)
            ids = self.world.seed()
            self.journal.clear()
            self.faults.clear()
            self.echo.reset()
            self.sso.reset()
            set_s3_page_cap(None)
            self._configure_metadata_identity()
            if self.on_world_change:
                self.on_world_change(ids)
            return ids


def reset_moto(moto_api_backend) -> None:
    """moto's reset of every backend (moto_api_backend.reset()), less its
    waste: moto re-creates each backend and then drops it. Re-creating an EC2
    backend (directly, or through Auto Scaling's) loads moto's thousand
    default images, a fifth of a second a region, and holds every request
    meanwhile. So a backend is dropped unreset, as nothing keeps it, unless
    its class has a reset of its own that may free what it holds (S3's
    object buffers)."""
    from moto.core.base_backend import BackendDict, BaseBackend, backend_lock
    from moto.core.model_instances import reset_model_data

    region, account = moto_api_backend.region_name, moto_api_backend.account_id
    with backend_lock:
        for backends in BackendDict._instances:
            for per_account in backends.values():
                for backend in per_account.values():
                    if type(backend).reset is not BaseBackend.reset:
                        backend.reset()
            backends.clear()
        BackendDict._instances.clear()
    reset_model_data()
    moto_api_backend.__init__(region, account)


def s3_page_cap():
    from .corrections import s3_page_cap as cap

    return cap()
