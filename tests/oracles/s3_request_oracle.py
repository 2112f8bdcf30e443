"""Whole S3 requests as botocore sends them, with the headers its handlers add
after serialisation (checksums, Content-MD5), the reference our S3 client's
requests are checked against.

Reads a JSON list on stdin: [{"operation": "DeleteObjects", "params": {...}},
...]. Writes a JSON list: {"method", "url", "headers" (names lower-cased,
values as text), "body"} per request. Nothing is sent: each request is caught
before it leaves.
"""
import json
import os
import sys

# Nothing of this machine's AWS set-up may change the requests.
os.environ["AWS_EC2_METADATA_DISABLED"] = "true"
os.environ["AWS_CONFIG_FILE"] = os.devnull

import botocore.session  # noqa: E402
from botocore import xform_name  # noqa: E402


class Caught(Exception):
    pass


def request_of(case):
    client = botocore.session.get_session().create_client(
        "s3", region_name="us-east-1", aws_access_key_id="AKID",
        aws_secret_access_key="SECRET", endpoint_url="http://127.0.0.1:5000")
    seen = {}

    def capture(request, **_):
        body = request.body or b""
        if hasattr(body, "read"):  # PutObject's body is a stream
            body = body.read()
        seen.update(method=request.method, url=request.url,
                    headers={k.lower(): (v.decode() if isinstance(v, bytes) else str(v))
                             for k, v in request.headers.items()},
                    body=body.decode("utf-8") if isinstance(body, bytes) else body)
        raise Caught()

    client.meta.events.register("before-send.s3", capture)
    try:
        getattr(client, xform_name(case["operation"]))(**case["params"])
    except Caught:
        pass
    return seen


json.dump([request_of(case) for case in json.load(sys.stdin)], sys.stdout)
