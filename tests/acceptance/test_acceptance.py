"""The acceptance suite against the sandbox, as CI runs it: every step must
pass, the permissions document must allow exactly what the run called (and
the few actions only AWS asks for), and without PROBEFLEET_ACCEPTANCE=1 the
suite must send nothing at all.

PROBEFLEET_ACCEPTANCE_BUILD names the folder of the built programs (default:
the repository's build/)."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import tempfile
import unittest
import urllib.request
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parents[1]
SUITE = HERE / "acceptance.py"
POLICY = REPO / "docs" / "acceptance-policy.json"
BUILD = os.environ.get("PROBEFLEET_ACCEPTANCE_BUILD", str(REPO / "build"))

# The permission each S3 request needs, as AWS's S3 documentation names it.
S3_PERMISSIONS = {
    "ListObjectsV2": ["s3:ListBucket"], "ListObjects": ["s3:ListBucket"],
    "HeadBucket": ["s3:ListBucket"], "GetObject": ["s3:GetObject"], "HeadObject": ["s3:GetObject"],
    "PutObject": ["s3:PutObject"], "CreateMultipartUpload": ["s3:PutObject"],
    "UploadPart": ["s3:PutObject"], "CompleteMultipartUpload": ["s3:PutObject"],
    "AbortMultipartUpload": ["s3:AbortMultipartUpload"], "DeleteObject": ["s3:DeleteObject"],
    "DeleteObjects": ["s3:DeleteObject"], "CopyObject": ["s3:GetObject", "s3:PutObject"],
    "CreateBucket": ["s3:CreateBucket"], "DeleteBucket": ["s3:DeleteBucket"],
    "PutBucketTagging": ["s3:PutBucketTagging"],
    "PutBucketEncryption": ["s3:PutEncryptionConfiguration"],
    "PutPublicAccessBlock": ["s3:PutBucketPublicAccessBlock"], "ListBuckets": ["s3:ListAllMyBuckets"],
}
# Not AWS services: the metadata service and the address echo.
NOT_AWS = {"echo", "imds", "container", "sso", "sso-oidc"}

# Allowed, though a run against the sandbox never calls them, and why.
REAL_AWS_ONLY = {
    "iam:PassRole": "AWS authorizes it inside RunInstances for the instance profile; no request "
                    "of its own",
    "ec2:CreateTags": "AWS authorizes the tags inside each create request as CreateTags with "
                      "ec2:CreateAction; nothing sends it on its own",
    "iam:TagRole": "CreateRole with tags needs it on AWS (the instance role, the guard role)",
    "iam:TagPolicy": "CreatePolicy with tags needs it on AWS",
    "iam:TagInstanceProfile": "CreateInstanceProfile with tags needs it on AWS",
    "kms:DescribeKey": "asked only when EBS encryption by default uses a customer managed key",
    "iam:CreatePolicyVersion": "a run whose bucket the instance role's existing policy lacks "
                               "adds it as a new version",
    "iam:DeletePolicyVersion": "IAM keeps five versions of a policy: the oldest goes first",
    "ec2:DisassociateAddress": "the clean-up of an interrupted run, for an Elastic IP still "
                               "associated",
}


def permissions(entry: dict) -> list[str]:
    """The IAM actions a journaled request needs."""
    service, action = entry["service"], entry["action"].split(".")[-1]
    if service == "s3":
        if action not in S3_PERMISSIONS:
            raise AssertionError(f"no permission known for the S3 request {action}: add it")
        return S3_PERMISSIONS[action]
    return [f"{service}:{action}"]


def allowed_actions() -> set[str]:
    actions: set[str] = set()
    for statement in json.loads(POLICY.read_text())["Statement"]:
        assert statement["Effect"] == "Allow", statement["Sid"]
        found = statement["Action"]
        actions |= {found} if isinstance(found, str) else set(found)
    return actions


def suite(*argv: str, env: dict, timeout: float = 900) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, str(SUITE), "--build", BUILD, *argv], env=env,
                          capture_output=True, text=True, timeout=timeout)


class SandboxRun(unittest.TestCase):
    """One full run, the guarded deployment included; its journal is what
    the permissions document is held against."""

    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.TemporaryDirectory()
        journal = Path(cls.work.name) / "journal.json"
        env = dict(os.environ, PROBEFLEET_ACCEPTANCE="1", PROBEFLEET_ACCEPTANCE_GUARDS="1")
        cls.run_ = suite("--sandbox", "--journal", str(journal), env=env)
        print(cls.run_.stdout, cls.run_.stderr[-4000:], sep="\n", file=sys.stderr)
        cls.journal = json.loads(journal.read_text()) if journal.exists() else []

    @classmethod
    def tearDownClass(cls):
        cls.work.cleanup()

    def test_every_step_passes(self):
        self.assertEqual(self.run_.returncode, 0, self.run_.stdout[-3000:])
        steps = [line for line in self.run_.stdout.splitlines() if line.startswith("[")]
        oks = [line for line in self.run_.stdout.splitlines() if line.strip().startswith("ok ")]
        self.assertEqual(len(steps), 10, steps)
        self.assertEqual(len(oks), len(steps))

    def test_the_document_allows_every_action_called_and_no_other(self):
        self.assertTrue(self.journal, "the run left no journal")
        called = {p for e in self.journal if e["service"] not in NOT_AWS for p in permissions(e)}
        allowed = allowed_actions()
        self.assertEqual(sorted(called - allowed), [], "called, not allowed")
        self.assertEqual(sorted(allowed - called - set(REAL_AWS_ONLY)), [],
                         "allowed, never called and not known to be needed on AWS only")
        self.assertEqual(sorted(set(REAL_AWS_ONLY) - allowed), [], "listed, not allowed")
        self.assertFalse([a for a in allowed if "*" in a], "actions with wildcards")


class Gate(unittest.TestCase):
    """Without PROBEFLEET_ACCEPTANCE=1 nothing reaches an endpoint: the
    endpoints point at a sandbox whose journal must stay empty. The row with
    the variable set shows that the journal would see the suite."""

    def test_only_the_variable_lets_requests_out(self):
        with tempfile.TemporaryDirectory() as work:
            sandbox = subprocess.Popen(
                [sys.executable, str(REPO / "tests" / "sandbox" / "sandbox.py"), "--auth",
                 "--port-file", f"{work}/port", "--world-out", f"{work}/world.json"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.addCleanup(sandbox.kill)
            port = Path(work) / "port"
            for _ in range(600):
                if port.exists() and port.read_text():
                    break
                subprocess.run(["sleep", "0.1"])
            endpoint = port.read_text().strip()
            world = json.loads((Path(work) / "world.json").read_text())
            Path(work, "empty").write_text("")
            base = {k: v for k, v in os.environ.items()
                    if not k.startswith("AWS_") and k != "PROBEFLEET_ACCEPTANCE"}
            base.update(AWS_ENDPOINT_URL=endpoint, AWS_REGION=world["region"],
                        AWS_CONFIG_FILE=f"{work}/empty", AWS_SHARED_CREDENTIALS_FILE=f"{work}/empty",
                        AWS_EC2_METADATA_SERVICE_ENDPOINT=endpoint + "/",
                        AWS_ACCESS_KEY_ID=world["user"]["access_key_id"],
                        AWS_SECRET_ACCESS_KEY=world["user"]["secret_access_key"])

            def journal():
                with urllib.request.urlopen(f"{endpoint}/_sandbox/journal") as answer:
                    return json.load(answer)

            for value, argv, status in ((None, ["--yes"], 2), ("0", ["--yes"], 2),
                                        ("yes", ["--cleanup", "x"], 2), (None, ["--sandbox"], 2),
                                        ("1", ["--cleanup", "no-such-run"], 0)):
                with self.subTest(variable=value, argv=argv):
                    env = dict(base, **({"PROBEFLEET_ACCEPTANCE": value} if value else {}))
                    done = suite(*argv, env=env, timeout=120)
                    self.assertEqual(done.returncode, status, done.stderr)
                    if status == 2:
                        self.assertIn("PROBEFLEET_ACCEPTANCE=1", done.stderr)
                        self.assertEqual(journal(), [])
                    else:
                        self.assertIn("GetCallerIdentity", [e["action"] for e in journal()])


if __name__ == "__main__":
    unittest.main()
