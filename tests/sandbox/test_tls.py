"""The sandbox over https: clients verify its certificate, and bodies that
botocore streams chunked (as it does over https) reach moto whole."""

from __future__ import annotations

import io
import unittest

import boto3
from botocore.config import Config
from botocore.exceptions import SSLError

import harness



sandbox = harness.ModuleSandbox(auth=True, extra_args=["--tls"])
setUpModule, tearDownModule = sandbox.start, sandbox.stop


def s3_client(verify):
    world = sandbox.world
    return boto3.session.Session().client(
        "s3", endpoint_url=sandbox.endpoint, region_name=world["region"], verify=verify,
        config=Config(retries={"total_max_attempts": 1}),
        aws_access_key_id=world["user"]["access_key_id"],
        aws_secret_access_key=world["user"]["secret_access_key"])


class TlsTest(unittest.TestCase):
    def test_serves_https_with_a_certificate_clients_can_trust(self):
        self.assertTrue(sandbox.endpoint.startswith("https://127.0.0.1:"))
        bucket = sandbox.world["bucket"]
        s3_client(sandbox.world["ca_bundle"]).head_bucket(Bucket=bucket)
        with self.assertRaises(SSLError):
            s3_client(True).head_bucket(Bucket=bucket)

    def test_streamed_upload_is_stored_whole(self):
        s3 = s3_client(sandbox.world["ca_bundle"])
        bucket = sandbox.world["bucket"]
        body = bytes(range(256)) * (24 * 1024)  # 6 MiB
        s3.put_object(Bucket=bucket, Key="tls/streamed.bin", Body=io.BytesIO(body))
        stored = s3.get_object(Bucket=bucket, Key="tls/streamed.bin")["Body"].read()
        self.assertEqual(len(stored), len(body))
        self.assertEqual(stored, body)


if __name__ == "__main__":
    unittest.main()
