"""Where moto departs from AWS, the sandbox behaves as AWS does. Each test
states the AWS behaviour it pins."""

from __future__ import annotations

import base64
import hashlib
import ipaddress
import json
import os
import subprocess
import tempfile
import threading
import unittest


from botocore.exceptions import ClientError

import harness
from harness import error_of



sandbox = harness.ModuleSandbox(auth=True)
setUpModule, tearDownModule = sandbox.start, sandbox.stop



def openssl_created_fingerprint(pem: str) -> str:
    """The fingerprint AWS documents for a key pair it created, computed by
    openssl (an implementation independent of the sandbox's)."""
    with tempfile.NamedTemporaryFile("w", suffix=".pem", delete=False) as key_file:
        key_file.write(pem)
    try:
        der = subprocess.run(["openssl", "pkcs8", "-in", key_file.name, "-inform", "PEM", "-outform", "DER",
                              "-topk8", "-nocrypt"], check=True, capture_output=True).stdout
        out = subprocess.run(["openssl", "sha1", "-c"], input=der, check=True, capture_output=True).stdout
    finally:
        os.unlink(key_file.name)
    return out.decode().split()[-1]


class Ec2Case(unittest.TestCase):
    def setUp(self):
        self.ec2 = sandbox.client("ec2")
        self.world = sandbox.world
        self.vpc = self.world["vpc_id"]

    def launch(self, subnet="gw-a", groups=()):
        reservation = self.ec2.run_instances(
            ImageId=next(iter(self.world["images"])), MinCount=1, MaxCount=1, InstanceType="t3.micro",
            SubnetId=self.world["subnet_ids"][subnet], SecurityGroupIds=list(groups))
        instance = reservation["Instances"][0]
        self.addCleanup(self.terminate_quietly, instance["InstanceId"])
        return instance

    def terminate_quietly(self, instance_id):
        self.ec2.terminate_instances(InstanceIds=[instance_id])

    def instance(self, instance_id):
        return self.ec2.describe_instances(InstanceIds=[instance_id])["Reservations"][0]["Instances"][0]

    def group(self, name):
        group_id = self.ec2.create_security_group(GroupName=name, Description="test", VpcId=self.vpc)["GroupId"]
        return group_id

    def interface(self, subnet="private-a", groups=()):
        eni = self.ec2.create_network_interface(SubnetId=self.world["subnet_ids"][subnet], Groups=list(groups),
                                                Description="test")["NetworkInterface"]
        return eni


class KeyFingerprints(Ec2Case):
    def test_created_rsa_key_pair_carries_sha1_of_its_pkcs8_private_key(self):
        # AWS: KeyFingerprint of a key pair EC2 created is the SHA-1 of the
        # private key's PKCS#8 DER, colon-separated lower-case hex; the same
        # value in the CreateKeyPair answer and in DescribeKeyPairs.
        created = self.ec2.create_key_pair(KeyName="fp-rsa", KeyType="rsa", KeyFormat="pem")
        self.addCleanup(self.ec2.delete_key_pair, KeyName="fp-rsa")
        expected = openssl_created_fingerprint(created["KeyMaterial"])
        self.assertRegex(expected, r"^([0-9a-f]{2}:){19}[0-9a-f]{2}$")
        self.assertEqual(created["KeyFingerprint"], expected)
        described = self.ec2.describe_key_pairs(Filters=[{"Name": "key-name", "Values": ["fp-rsa"]}],
                                                IncludePublicKey=True)["KeyPairs"]
        self.assertEqual([pair["KeyFingerprint"] for pair in described], [expected])
        found = self.ec2.describe_key_pairs(Filters=[{"Name": "fingerprint", "Values": [expected]}])["KeyPairs"]
        self.assertEqual([pair["KeyName"] for pair in found], ["fp-rsa"])

    def test_imported_rsa_key_keeps_md5_of_its_public_key(self):
        # AWS: an imported RSA key's fingerprint is the MD5 of the public key
        # (DER SubjectPublicKeyInfo), colon-separated hex.
        from cryptography.hazmat.primitives import serialization
        from cryptography.hazmat.primitives.asymmetric import rsa

        key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        public = key.public_key()
        openssh = public.public_bytes(serialization.Encoding.OpenSSH, serialization.PublicFormat.OpenSSH)
        der = public.public_bytes(serialization.Encoding.DER, serialization.PublicFormat.SubjectPublicKeyInfo)
        expected = ":".join(f"{b:02x}" for b in hashlib.md5(der).digest())
        imported = self.ec2.import_key_pair(KeyName="fp-imported", PublicKeyMaterial=openssh)
        self.addCleanup(self.ec2.delete_key_pair, KeyName="fp-imported")
        self.assertEqual(imported["KeyFingerprint"], expected)

    def test_ed25519_key_pair_carries_base64_sha256_of_its_public_key(self):
        # AWS: an ED25519 key pair's fingerprint is the base64 SHA-256 of the
        # OpenSSH public key, as `ssh-keygen -l` prints it after "SHA256:".
        created = self.ec2.create_key_pair(KeyName="fp-ed", KeyType="ed25519")
        self.addCleanup(self.ec2.delete_key_pair, KeyName="fp-ed")
        public = self.ec2.describe_key_pairs(KeyNames=["fp-ed"], IncludePublicKey=True)["KeyPairs"][0]["PublicKey"]
        blob = base64.b64decode(public.split()[1])
        expected = base64.b64encode(hashlib.sha256(blob).digest()).decode()
        self.assertEqual(created["KeyFingerprint"], expected)
        with tempfile.NamedTemporaryFile("w", suffix=".pub", delete=False) as pub_file:
            pub_file.write(public + "\n")
        try:
            listing = subprocess.run(["ssh-keygen", "-l", "-f", pub_file.name], capture_output=True, text=True)
        except FileNotFoundError:
            listing = None
        finally:
            os.unlink(pub_file.name)
        if listing is not None and listing.returncode == 0:
            self.assertIn("SHA256:" + expected.rstrip("="), listing.stdout)


class ShutdownBehavior(Ec2Case):
    """AWS: InstanceInitiatedShutdownBehavior is "stop" or "terminate"; any
    other value is refused with InvalidParameterValue (moto takes it)."""

    def run_with(self, behavior):
        reservation = self.ec2.run_instances(
            ImageId=next(iter(self.world["images"])), MinCount=1, MaxCount=1, InstanceType="t3.micro",
            SubnetId=self.world["subnet_ids"]["gw-a"], InstanceInitiatedShutdownBehavior=behavior)
        instance_id = reservation["Instances"][0]["InstanceId"]
        self.addCleanup(self.terminate_quietly, instance_id)
        return self.ec2.describe_instance_attribute(
            InstanceId=instance_id, Attribute="instanceInitiatedShutdownBehavior")

    def test_only_stop_and_terminate_are_taken(self):
        for behavior in ("stop", "terminate"):
            with self.subTest(behavior=behavior):
                answer = self.run_with(behavior)
                self.assertEqual(answer["InstanceInitiatedShutdownBehavior"]["Value"], behavior)
        for behavior in ("Terminate", "hibernate", ""):
            with self.subTest(behavior=behavior):
                self.assertEqual(error_of(lambda: self.run_with(behavior)), ("InvalidParameterValue", 400))


class ElasticIps(Ec2Case):
    def test_address_associated_through_an_interface_belongs_to_its_instance(self):
        # AWS: an Elastic IP associated with an instance's network interface is
        # reported with that InstanceId and found by the instance-id filter.
        instance = self.launch()
        primary = instance["NetworkInterfaces"][0]["NetworkInterfaceId"]
        address = self.ec2.allocate_address(Domain="vpc")
        self.ec2.associate_address(AllocationId=address["AllocationId"], NetworkInterfaceId=primary)
        found = self.ec2.describe_addresses(Filters=[{"Name": "instance-id", "Values": [instance["InstanceId"]]}],
                                            PublicIps=[address["PublicIp"]])["Addresses"]
        self.assertEqual([(a["AllocationId"], a["InstanceId"]) for a in found],
                         [(address["AllocationId"], instance["InstanceId"])])
        other = self.launch(subnet="gw-b")
        self.assertEqual(self.ec2.describe_addresses(
            Filters=[{"Name": "instance-id", "Values": [other["InstanceId"]]}])["Addresses"], [])

    def test_associated_address_cannot_be_released_until_its_instance_is_gone(self):
        # AWS (non-default VPC): ReleaseAddress of an associated address fails
        # with InvalidIPAddress.InUse; termination disassociates it, after
        # which it is released normally. An unassociated address has no
        # InstanceId or NetworkInterfaceId.
        instance = self.launch()
        primary = instance["NetworkInterfaces"][0]["NetworkInterfaceId"]
        address = self.ec2.allocate_address(Domain="vpc")
        self.ec2.associate_address(AllocationId=address["AllocationId"], NetworkInterfaceId=primary)
        self.assertEqual(error_of(lambda: self.ec2.release_address(AllocationId=address["AllocationId"])),
                         ("InvalidIPAddress.InUse", 400))
        self.ec2.terminate_instances(InstanceIds=[instance["InstanceId"]])
        after = self.ec2.describe_addresses(AllocationIds=[address["AllocationId"]])["Addresses"][0]
        self.assertNotIn("InstanceId", after)
        self.assertNotIn("NetworkInterfaceId", after)
        self.assertEqual(self.ec2.describe_addresses(
            Filters=[{"Name": "instance-id", "Values": [instance["InstanceId"]]}])["Addresses"], [])
        self.ec2.release_address(AllocationId=address["AllocationId"])


class SecurityGroups(Ec2Case):
    def test_group_in_use_cannot_be_deleted(self):
        # AWS: DeleteSecurityGroup of a group that an instance or a network
        # interface uses fails with DependencyViolation (HTTP 400); once the
        # users are gone it succeeds.
        instance_group = self.group("in-use-by-instance")
        interface_group = self.group("in-use-by-interface")
        instance = self.launch(groups=[instance_group])
        eni = self.interface(groups=[interface_group])
        for group in (instance_group, interface_group):
            with self.subTest(group=group):
                self.assertEqual(error_of(lambda: self.ec2.delete_security_group(GroupId=group)),
                                 ("DependencyViolation", 400))
        self.ec2.terminate_instances(InstanceIds=[instance["InstanceId"]])
        self.ec2.delete_network_interface(NetworkInterfaceId=eni["NetworkInterfaceId"])
        for group in (instance_group, interface_group):
            self.ec2.delete_security_group(GroupId=group)
        self.assertEqual(error_of(lambda: self.ec2.delete_security_group(GroupId=instance_group)),
                         ("InvalidGroup.NotFound", 400))


class NetworkInterfaces(Ec2Case):
    def test_new_interfaces_get_distinct_unreserved_addresses(self):
        # AWS: an interface gets a free address of its subnet, never one that
        # another interface holds and never one of the five reserved ones;
        # when none is left, InsufficientFreeAddressesInSubnet.
        cidr = "10.20.200.0/28"
        subnet_id = self.ec2.create_subnet(VpcId=self.vpc, CidrBlock=cidr,
                                           AvailabilityZone="us-east-1a")["Subnet"]["SubnetId"]
        network = ipaddress.ip_network(cidr)
        reserved = {network.network_address + i for i in range(4)} | {network.broadcast_address}
        enis = [self.ec2.create_network_interface(SubnetId=subnet_id)["NetworkInterface"]
                for _ in range(network.num_addresses - len(reserved))]
        try:
            addresses = [ipaddress.ip_address(eni["PrivateIpAddress"]) for eni in enis]
            self.assertEqual(set(addresses), set(network) - reserved)
            self.assertEqual(error_of(lambda: self.ec2.create_network_interface(SubnetId=subnet_id)),
                             ("InsufficientFreeAddressesInSubnet", 400))
        finally:
            for eni in enis:
                self.ec2.delete_network_interface(NetworkInterfaceId=eni["NetworkInterfaceId"])
            self.ec2.delete_subnet(SubnetId=subnet_id)

    def test_attachment_rules(self):
        # AWS: an attached interface can be neither deleted nor attached again
        # (InvalidNetworkInterface.InUse); a device index holds one interface
        # (InvalidParameterValue); the primary interface cannot be detached
        # (OperationNotPermitted).
        instance = self.launch()
        first, second = self.interface(), self.interface()
        attachment = self.ec2.attach_network_interface(
            DeviceIndex=1, InstanceId=instance["InstanceId"], NetworkInterfaceId=first["NetworkInterfaceId"])
        primary_attachment = instance["NetworkInterfaces"][0]["Attachment"]["AttachmentId"]
        cases = [
            ("delete attached", lambda: self.ec2.delete_network_interface(
                NetworkInterfaceId=first["NetworkInterfaceId"]), "InvalidNetworkInterface.InUse"),
            ("attach attached", lambda: self.ec2.attach_network_interface(
                DeviceIndex=2, InstanceId=instance["InstanceId"], NetworkInterfaceId=first["NetworkInterfaceId"]),
             "InvalidNetworkInterface.InUse"),
            ("index taken", lambda: self.ec2.attach_network_interface(
                DeviceIndex=1, InstanceId=instance["InstanceId"], NetworkInterfaceId=second["NetworkInterfaceId"]),
             "InvalidParameterValue"),
            ("detach primary", lambda: self.ec2.detach_network_interface(AttachmentId=primary_attachment),
             "OperationNotPermitted"),
        ]
        for label, call, code in cases:
            with self.subTest(label):
                self.assertEqual(error_of(call), (code, 400))
        self.ec2.detach_network_interface(AttachmentId=attachment["AttachmentId"])
        for eni in (first, second):
            self.ec2.delete_network_interface(NetworkInterfaceId=eni["NetworkInterfaceId"])

    def test_termination_deletes_launch_interfaces_and_frees_attached_ones(self):
        # AWS: the interface RunInstances created is deleted with the instance
        # (DeleteOnTermination true); an interface attached afterwards is
        # detached and becomes "available", which the status filter finds.
        instance = self.launch()
        primary = instance["NetworkInterfaces"][0]
        self.assertTrue(primary["Attachment"]["DeleteOnTermination"])
        eni = self.interface()
        self.ec2.create_tags(Resources=[eni["NetworkInterfaceId"]], Tags=[{"Key": "Name", "Value": "leftover-test"}])
        self.ec2.attach_network_interface(DeviceIndex=1, InstanceId=instance["InstanceId"],
                                          NetworkInterfaceId=eni["NetworkInterfaceId"])
        leftover_filters = [{"Name": "vpc-id", "Values": [self.vpc]},
                            {"Name": "tag:Name", "Values": ["leftover-test"]},
                            {"Name": "status", "Values": ["available"]}]
        self.assertEqual(self.ec2.describe_network_interfaces(Filters=leftover_filters)["NetworkInterfaces"], [])
        self.ec2.terminate_instances(InstanceIds=[instance["InstanceId"]])
        self.assertEqual(error_of(lambda: self.ec2.describe_network_interfaces(
            NetworkInterfaceIds=[primary["NetworkInterfaceId"]])), ("InvalidNetworkInterfaceID.NotFound", 400))
        leftovers = self.ec2.describe_network_interfaces(Filters=leftover_filters)["NetworkInterfaces"]
        self.assertEqual([(n["NetworkInterfaceId"], n["Status"]) for n in leftovers],
                         [(eni["NetworkInterfaceId"], "available")])
        terminated = self.instance(instance["InstanceId"])
        self.assertEqual(terminated["State"]["Name"], "terminated")
        self.assertEqual(terminated["NetworkInterfaces"], [])
        self.ec2.delete_network_interface(NetworkInterfaceId=eni["NetworkInterfaceId"])


class Images(Ec2Case):
    def test_world_gives_images_distinct_creation_dates(self):
        # AWS: every image has its own CreationDate; moto stamps them all with
        # its start time. The world's dates come back from DescribeImages.
        ids = list(self.world["images"])
        images = self.ec2.describe_images(ImageIds=ids)["Images"]
        dates = {image["ImageId"]: image["CreationDate"] for image in images}
        self.assertEqual(dates, {i: image["creation_date"] for i, image in self.world["images"].items()})
        self.assertEqual(len(set(dates.values())), len(dates))

    def test_control_api_sets_a_creation_date(self):
        image_id = next(iter(self.world["images"]))
        original = self.world["images"][image_id]["creation_date"]
        self.addCleanup(sandbox.control, "POST", "images", {"image_id": image_id, "creation_date": original})
        sandbox.control("POST", "images", {"image_id": image_id, "creation_date": "2019-03-04T05:06:07.000Z"})
        image = self.ec2.describe_images(ImageIds=[image_id])["Images"][0]
        self.assertEqual(image["CreationDate"], "2019-03-04T05:06:07.000Z")


class Iam(unittest.TestCase):
    def test_launch_with_an_unusable_instance_profile_is_an_invalid_parameter(self):
        # AWS: RunInstances with an instance profile it cannot use fails with
        # InvalidParameterValue (400), the code launchers retry on while a new
        # profile propagates.
        ec2 = sandbox.client("ec2")
        world = sandbox.world
        for profile in ({"Name": "no-such-profile"},
                        {"Arn": f"arn:aws:iam::{world['account']}:instance-profile/no-such-profile"}):
            with self.subTest(profile=profile):
                self.assertEqual(error_of(lambda: ec2.run_instances(
                    ImageId=next(iter(world["images"])), MinCount=1, MaxCount=1,
                    SubnetId=world["subnet_ids"]["gw-c"], IamInstanceProfile=profile)),
                    ("InvalidParameterValue", 400))

    def test_teardown_order_is_enforced(self):
        # AWS: an attached managed policy cannot be deleted (DeleteConflict,
        # 409); removing a role the profile does not hold is NoSuchEntity (404).
        iam = sandbox.client("iam")
        policy = iam.create_policy(PolicyName="order-policy", PolicyDocument=json.dumps({
            "Version": "2012-10-17",
            "Statement": [{"Effect": "Allow", "Action": ["s3:GetObject"], "Resource": ["arn:aws:s3:::*"]}]}))
        arn = policy["Policy"]["Arn"]
        iam.create_role(RoleName="order-role", AssumeRolePolicyDocument=json.dumps({
            "Version": "2012-10-17", "Statement": [{"Effect": "Allow", "Principal": {"Service": "ec2.amazonaws.com"},
                                                    "Action": "sts:AssumeRole"}]}))
        iam.attach_role_policy(RoleName="order-role", PolicyArn=arn)
        iam.create_instance_profile(InstanceProfileName="order-profile")
        # The profiles of a role that does not exist: NoSuchEntity, not none.
        self.assertEqual(error_of(lambda: iam.list_instance_profiles_for_role(RoleName="no-such-role")),
                         ("NoSuchEntity", 404))
        self.assertEqual(iam.list_instance_profiles_for_role(RoleName="order-role")["InstanceProfiles"], [])
        self.assertEqual(error_of(lambda: iam.remove_role_from_instance_profile(
            InstanceProfileName="order-profile", RoleName="order-role")), ("NoSuchEntity", 404))
        self.assertEqual(error_of(lambda: iam.delete_policy(PolicyArn=arn)), ("DeleteConflict", 409))
        iam.detach_role_policy(RoleName="order-role", PolicyArn=arn)
        iam.delete_policy(PolicyArn=arn)
        iam.delete_role(RoleName="order-role")
        iam.delete_instance_profile(InstanceProfileName="order-profile")


class Sts(unittest.TestCase):
    def test_assume_role_of_a_missing_role_is_denied(self):
        # AWS: AssumeRole of a role that does not exist fails with
        # AccessDenied (HTTP 403); an existing role is assumed.
        sts = sandbox.client("sts")
        missing = f"arn:aws:iam::{sandbox.world['account']}:role/no-such-role"
        self.assertEqual(error_of(lambda: sts.assume_role(RoleArn=missing, RoleSessionName="Corvanta_Workflow")),
                         ("AccessDenied", 403))
        assumed = sts.assume_role(RoleArn=sandbox.world["roles"]["deploy-role"], RoleSessionName="Corvanta_Workflow")
        self.assertTrue(assumed["AssumedRoleUser"]["Arn"].endswith(":assumed-role/deploy-role/Corvanta_Workflow"))


class Signatures(unittest.TestCase):
    def test_signed_requests_with_escaped_characters_are_accepted(self):
        # AWS checks the signature over the path and query as sent, escapes
        # included: a listing by prefix and a key with a space and a plus
        # are accepted.
        s3 = sandbox.client("s3")
        bucket = sandbox.world["bucket"]
        key = "backups/vpc-1/a b+c.pem"
        s3.put_object(Bucket=bucket, Key=key, Body=b"key")
        self.addCleanup(s3.delete_object, Bucket=bucket, Key=key)
        self.assertEqual(s3.get_object(Bucket=bucket, Key=key)["Body"].read(), b"key")
        listing = s3.list_objects_v2(Bucket=bucket, Prefix="backups/vpc-1/")
        self.assertEqual([item["Key"] for item in listing["Contents"]], [key])


class ModelLoads(unittest.TestCase):
    def test_first_requests_arriving_together_read_the_model_once(self):
        # Not AWS's behaviour but the sandbox's cost: each reading of a model
        # costs a third of a second of CPU for EC2's.
        import time

        import moto.core.utils as utils
        from sandboxlib import corrections

        corrections.install()
        reads = []
        read = utils._load_service_model

        def counted(service_name, model_name):
            reads.append(service_name)
            time.sleep(0.05)  # long enough for the others to arrive
            return read(service_name, model_name)

        utils._load_service_model = counted
        self.addCleanup(setattr, utils, "_load_service_model", read)
        threads = [threading.Thread(target=utils.get_service_model, args=("pinpoint",)) for _ in range(6)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.assertEqual(reads, ["pinpoint"])


class S3Permissions(unittest.TestCase):
    def test_bucket_requests_need_the_permissions_aws_names(self):
        iam = sandbox.client("iam")
        name = "s3-permission-names"
        iam.create_user(UserName=name)
        iam.put_user_policy(UserName=name, PolicyName="bucket", PolicyDocument=json.dumps({
            "Version": "2012-10-17", "Statement": [{"Effect": "Allow", "Resource": "*", "Action": [
                "s3:ListBucket", "s3:PutEncryptionConfiguration", "s3:PutBucketPublicAccessBlock"]}]}))
        key = iam.create_access_key(UserName=name)["AccessKey"]
        s3 = sandbox.client("s3", aws_access_key_id=key["AccessKeyId"],
                            aws_secret_access_key=key["SecretAccessKey"])
        bucket = sandbox.world["bucket"]
        s3.head_bucket(Bucket=bucket)
        s3.put_bucket_encryption(Bucket=bucket, ServerSideEncryptionConfiguration={"Rules": [
            {"ApplyServerSideEncryptionByDefault": {"SSEAlgorithm": "AES256"}}]})
        s3.put_public_access_block(Bucket=bucket, PublicAccessBlockConfiguration={
            "BlockPublicAcls": True, "IgnorePublicAcls": True, "BlockPublicPolicy": True,
            "RestrictPublicBuckets": True})
        # The user holds those three and nothing else.
        with self.assertRaises(ClientError) as denied:
            s3.put_bucket_tagging(Bucket=bucket, Tagging={"TagSet": []})
        self.assertEqual(denied.exception.response["Error"]["Code"], "AccessDenied")


class S3Pages(unittest.TestCase):
    def setUp(self):
        self.s3 = sandbox.client("s3")
        self.bucket = sandbox.world["bucket"]

    def pages(self, prefix, **kwargs):
        sizes, token = [], None
        while True:
            args = dict(Bucket=self.bucket, Prefix=prefix, **kwargs)
            if token:
                args["ContinuationToken"] = token
            page = self.s3.list_objects_v2(**args)
            sizes.append(page["KeyCount"])
            if not page["IsTruncated"]:
                return sizes
            token = page["NextContinuationToken"]

    def test_page_cap_splits_listings(self):
        for i in range(7):
            self.s3.put_object(Bucket=self.bucket, Key=f"paging/{i}", Body=b"x")
        self.addCleanup(sandbox.control, "POST", "s3", {"max_keys": None})
        cases = [(None, {}, [7]), (3, {}, [3, 3, 1]), (3, {"MaxKeys": 2}, [2, 2, 2, 1]), (10, {}, [7])]
        for cap, kwargs, expected in cases:
            with self.subTest(cap=cap, kwargs=kwargs):
                sandbox.control("POST", "s3", {"max_keys": cap})
                self.assertEqual(self.pages("paging/", **kwargs), expected)

    def test_a_page_never_holds_more_than_1000_keys(self):
        # AWS: ListObjectsV2 returns at most 1000 keys a page, whatever
        # MaxKeys asks for.
        sandbox.control("POST", "s3", {"fill": {"prefix": "many/", "count": 1001}})
        self.assertEqual(self.pages("many/", MaxKeys=5000), [1000, 1])


def chunked_put(path: str, payload: bytes, trailer_value: str | None = None, chunk_size: int = 5):
    """PUT `payload` aws-chunked with a CRC32 trailer, signed by botocore as
    STREAMING-UNSIGNED-PAYLOAD-TRAILER; `trailer_value` replaces the right
    checksum. Returns (status, body)."""
    import io
    import urllib.error
    import urllib.request

    from botocore.auth import S3SigV4Auth
    from botocore.awsrequest import AWSRequest
    from botocore.credentials import Credentials
    from botocore.httpchecksum import AwsChunkedWrapper, Crc32Checksum

    class Fixed(Crc32Checksum):
        def b64digest(self):
            return trailer_value or super().b64digest()

    body = AwsChunkedWrapper(io.BytesIO(payload), Fixed, "x-amz-checksum-crc32", chunk_size).read()
    request = AWSRequest("PUT", sandbox.endpoint + path, data=body, headers={
        "Content-Encoding": "aws-chunked", "X-Amz-Trailer": "x-amz-checksum-crc32",
        "X-Amz-Decoded-Content-Length": str(len(payload)), "Content-Length": str(len(body)),
        "Content-Type": "application/octet-stream"})
    request.context["checksum"] = {"request_algorithm": {"in": "trailer", "name": "x-amz-checksum-crc32"}}
    user = sandbox.world["user"]
    S3SigV4Auth(Credentials(user["access_key_id"], user["secret_access_key"]), "s3",
                sandbox.world["region"]).add_auth(request)
    prepared = request.prepare()
    raw = urllib.request.Request(prepared.url, data=body, method="PUT", headers=dict(prepared.headers))
    try:
        with urllib.request.urlopen(raw, timeout=10) as answer:
            return answer.status, answer.read()
    except urllib.error.HTTPError as error:
        return error.code, error.read()


class S3ChecksumCase(unittest.TestCase):
    # AWS checks an upload's CRC32 (trailer or header) against the bytes it
    # stored, and a multipart upload declared with CRC32 must list every
    # part's checksum on completion.
    def setUp(self):
        self.s3 = sandbox.client("s3")
        self.bucket = sandbox.world["bucket"]

    def test_trailer_checksum_is_verified(self):
        payload = b"sixteen bytes..!" * 3
        path = f"/{self.bucket}/checksums/trailer"
        status, body = chunked_put(path, payload, trailer_value="AAAAAA==")
        self.assertEqual(status, 400)
        self.assertIn(b"<Code>BadDigest</Code>", body)
        status, _ = chunked_put(path, payload)
        self.assertEqual(status, 200)
        stored = self.s3.get_object(Bucket=self.bucket, Key="checksums/trailer")["Body"].read()
        self.assertEqual(stored, payload)

    def test_header_checksum_is_verified(self):
        self.s3.put_object(Bucket=self.bucket, Key="checksums/header", Body=b"abc", ChecksumCRC32="NSRBwg==")
        self.assertEqual(error_of(lambda: self.s3.put_object(
            Bucket=self.bucket, Key="checksums/header", Body=b"abd", ChecksumCRC32="NSRBwg==")),
            ("BadDigest", 400))

    def test_completion_needs_each_parts_checksum(self):
        key = "checksums/multipart"
        upload = self.s3.create_multipart_upload(Bucket=self.bucket, Key=key, ChecksumAlgorithm="CRC32")["UploadId"]
        part = self.s3.upload_part(Bucket=self.bucket, Key=key, UploadId=upload, PartNumber=1, Body=b"part one",
                                   ChecksumAlgorithm="CRC32")
        right = base64.b64encode(__import__("binascii").crc32(b"part one").to_bytes(4, "big")).decode()

        def complete(**checksum):
            return self.s3.complete_multipart_upload(
                Bucket=self.bucket, Key=key, UploadId=upload,
                MultipartUpload={"Parts": [dict(ETag=part["ETag"], PartNumber=1, **checksum)]})

        self.assertEqual(error_of(complete), ("InvalidRequest", 400))
        self.assertEqual(error_of(lambda: complete(ChecksumCRC32="AAAAAA==")), ("InvalidPart", 400))
        complete(ChecksumCRC32=right)
        self.assertEqual(self.s3.get_object(Bucket=self.bucket, Key=key)["Body"].read(), b"part one")


class S3RetentionCase(unittest.TestCase):
    # AWS: a PutObject into a bucket with an Object Lock default retention
    # needs Content-MD5 or a checksum (header or announced trailer), else 400
    # InvalidRequest; a checksum algorithm named without its value is no
    # checksum.
    def test_a_write_needs_a_checksum_or_content_md5(self):
        bucket = "retention-" + os.urandom(4).hex()
        sandbox.control("POST", "s3", {"retention_bucket": {"name": bucket}})
        s3 = sandbox.client("s3")
        retention = s3.get_object_lock_configuration(Bucket=bucket)["ObjectLockConfiguration"]["Rule"]
        self.assertEqual((retention["DefaultRetention"]["Mode"], retention["DefaultRetention"]["Days"]),
                         ("GOVERNANCE", 1))
        payload = b"{}"
        md5 = base64.b64encode(hashlib.md5(payload).digest()).decode()
        crc32 = base64.b64encode(__import__("binascii").crc32(payload).to_bytes(4, "big")).decode()
        cases = [  # extra headers, expected error
            ({}, ("InvalidRequest", 400)),
            ({"x-amz-sdk-checksum-algorithm": "CRC32"}, ("InvalidRequest", 400)),
            ({"Content-MD5": md5}, None),
            ({"x-amz-checksum-crc32": crc32}, None),
            ({"x-amz-checksum-crc32": crc32, "x-amz-sdk-checksum-algorithm": "CRC32"}, None),
        ]
        # Signed by hand: boto3 would add a checksum of its own.
        for headers, expected in cases:
            with self.subTest(headers=sorted(headers)):
                status, body = signed_put(f"/{bucket}/locks/vpc-1.json", payload, headers)
                if expected is None:
                    self.assertEqual(status, 200, body)
                else:
                    self.assertEqual(status, expected[1], body)
                    self.assertIn(f"<Code>{expected[0]}</Code>".encode(), body)
                    self.assertIn(b"Content-MD5 OR x-amz-checksum- HTTP header is required", body)
        status, _ = chunked_put(f"/{bucket}/uploads/file", b"a file's bytes")
        self.assertEqual(status, 200)


def signed_put(path: str, payload: bytes, headers: dict):
    """PUT `payload` signed by botocore with exactly `headers` added.
    Returns (status, body)."""
    import urllib.error
    import urllib.request

    from botocore.auth import S3SigV4Auth
    from botocore.awsrequest import AWSRequest
    from botocore.credentials import Credentials

    request = AWSRequest("PUT", sandbox.endpoint + path, data=payload,
                         headers=dict(headers, **{"Content-Length": str(len(payload)),
                                                  "Content-Type": "application/json"}))
    user = sandbox.world["user"]
    S3SigV4Auth(Credentials(user["access_key_id"], user["secret_access_key"]), "s3",
                sandbox.world["region"]).add_auth(request)
    prepared = request.prepare()
    raw = urllib.request.Request(prepared.url, data=payload, method="PUT", headers=dict(prepared.headers))
    try:
        with urllib.request.urlopen(raw, timeout=10) as answer:
            return answer.status, answer.read()
    except urllib.error.HTTPError as error:
        return error.code, error.read()


class S3RangeCase(unittest.TestCase):
    # A ranged GET reads only its range; what it answers must not change.
    def test_ranges_answer_as_s3_does(self):
        s3, bucket = sandbox.client("s3"), sandbox.world["bucket"]
        body = bytes(range(256)) * 40
        s3.put_object(Bucket=bucket, Key="ranges/object", Body=body)
        s3.put_object(Bucket=bucket, Key="ranges/empty", Body=b"")
        cases = [  # key, range, status, body
            ("object", "bytes=0-0", 206, body[:1]),
            ("object", "bytes=100-4195", 206, body[100:4196]),
            ("object", "bytes=10000-", 206, body[10000:]),
            ("object", "bytes=10000-99999", 206, body[10000:]),
            ("object", "bytes=-17", 206, body[-17:]),
            ("object", "bytes=-99999", 206, body),
            ("object", "bytes=5-3", 200, body),
            ("object", "bytes=0-1,5-6", 200, body),
            ("object", "bytes=10240-", 416, None),
            ("empty", "bytes=-5", 200, b""),
        ]
        for key, range_, status, expected in cases:
            with self.subTest(key=key, range=range_):
                try:
                    got = s3.get_object(Bucket=bucket, Key="ranges/" + key, Range=range_)
                except Exception as error:  # botocore's ClientError
                    self.assertEqual(error.response["ResponseMetadata"]["HTTPStatusCode"], status)
                    continue
                self.assertEqual(got["ResponseMetadata"]["HTTPStatusCode"], status)
                self.assertEqual(got["Body"].read(), expected)


class S3ConditionalWriteCase(unittest.TestCase):
    # AWS: of many conditional writes racing on one key, exactly one wins;
    # the others answer 412 PreconditionFailed.
    def race(self, key, **condition):
        s3, bucket = sandbox.client("s3"), sandbox.world["bucket"]
        outcomes, barrier = [], threading.Barrier(12)

        def put(i):
            barrier.wait()
            from botocore.exceptions import ClientError
            try:
                s3.put_object(Bucket=bucket, Key=key, Body=f"{i}".encode(), **condition)
                outcomes.append(None)
            except ClientError as error:
                outcomes.append((error.response["Error"]["Code"],
                                 error.response["ResponseMetadata"]["HTTPStatusCode"]))
        threads = [threading.Thread(target=put, args=(i,)) for i in range(12)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        self.addCleanup(s3.delete_object, Bucket=bucket, Key=key)
        return sorted(outcomes, key=str)

    def test_one_of_many_creates_wins(self):
        self.assertEqual(self.race("locks/race-new.json", IfNoneMatch="*"),
                         [("PreconditionFailed", 412)] * 11 + [None])

    def test_one_of_many_takeovers_wins(self):
        s3, bucket = sandbox.client("s3"), sandbox.world["bucket"]
        etag = s3.put_object(Bucket=bucket, Key="locks/race-old.json", Body=b"old")["ETag"]
        self.assertEqual(self.race("locks/race-old.json", IfMatch=etag),
                         [("PreconditionFailed", 412)] * 11 + [None])
