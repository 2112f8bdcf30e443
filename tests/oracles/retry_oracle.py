"""Asks botocore's retry handlers whether an error answer is retried.

Reads a JSON object on stdin:
  {"services": ["ec2", ...], "modes": ["standard", "legacy"],
   "statuses": [400, 503, ...], "codes": ["AccessDenied", ...]}
The codes botocore itself knows are added to "codes": those of
botocore/data/_retry.json (every definition and policy) and the lists of
botocore/retries/standard.py and special.py. Every service, mode, code and
status is then put to the handler a client of that mode registers on its
needs-retry event (the standard mode's retry quota is taken out: it limits how
many retries a client may spend, not which answers are retryable).
Writes a JSON list on stdout:
  {"service", "mode", "code", "status", "retryable": bool}
"""
import json
import sys

import botocore.loaders
import botocore.session
from botocore.awsrequest import AWSResponse
from botocore.config import Config
from botocore.retries import special, standard

OPERATIONS = {
    "ec2": "DescribeRegions",
    "iam": "ListRoles",
    "sts": "GetCallerIdentity",
    "ssm": "GetParameter",
    "s3": "ListBuckets",
    "sso": "GetRoleCredentials",
    "sso-oidc": "CreateToken",
}


def codes_in(node, found):
    if isinstance(node, dict):
        for key, value in node.items():
            if key == "service_error_code":
                found.add(value)
            else:
                codes_in(value, found)
    elif isinstance(node, list):
        for value in node:
            codes_in(value, found)


def known_codes(loader):
    found = set()
    codes_in(loader.load_data("_retry"), found)
    found.update(standard.TransientRetryableChecker._TRANSIENT_ERROR_CODES)
    found.update(standard.ThrottledRetryableChecker._THROTTLED_ERROR_CODES)
    found.add("IDPCommunicationError")  # special.RetryIDPCommunicationError
    assert special.RetryIDPCommunicationError._SERVICE_NAME == "sts"
    return found


def main():
    request = json.load(sys.stdin)
    loader = botocore.loaders.create_loader()
    standard.RetryQuotaChecker.acquire_retry_quota = lambda self, context: True
    codes = sorted(set(request["codes"]) | known_codes(loader))
    session = botocore.session.Session()
    session.register_component("data_loader", loader)
    out = []
    for service in request["services"]:
        for mode in request["modes"]:
            client = session.create_client(
                service, region_name="us-east-1", aws_access_key_id="AKID",
                aws_secret_access_key="SECRET",
                config=Config(retries={"mode": mode}))
            operation = client.meta.service_model.operation_model(OPERATIONS[service])
            event = "needs-retry.%s.%s" % (
                client.meta.service_model.service_id.hyphenize(), operation.name)
            for code in codes:
                for status in request["statuses"]:
                    response = AWSResponse("https://example.com/", status, {}, None)
                    parsed = {"Error": {"Code": code, "Message": ""},
                              "ResponseMetadata": {"HTTPStatusCode": status}}
                    _, delay = client.meta.events.emit_until_response(
                        event, response=(response, parsed), endpoint=None,
                        operation=operation, attempts=1, caught_exception=None,
                        request_dict={"context": {}})
                    out.append({"service": service, "mode": mode, "code": code,
                                "status": status, "retryable": delay is not None})
    json.dump(out, sys.stdout)


if __name__ == "__main__":
    main()
