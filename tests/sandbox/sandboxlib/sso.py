"""IAM Identity Center, which moto lacks: the portal's GetRoleCredentials and
SSO OIDC's CreateToken (refresh_token grant), both REST-JSON and unsigned,
with the shapes and error codes of botocore's "sso" and "sso-oidc" models.

The sandbox plays the identity center of the world's account: an access
token is valid when the control API registered it (a stand-in for
`aws sso login`) or CreateToken issued it, until it expires; a refresh token
is valid when it was registered with its client (id and secret) or issued by
CreateToken, and is used up by the exchange (AWS rotates refresh tokens).
GetRoleCredentials answers for the world's account and any of the world's
roles with temporary credentials of that role (an AssumeRole made
in-process), which moto accepts for signed requests.
"""

from __future__ import annotations

import datetime as dt
import json
import secrets
import threading
import time
import uuid

PORTAL_PATH = "/federation/credentials"
OIDC_TOKEN_PATH = "/token"
# The portal's bearer token header; its "_" matters (see keep_raw_headers).
BEARER_HEADER = "x-amz-sso_bearer_token"
DEFAULT_EXPIRES_IN = 3600


def keep_raw_headers() -> None:
    """werkzeug's development server drops header names that contain "_"
    (they would collide with CGI variables), so the portal's bearer token
    would never reach the application. Keep every request's raw headers in
    the environ as "sandbox.raw_headers"."""
    from werkzeug.serving import WSGIRequestHandler

    if getattr(WSGIRequestHandler, "_sandbox_keeps_raw_headers", False):
        return
    make_environ = WSGIRequestHandler.make_environ

    def with_raw_headers(self):
        environ = make_environ(self)
        environ["sandbox.raw_headers"] = list(self.headers.items())
        return environ

    WSGIRequestHandler.make_environ = with_raw_headers
    WSGIRequestHandler._sandbox_keeps_raw_headers = True


def raw_header(environ: dict, name: str) -> str | None:
    for key, value in environ.get("sandbox.raw_headers", []):
        if key.lower() == name:
            return value
    return None


def _json_answer(status: int, body: dict, error_type: str | None = None) -> tuple:
    data = json.dumps(body).encode("utf-8")
    headers = [("Content-Type", "application/json"), ("x-amzn-RequestId", str(uuid.uuid4())),
               ("Content-Length", str(len(data)))]
    if error_type:
        headers.append(("x-amzn-ErrorType", error_type))
    return status, headers, data


def _portal_error(status: int, code: str, message: str) -> tuple:
    return _json_answer(status, {"message": message}, code)


def _oidc_error(status: int, code: str, error: str, description: str) -> tuple:
    return _json_answer(status, {"error": error, "error_description": description}, code)


class SsoService:
    def __init__(self, world) -> None:
        self._world = world
        self._lock = threading.Lock()
        self.reset()

    def reset(self) -> None:
        with self._lock:
            self.access_tokens: dict[str, float] = {}  # token -> expiry (epoch seconds)
            self.refresh_tokens: dict[str, str] = {}   # refresh token -> client id
            self.clients: dict[str, str] = {}          # client id -> secret
            self.expires_in = DEFAULT_EXPIRES_IN

    # Control ---------------------------------------------------------------

    def configure(self, config: dict) -> dict:
        """{"access_tokens": {token: seconds to live (negative: expired)},
        "clients": [{"client_id", "client_secret", "refresh_token"}],
        "expires_in": lifetime of the tokens CreateToken issues,
        "reset": true}"""
        unknown = set(config) - {"access_tokens", "clients", "expires_in", "reset"}
        if unknown:
            raise ValueError(f"unknown sso settings: {sorted(unknown)}")
        if config.get("reset"):
            self.reset()
        with self._lock:
            now = time.time()
            for token, ttl in config.get("access_tokens", {}).items():
                self.access_tokens[str(token)] = now + float(ttl)
            for client in config.get("clients", []):
                self.clients[client["client_id"]] = client["client_secret"]
                if client.get("refresh_token"):
                    self.refresh_tokens[client["refresh_token"]] = client["client_id"]
            if "expires_in" in config:
                expires_in = config["expires_in"]
                if not isinstance(expires_in, int) or isinstance(expires_in, bool) or expires_in < 1:
                    raise ValueError("expires_in must be a positive integer")
                self.expires_in = expires_in
            return self.describe_locked()

    def describe(self) -> dict:
        with self._lock:
            return self.describe_locked()

    def describe_locked(self) -> dict:
        now = time.time()
        return {
            "access_tokens": {token: round(expiry - now) for token, expiry in self.access_tokens.items()},
            "refresh_tokens": sorted(self.refresh_tokens),
            "clients": sorted(self.clients),
            "expires_in": self.expires_in,
        }

    def _token_state(self, token: str | None) -> str:
        if not token:
            return "none"
        expiry = self.access_tokens.get(token)
        if expiry is None:
            return "invalid"
        return "valid" if expiry > time.time() else "expired"

    # The portal ------------------------------------------------------------

    def get_role_credentials(self, environ: dict, query: dict) -> tuple[tuple, dict]:
        """((status, headers, body), journal params) of GetRoleCredentials."""
        account, role_name = query.get("account_id"), query.get("role_name")
        with self._lock:
            state = self._token_state(raw_header(environ, BEARER_HEADER))
        params = {"account_id": account, "role_name": role_name, "token": state}
        if environ.get("REQUEST_METHOD") != "GET":
            return _portal_error(400, "InvalidRequestException", "GetRoleCredentials is a GET"), params
        if state != "valid":
            return _portal_error(401, "UnauthorizedException", "Session token not found or invalid"), params
        if not account or not role_name:
            return _portal_error(400, "InvalidRequestException",
                                 "account_id and role_name are required"), params
        role_arn = self._world.ids.get("roles", {}).get(role_name)
        if account != self._world.ids.get("account") or role_arn is None:
            # What the portal answers for a role the user is not assigned.
            return _portal_error(403, "ForbiddenException", "No access"), params
        assumed = self._world.sts.assume_role(
            region_name=self._world.region, role_session_name="sso-sandbox-user", role_arn=role_arn,
            policy=None, duration=3600, external_id=None,
        )
        expiration = assumed.expiration
        if expiration.tzinfo is None:
            expiration = expiration.replace(tzinfo=dt.timezone.utc)
        body = {"roleCredentials": {
            "accessKeyId": assumed.access_key_id,
            "secretAccessKey": assumed.secret_access_key,
            "sessionToken": assumed.session_token,
            "expiration": int(expiration.timestamp() * 1000),
        }}
        return _json_answer(200, body), params

    # SSO OIDC --------------------------------------------------------------

    def create_token(self, environ: dict, body: bytes) -> tuple[tuple, dict]:
        """((status, headers, body), journal params) of CreateToken."""
        try:
            request = json.loads(body or b"{}")
        except ValueError:
            request = None
        if not isinstance(request, dict):
            return _oidc_error(400, "InvalidRequestException", "invalid_request",
                               "the body is not a JSON object"), {}
        grant = request.get("grantType")
        client_id, secret = request.get("clientId"), request.get("clientSecret")
        refresh = request.get("refreshToken")
        params = {"grantType": grant, "clientId": client_id}
        if environ.get("REQUEST_METHOD") != "POST" or not client_id or not secret or not grant:
            return _oidc_error(400, "InvalidRequestException", "invalid_request",
                               "clientId, clientSecret and grantType are required"), params
        if grant != "refresh_token":
            return _oidc_error(400, "UnsupportedGrantTypeException", "unsupported_grant_type",
                               "the sandbox grants refresh_token only"), params
        with self._lock:
            if self.clients.get(client_id) != secret:
                return _oidc_error(401, "InvalidClientException", "invalid_client",
                                   "Invalid client provided"), params
            owner = self.refresh_tokens.get(refresh or "")
            params["refresh"] = "valid" if owner == client_id else "invalid"
            if owner != client_id:
                return _oidc_error(400, "InvalidGrantException", "invalid_grant",
                                   "Invalid refresh token provided"), params
            del self.refresh_tokens[refresh]
            access_token = "sandbox-access-" + secrets.token_urlsafe(24)
            new_refresh = "sandbox-refresh-" + secrets.token_urlsafe(24)
            self.access_tokens[access_token] = time.time() + self.expires_in
            self.refresh_tokens[new_refresh] = client_id
            answer = {"accessToken": access_token, "tokenType": "Bearer",
                      "expiresIn": self.expires_in, "refreshToken": new_refresh}
        return _json_answer(200, answer), params
