"""Resolves credentials with botocore's default chain, the reference for SSO
and web identity sign-in.

Reads one JSON object on stdin:
  {"env": {"HOME": ..., "AWS_CONFIG_FILE": ..., ...} (null unsets a variable),
   "profile": "name" or null, "caller": true (also ask STS who they are)}
The environment is set before botocore is imported, so that the SSO token
cache (~/.aws/sso/cache) lies under the given HOME.
Writes {"method": ..., "access_key": ..., "secret_key": ..., "token": ...,
"expiry": epoch seconds or null, "caller_arn": ...}, or {"error": type,
"message": ...} when botocore cannot resolve credentials.
"""
import json
import os
import sys


def main():
    request = json.load(sys.stdin)
    for name, value in request.get("env", {}).items():
        if value is None:
            os.environ.pop(name, None)
        else:
            os.environ[name] = value
    import botocore.session
    from botocore.exceptions import BotoCoreError, ClientError

    session = botocore.session.get_session()
    if request.get("profile"):
        session.set_config_variable("profile", request["profile"])
    try:
        credentials = session.get_credentials()
        if credentials is None:
            raise RuntimeError("no credentials")
        frozen = credentials.get_frozen_credentials()
        expiry = getattr(credentials, "_expiry_time", None)
        answer = {
            "method": credentials.method,
            "access_key": frozen.access_key,
            "secret_key": frozen.secret_key,
            "token": frozen.token,
            "expiry": int(expiry.timestamp()) if expiry else None,
        }
        if request.get("caller"):
            answer["caller_arn"] = session.create_client("sts").get_caller_identity()["Arn"]
    except (BotoCoreError, ClientError, RuntimeError) as error:
        answer = {"error": type(error).__name__, "message": str(error)}
    json.dump(answer, sys.stdout)


if __name__ == "__main__":
    main()
