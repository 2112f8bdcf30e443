"""The instance metadata paths, container credentials and the address echo,
checked with botocore's own metadata clients where it has them."""

from __future__ import annotations

import datetime as dt
import http.client
import json
import time
import unittest
import urllib.error

from botocore.utils import ContainerMetadataFetcher, InstanceMetadataFetcher

import harness



sandbox = harness.ModuleSandbox(auth=True)
setUpModule, tearDownModule = sandbox.start, sandbox.stop


def imds_fetcher():
    # env={} so that the test process's AWS_EC2_METADATA_DISABLED does not apply.
    return InstanceMetadataFetcher(timeout=2, num_attempts=1, base_url=sandbox.endpoint + "/", env={})


def get_token(ttl="21600"):
    status, headers, body = sandbox.http("PUT", "/latest/api/token",
                                         {"X-aws-ec2-metadata-token-ttl-seconds": ttl})
    return status, body.decode()


class MetadataCase(unittest.TestCase):
    def setUp(self):
        sandbox.control("POST", "imds", {"reset": True})
        sandbox.clear_journal()

    def tearDown(self):
        sandbox.control("POST", "imds", {"reset": True})


class Tokens(MetadataCase):
    def test_token_ttl_must_lie_between_1_and_21600_seconds(self):
        for ttl, status in [("1", 200), ("21600", 200), ("0", 400), ("21601", 400), ("soon", 400)]:
            with self.subTest(ttl=ttl):
                self.assertEqual(get_token(ttl)[0], status)
        status, _, _ = sandbox.http("PUT", "/latest/api/token")
        self.assertEqual(status, 400)

    def test_v2_answers_with_or_without_a_token_but_never_with_a_bad_one(self):
        _, token = get_token()
        path = "/latest/dynamic/instance-identity/document"
        cases = [({}, 200), ({"X-aws-ec2-metadata-token": token}, 200), ({"X-aws-ec2-metadata-token": "forged"}, 401)]
        for headers, status in cases:
            with self.subTest(headers=headers):
                self.assertEqual(sandbox.http("GET", path, headers)[0], status)
        states = [e["params"].get("token") for e in sandbox.journal("imds", "GetIdentityDocument")]
        self.assertEqual(states, ["none", "valid", "invalid"])

    def test_v2_required_refuses_requests_without_a_token(self):
        sandbox.control("POST", "imds", {"mode": "v2-required"})
        self.assertEqual(sandbox.http("GET", "/latest/meta-data/instance-id")[0], 401)
        _, token = get_token()
        status, _, body = sandbox.http("GET", "/latest/meta-data/instance-id", {"X-aws-ec2-metadata-token": token})
        self.assertEqual((status, body.decode()), (200, "i-0a1b2c3d4e5f60718"))
        credentials = imds_fetcher().retrieve_iam_role_credentials()
        self.assertEqual(credentials["role_name"], sandbox.world["metadata_role"])

    def test_v1_only_refuses_tokens_so_clients_fall_back(self):
        sandbox.control("POST", "imds", {"mode": "v1-only"})
        self.assertEqual(get_token()[0], 403)
        credentials = imds_fetcher().retrieve_iam_role_credentials()
        self.assertEqual(credentials["role_name"], sandbox.world["metadata_role"])
        calls = [(e["action"], e["status"], e["params"].get("token")) for e in sandbox.journal("imds")]
        self.assertEqual(calls[0][:2], ("GetToken", 403))
        self.assertIn(("GetRoleCredentials", 200, "none"), calls)


class Identity(MetadataCase):
    def document(self):
        status, _, body = sandbox.http("GET", "/latest/dynamic/instance-identity/document")
        return status, body

    def test_document_names_the_worlds_account_and_region(self):
        status, body = self.document()
        document = json.loads(body)
        self.assertEqual(status, 200)
        self.assertEqual((document["accountId"], document["region"]),
                         (sandbox.world["account"], sandbox.world["region"]))
        for member in ("instanceId", "availabilityZone", "imageId", "instanceType", "privateIp"):
            self.assertIn(member, document)

    def test_overrides_merge_into_the_document(self):
        state = sandbox.control("POST", "imds", {"identity": {"accountId": None, "region": "eu-west-1"}})
        document = json.loads(self.document()[1])
        self.assertNotIn("accountId", document)
        self.assertEqual(document["region"], "eu-west-1")
        self.assertEqual(state["identity"], document)
        sandbox.control("POST", "imds", {"identity_body": "not json"})
        self.assertEqual(self.document(), (200, b"not json"))

    def test_down_closes_the_connection_or_answers_404(self):
        sandbox.control("POST", "imds", {"mode": "down"})
        with self.assertRaises((http.client.RemoteDisconnected, ConnectionError, urllib.error.URLError)):
            self.document()
        self.assertEqual(imds_fetcher().retrieve_iam_role_credentials(), {})
        sandbox.control("POST", "imds", {"down_action": "404"})
        self.assertEqual(self.document()[0], 404)
        self.assertEqual(get_token()[0], 404)

    def test_latency_delays_every_metadata_answer(self):
        sandbox.control("POST", "imds", {"latency_ms": 300})
        started = time.monotonic()
        self.assertEqual(self.document()[0], 200)
        self.assertGreaterEqual(time.monotonic() - started, 0.3)


class RoleCredentials(MetadataCase):
    def test_role_credentials_are_accepted_by_the_services(self):
        credentials = imds_fetcher().retrieve_iam_role_credentials()
        expiry = dt.datetime.strptime(credentials["expiry_time"], "%Y-%m-%dT%H:%M:%SZ")
        self.assertGreater(expiry, dt.datetime.utcnow() + dt.timedelta(minutes=15))
        sts = sandbox.client("sts", aws_access_key_id=credentials["access_key"],
                             aws_secret_access_key=credentials["secret_key"],
                             aws_session_token=credentials["token"])
        identity = sts.get_caller_identity()
        self.assertIn(f":assumed-role/{sandbox.world['metadata_role']}/", identity["Arn"])
        ec2 = sandbox.client("ec2", aws_access_key_id=credentials["access_key"],
                             aws_secret_access_key=credentials["secret_key"],
                             aws_session_token=credentials["token"])
        vpcs = [vpc["VpcId"] for vpc in ec2.describe_vpcs()["Vpcs"]]
        self.assertIn(sandbox.world["vpc_id"], vpcs)

    def test_unknown_role_is_not_found(self):
        status, _, _ = sandbox.http("GET", "/latest/meta-data/iam/security-credentials/other-role")
        self.assertEqual(status, 404)


class ContainerCredentials(MetadataCase):
    URL_PATH = "/container/credentials"

    def test_authorization_is_checked_when_set(self):
        fetcher = ContainerMetadataFetcher()
        url = sandbox.endpoint + self.URL_PATH
        self.assertIn("AccessKeyId", fetcher.retrieve_full_uri(url))
        sandbox.control("POST", "container", {"authorization": "Bearer sandbox-token"})
        self.assertEqual(sandbox.http("GET", self.URL_PATH)[0], 403)
        self.assertEqual(sandbox.http("GET", self.URL_PATH, {"Authorization": "Bearer other"})[0], 403)
        answer = fetcher.retrieve_full_uri(url, headers={"Authorization": "Bearer sandbox-token"})
        self.assertEqual(set(answer) >= {"AccessKeyId", "SecretAccessKey", "Token", "Expiration"}, True)
        sts = sandbox.client("sts", aws_access_key_id=answer["AccessKeyId"],
                             aws_secret_access_key=answer["SecretAccessKey"], aws_session_token=answer["Token"])
        self.assertIn(":assumed-role/", sts.get_caller_identity()["Arn"])
        self.assertEqual([e["params"]["authorization"] for e in sandbox.journal("container")],
                         ["none", "none", "given", "valid"])


class Echo(unittest.TestCase):
    def tearDown(self):
        sandbox.control("POST", "echo", {"ip": "198.51.100.7", "status": 200, "body": None})

    def test_echo_answers_the_configured_address(self):
        cases = [({}, 200, {"ip": "198.51.100.7"}), ({"ip": "203.0.113.9"}, 200, {"ip": "203.0.113.9"})]
        for settings, status, answer in cases:
            with self.subTest(settings=settings):
                sandbox.control("POST", "echo", settings)
                got_status, _, body = sandbox.http("GET", "/echo?format=json")
                self.assertEqual((got_status, json.loads(body)), (status, answer))
        self.assertEqual(sandbox.journal("echo")[-1]["params"], {"format": "json"})

    def test_echo_can_fail(self):
        sandbox.control("POST", "echo", {"status": 502, "body": "bad gateway"})
        self.assertEqual(sandbox.http("GET", "/echo")[::2], (502, b"bad gateway"))
        sandbox.control("POST", "echo", {"status": 200, "body": "{\"address\": \"x\"}"})
        self.assertEqual(json.loads(sandbox.http("GET", "/echo")[2]), {"address": "x"})
        sandbox.control("POST", "echo", {"status": 0})
        with self.assertRaises((http.client.RemoteDisconnected, ConnectionError, urllib.error.URLError)):
            sandbox.http("GET", "/echo")
