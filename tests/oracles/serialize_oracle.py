"""Serializes requests with botocore, the reference our serializers are checked against.

Reads a JSON list on stdin: [{"service": "ec2", "operation": "DescribeSubnets",
"params": {...}}, ...]. Writes a JSON list on stdout, one object per request:
{"params": {name: value}} for the query protocols (the decoded form body),
{"target": ..., "body": {...}} for JSON 1.1, {"headers": {...}, "body_text":
..., "url_path": ..., "query": {...}} for REST-XML (S3).
"""
import json
import sys
from urllib.parse import parse_qsl

import botocore.session
from botocore.serialize import create_serializer


def main():
    session = botocore.session.get_session()
    out = []
    for item in json.load(sys.stdin):
        model = session.get_service_model(item["service"])
        op = model.operation_model(item["operation"])
        request = create_serializer(model.metadata["protocol"]).serialize_to_request(
            item.get("params", {}), op)
        body = request["body"]
        if isinstance(body, bytes):
            body = body.decode("utf-8")
        if model.metadata["protocol"] == "rest-xml":
            out.append({"headers": {k: str(v) for k, v in request["headers"].items()},
                        "body_text": body or "", "url_path": request["url_path"],
                        "query": {k: str(v) for k, v in request["query_string"].items()}})
        elif model.metadata["protocol"] in ("query", "ec2"):
            pairs = body if isinstance(body, dict) else dict(parse_qsl(body, keep_blank_values=True))
            out.append({"params": {k: str(v) for k, v in pairs.items()}})
        else:
            out.append({"target": request["headers"].get("X-Amz-Target"),
                        "body": json.loads(body) if body else {}})
    json.dump(out, sys.stdout)


if __name__ == "__main__":
    main()
