"""IAM Identity Center in the sandbox (the portal's GetRoleCredentials and
SSO OIDC's CreateToken) and unsigned AssumeRoleWithWebIdentity, checked with
botocore's own SSO and web identity providers: with the same profile files
and token cache, botocore must sign in and its credentials must pass
moto's signature check."""

from __future__ import annotations

import hashlib
import json
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import unittest

from botocore import UNSIGNED
from botocore.config import Config

import harness

ORACLE = os.path.join(os.path.dirname(harness.HERE), "oracles", "credentials_oracle.py")
START_URL = "https://sandbox-corp.awsapps.com/start"



sandbox = harness.ModuleSandbox(auth=True)
setUpModule, tearDownModule = sandbox.start, sandbox.stop


def unsigned(service: str):
    return harness._session().client(service, endpoint_url=sandbox.endpoint, region_name="us-east-1",
                                      config=Config(signature_version=UNSIGNED, retries={"total_max_attempts": 1}))


class SsoCase(unittest.TestCase):
    def setUp(self):
        sandbox.control("POST", "sso", {"reset": True})
        sandbox.clear_journal()
        self.home = tempfile.mkdtemp(prefix="sso-home-")
        self.addCleanup(shutil.rmtree, self.home, True)
        self.cache = os.path.join(self.home, ".aws", "sso", "cache")
        os.makedirs(self.cache)
        account = sandbox.world["account"]
        with open(os.path.join(self.home, ".aws", "config"), "w", encoding="utf-8") as config:
            config.write(f"[profile modern]\nsso_session = corp\nsso_account_id = {account}\n"
                         f"sso_role_name = deploy-role\nregion = us-east-1\n"
                         f"[sso-session corp]\nsso_start_url = {START_URL}\nsso_region = us-east-1\n"
                         f"sso_registration_scopes = sso:account:access\n"
                         f"[profile legacy]\nsso_start_url = {START_URL}\nsso_region = us-east-1\n"
                         f"sso_account_id = {account}\nsso_role_name = workflow-role\n")

    def cache_file(self, name: str) -> str:
        return os.path.join(self.cache, hashlib.sha1(name.encode()).hexdigest() + ".json")

    def write_token(self, name: str, token: str, expires_at: str, **extra) -> None:
        entry = {"startUrl": START_URL, "region": "us-east-1", "accessToken": token,
                 "expiresAt": expires_at, **extra}
        with open(self.cache_file(name), "w", encoding="utf-8") as out:
            json.dump(entry, out)

    def botocore(self, profile: str) -> dict:
        env = {"HOME": self.home, "AWS_CONFIG_FILE": os.path.join(self.home, ".aws", "config"),
               "AWS_SHARED_CREDENTIALS_FILE": os.path.join(self.home, ".aws", "credentials"),
               "AWS_ENDPOINT_URL": sandbox.endpoint}
        run = subprocess.run([sys.executable, ORACLE], capture_output=True, text=True, check=True,
                             input=json.dumps({"env": env, "profile": profile, "caller": True}))
        return json.loads(run.stdout)


class SignIn(SsoCase):
    def test_botocore_signs_in_with_both_profile_forms(self):
        sandbox.control("POST", "sso", {"access_tokens": {"tok-modern": 3600, "tok-legacy": 3600}})
        self.write_token("corp", "tok-modern", "2099-01-01T00:00:00Z")
        self.write_token(START_URL, "tok-legacy", "2099-01-01T00:00:00Z")
        for profile, role in [("modern", "deploy-role"), ("legacy", "workflow-role")]:
            with self.subTest(profile=profile):
                answer = self.botocore(profile)
                self.assertEqual(answer.get("method"), "sso", answer)
                self.assertIn(f":assumed-role/{role}/", answer["caller_arn"])
        calls = sandbox.journal("sso", "GetRoleCredentials")
        self.assertEqual([(c["params"]["role_name"], c["params"]["token"]) for c in calls],
                         [("deploy-role", "valid"), ("workflow-role", "valid")])

    def test_refresh_rotates_the_tokens_and_botocore_rewrites_the_cache(self):
        sandbox.control("POST", "sso", {"clients": [{"client_id": "cid", "client_secret": "csecret",
                                                     "refresh_token": "rt-1"}]})
        # Expired: botocore renews a token that expires within 15 minutes.
        self.write_token("corp", "tok-ended", "2000-01-01T00:00:00Z", clientId="cid",
                         clientSecret="csecret", registrationExpiresAt="2099-01-01T00:00:00Z",
                         refreshToken="rt-1")

        answer = self.botocore("modern")
        self.assertIn(":assumed-role/deploy-role/", answer.get("caller_arn", ""), answer)
        with open(self.cache_file("corp"), encoding="utf-8") as source:
            renewed = json.load(source)
        self.assertEqual(list(renewed), ["startUrl", "region", "accessToken", "expiresAt", "clientId",
                                         "clientSecret", "registrationExpiresAt", "refreshToken"])
        self.assertNotEqual((renewed["accessToken"], renewed["refreshToken"]), ("tok-ended", "rt-1"))
        self.assertEqual(sandbox.journal("sso", "GetRoleCredentials")[0]["params"]["token"], "valid")
        self.assertEqual(stat.S_IMODE(os.stat(self.cache_file("corp")).st_mode), 0o600)
        # The exchanged refresh token is used up.
        code = harness.error_of(lambda: unsigned("sso-oidc").create_token(
            clientId="cid", clientSecret="csecret", grantType="refresh_token", refreshToken="rt-1"))
        self.assertEqual(code, ("InvalidGrantException", 400))


class Refusals(SsoCase):
    def test_portal_and_oidc_errors_have_the_modelled_codes(self):
        sandbox.control("POST", "sso", {"access_tokens": {"good": 3600, "old": -5},
                                        "clients": [{"client_id": "cid", "client_secret": "csecret",
                                                     "refresh_token": "rt"}]})
        account = sandbox.world["account"]
        portal, oidc = unsigned("sso"), unsigned("sso-oidc")

        def role(token, name="deploy-role", account_id=account):
            return lambda: portal.get_role_credentials(roleName=name, accountId=account_id, accessToken=token)

        def grant(secret="csecret", refresh="rt", grant_type="refresh_token"):
            return lambda: oidc.create_token(clientId="cid", clientSecret=secret, grantType=grant_type,
                                             refreshToken=refresh)

        cases = [
            ("unknown token", role("forged"), ("UnauthorizedException", 401)),
            ("expired token", role("old"), ("UnauthorizedException", 401)),
            ("unassigned role", role("good", "no-such-role"), ("ForbiddenException", 403)),
            ("other account", role("good", account_id="210987654321"), ("ForbiddenException", 403)),
            ("wrong client secret", grant(secret="wrong"), ("InvalidClientException", 401)),
            ("unknown refresh token", grant(refresh="forged"), ("InvalidGrantException", 400)),
            ("device code grant", grant(grant_type="urn:ietf:params:oauth:grant-type:device_code"),
             ("UnsupportedGrantTypeException", 400)),
        ]
        for name, call, expected in cases:
            with self.subTest(name):
                self.assertEqual(harness.error_of(call), expected)


class WebIdentity(unittest.TestCase):
    def test_unsigned_exchange_gives_credentials_that_pass_the_signature_check(self):
        role_arn = sandbox.world["roles"]["workflow-role"]
        answer = unsigned("sts").assume_role_with_web_identity(
            RoleArn=role_arn, RoleSessionName="pipeline", WebIdentityToken="eyJ.sandbox.token")
        creds = answer["Credentials"]
        client = sandbox.client("sts", aws_access_key_id=creds["AccessKeyId"],
                                aws_secret_access_key=creds["SecretAccessKey"],
                                aws_session_token=creds["SessionToken"])
        self.assertIn(":assumed-role/workflow-role/pipeline", client.get_caller_identity()["Arn"])
        forged = sandbox.client("sts", aws_access_key_id=creds["AccessKeyId"],
                                aws_secret_access_key="forged", aws_session_token=creds["SessionToken"])
        self.assertEqual(harness.error_of(forged.get_caller_identity)[0], "SignatureDoesNotMatch")


if __name__ == "__main__":
    unittest.main()
