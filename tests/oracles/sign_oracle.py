"""Signs requests with botocore's SigV4 signers, the reference ours is checked against.

Reads a JSON list on stdin, one object per request:
  {"method": "GET", "url": "https://host[:port]/wire/path" (no query),
   "params": [[key, value], ...] (decoded), "headers": [[name, value], ...],
   "body_hex": "...", "service": "s3", "region": "us-east-1", "s3": true,
   "unsigned_payload": false, "access_key": ..., "secret_key": ..., "token": "" ,
   "timestamp": "20150830T123600Z"}
Writes a JSON list on stdout: {"authorization": ..., "canonical_request": ...,
"headers": [[name, value], ...]} per request, headers as botocore left them.
"""
import datetime
import json
import sys
from unittest import mock

from botocore.auth import SIGV4_TIMESTAMP, S3SigV4Auth, SigV4Auth
from botocore.awsrequest import AWSRequest
from botocore.config import Config
from botocore.credentials import Credentials


def sign(item):
    request = AWSRequest(method=item["method"], url=item["url"],
                         data=bytes.fromhex(item.get("body_hex", "")),
                         params=[tuple(p) for p in item.get("params", [])])
    for name, value in item.get("headers", []):
        request.headers[name] = value  # HTTPHeaders appends: repeated names stay repeated
    if item.get("unsigned_payload"):
        request.context["client_config"] = Config(s3={"payload_signing_enabled": False})
        request.context["payload_signing_enabled"] = False
    credentials = Credentials(item["access_key"], item["secret_key"], item.get("token") or None)
    signer_class = S3SigV4Auth if item.get("s3") else SigV4Auth
    signer = signer_class(credentials, item["service"], item["region"])
    canonical = []
    compute_canonical = signer.canonical_request
    signer.canonical_request = lambda r: canonical.append(compute_canonical(r)) or canonical[-1]
    now = datetime.datetime.strptime(item["timestamp"], SIGV4_TIMESTAMP)
    with mock.patch("botocore.auth.get_current_datetime", return_value=now):
        signer.add_auth(request)
    return {
        "authorization": request.headers["Authorization"],
        "canonical_request": canonical[-1],
        "headers": [[k, v] for k, v in request.headers.items()],
    }


def main():
    json.dump([sign(item) for item in json.load(sys.stdin)], sys.stdout)


if __name__ == "__main__":
    main()
