"""Resolves endpoints through botocore, the reference our resolver is checked against.

Reads a JSON list on stdin, one object per case:
  {"service": "ec2", "region": "eu-west-1" ("" for none; services by our
   names, "servicequotas" for botocore's "service-quotas"),
   "vars": {"AWS_USE_FIPS_ENDPOINT": "true", ...}, "config": "<config file text>"}
Each case makes a client in a clean environment (only the case's AWS_
variables, the config text as AWS_CONFIG_FILE) and sends one request, which
is caught before it leaves: the endpoint is the one the endpoint rules chose
for a real call, not the client's provisional endpoint_url.
Writes a JSON list on stdout, one object per case:
  {"host_url": "https://host[:port]", "endpoint_url": <client.meta.endpoint_url
   without its trailing "/">, "signing_region": <credential scope, "" when
   unsigned>}
or {"error": "<exception class>", "message": ...} when botocore refuses.
"""
import json
import os
import re
import sys
import tempfile

import botocore.loaders
import botocore.session

# One cheap operation per service; its parameters do not change the host.
OPERATIONS = {
    "ec2": ("describe_regions", {}),
    "iam": ("list_roles", {}),
    "sts": ("get_caller_identity", {}),
    "ssm": ("get_parameter", {"Name": "x"}),
    "kms": ("describe_key", {"KeyId": "alias/aws/ebs"}),
    "servicequotas": ("get_service_quota", {"ServiceCode": "ec2", "QuotaCode": "L-1216C47A"}),
    "s3": ("list_buckets", {}),
    "sso": ("get_role_credentials",
            {"roleName": "r", "accountId": "123456789012", "accessToken": "t"}),
    "sso-oidc": ("create_token",
                 {"clientId": "c", "clientSecret": "s", "grantType": "refresh_token"}),
}


# Our names of services whose botocore client is named otherwise.
CLIENT_NAMES = {"servicequotas": "service-quotas"}


class Caught(Exception):
    def __init__(self, request):
        super().__init__("caught before sending")
        self.request = request


def catch(request, **_):
    raise Caught(request)


def clean_environment(case, directory, index):
    for name in list(os.environ):
        if name.startswith("AWS_"):
            del os.environ[name]
    path = os.path.join(directory, "config%d" % index)
    with open(path, "w") as f:
        f.write(case.get("config", ""))
    os.environ["AWS_CONFIG_FILE"] = path
    os.environ["AWS_SHARED_CREDENTIALS_FILE"] = path + ".none"
    os.environ["AWS_EC2_METADATA_DISABLED"] = "true"
    os.environ.update(case.get("vars", {}))


def resolve(case, loader):
    try:
        session = botocore.session.Session()
        session.register_component("data_loader", loader)
        client = session.create_client(
            CLIENT_NAMES.get(case["service"], case["service"]),
            region_name=case["region"] or None,
            aws_access_key_id="AKID", aws_secret_access_key="SECRET")
        client.meta.events.register("before-send", catch)
        operation, params = OPERATIONS[case["service"]]
        getattr(client, operation)(**params)
        return {"error": "NoRequest", "message": "the call returned without sending"}
    except Caught as caught:
        request = caught.request
        authorization = request.headers.get("Authorization", b"")
        if isinstance(authorization, bytes):
            authorization = authorization.decode()
        scope = re.search(r"Credential=[^/]+/\d+/([^/]+)/", authorization)
        return {"host_url": re.match(r"^https?://[^/?]*", request.url).group(0),
                "endpoint_url": client.meta.endpoint_url.rstrip("/"),
                "signing_region": scope.group(1) if scope else ""}
    except Exception as error:  # what botocore raises is the answer
        return {"error": type(error).__name__, "message": str(error)}


def main():
    cases = json.load(sys.stdin)
    loader = botocore.loaders.create_loader()  # the models are read once
    out = []
    with tempfile.TemporaryDirectory() as directory:
        for index, case in enumerate(cases):
            clean_environment(case, directory, index)
            out.append(resolve(case, loader))
    json.dump(out, sys.stdout)


if __name__ == "__main__":
    main()
