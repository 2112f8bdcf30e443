"""The URLs botocore builds for S3 GetObject requests: bucket addressing
(virtual-host or path style) and key encoding, the reference our S3 client is
checked against.

Reads a JSON list on stdin, one object per case:
  {"region": "eu-west-1", "bucket": "b", "key": "k", "endpoint": "http://..." (optional)}
Writes the JSON list of the URLs. Nothing is sent: each request is caught
before it leaves.
"""
import json
import os
import sys

# Nothing of this machine's AWS set-up may change the URLs.
os.environ["AWS_EC2_METADATA_DISABLED"] = "true"
os.environ["AWS_CONFIG_FILE"] = os.devnull

import botocore.session  # noqa: E402


class Caught(Exception):
    pass


def url_of(case):
    kwargs = dict(region_name=case["region"], aws_access_key_id="AKID",
                  aws_secret_access_key="SECRET")
    if case.get("endpoint"):
        kwargs["endpoint_url"] = case["endpoint"]
    client = botocore.session.get_session().create_client("s3", **kwargs)
    seen = {}

    def capture(request, **_):
        seen["url"] = request.url
        raise Caught()

    client.meta.events.register("before-send.s3", capture)
    try:
        client.get_object(Bucket=case["bucket"], Key=case["key"])
    except Caught:
        pass
    return seen["url"]


json.dump([url_of(case) for case in json.load(sys.stdin)], sys.stdout)
