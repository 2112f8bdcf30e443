"""The guarded profile (organisation policies, the Elastic IP quota, launches
that die) and the rules EC2 and IAM always apply that moto lacks, seen
through boto3."""

from __future__ import annotations

import json
import os
import time
import unittest

import harness
from harness import error_of, refusal


OWNER = [{"Key": "Owner", "Value": "qa"}]
DENIED = ("UnauthorizedOperation", 403)


sandbox = harness.ModuleSandbox(auth=True)
setUpModule, tearDownModule = sandbox.start, sandbox.stop


def tagged(*resource_types, tags=OWNER):
    return [{"ResourceType": kind, "Tags": tags} for kind in resource_types]


class GuardCase(unittest.TestCase):
    def setUp(self):
        self.ec2, self.world = sandbox.client("ec2"), sandbox.world
        self.addCleanup(sandbox.control, "DELETE", "guard")

    def guard(self, **rules):
        return sandbox.control("POST", "guard", rules)

    def launch(self, subnet="gw-a", **kwargs):
        instance = self.ec2.run_instances(ImageId=next(iter(self.world["images"])), MinCount=1, MaxCount=1,
                                          SubnetId=self.world["subnet_ids"][subnet], **kwargs)["Instances"][0]
        self.addCleanup(self.ec2.terminate_instances, InstanceIds=[instance["InstanceId"]])
        return instance

    def instance(self, instance_id):
        return self.ec2.describe_instances(InstanceIds=[instance_id])["Reservations"][0]["Instances"][0]


class OrganisationPolicies(GuardCase):
    def test_each_policy_denies_as_a_service_control_policy_does(self):
        compliant = {"MetadataOptions": {"HttpTokens": "required", "HttpEndpoint": "enabled"},
                     "TagSpecifications": tagged("instance", "volume", "network-interface")}
        instance = self.launch(**compliant)["InstanceId"]
        vpc, subnet = self.world["vpc_id"], self.world["subnet_ids"]["private-a"]
        imds = {"HttpTokens": "optional"}
        # (rules on, action, call, the resource denied or None when allowed)
        run, tag, group, nic = "RunInstances", "CreateTags", "CreateSecurityGroup", "CreateNetworkInterface"
        cases = [
            ({"imdsv2": True}, run, lambda: self.launch(MetadataOptions=imds), "instance/*"),
            ({"imdsv2": True}, run, lambda: self.launch(MetadataOptions={"HttpTokens": "required"}), None),
            ({"imdsv2": True}, tag, lambda: self.ec2.create_tags(Resources=[instance], Tags=OWNER), None),
            ({"tags_at_creation": True}, tag, lambda: self.ec2.create_tags(Resources=[instance], Tags=OWNER),
             f"instance/{instance}"),
            ({"required_tag": "Owner"}, run, lambda: self.launch(), "instance/*"),
            ({"required_tag": "Owner"}, run, lambda: self.launch(TagSpecifications=tagged("instance")), "volume/*"),
            ({"required_tag": "Owner"}, run, lambda: self.launch(TagSpecifications=tagged("instance", "volume")),
             "network-interface/*"),
            ({"required_tag": "Owner"}, run, lambda: self.launch(TagSpecifications=tagged(
                "instance", "volume", "network-interface", tags=[{"Key": "owner", "Value": "qa"}])), "instance/*"),
            ({"required_tag": "Owner"}, run, lambda: self.launch(TagSpecifications=compliant["TagSpecifications"]),
             None),
            ({"required_tag": "Owner"}, group, lambda: self.ec2.create_security_group(
                GroupName="g1", Description="d", VpcId=vpc), "security-group/*"),
            ({"required_tag": "Owner"}, group, lambda: self.ec2.create_security_group(
                GroupName="g2", Description="d", VpcId=vpc, TagSpecifications=tagged("security-group")), None),
            ({"required_tag": "Owner"}, nic, lambda: self.ec2.create_network_interface(SubnetId=subnet),
             "network-interface/*"),
            ({"all": True}, run, lambda: self.launch(**compliant), None),
            ({"all": True}, tag, lambda: self.ec2.create_tags(Resources=[instance], Tags=OWNER),
             f"instance/{instance}"),
        ]
        user = self.world["user"]["arn"]
        for rules, action, call, resource in cases:
            with self.subTest(rules=rules, action=action, resource=resource):
                sandbox.control("DELETE", "guard")
                self.guard(**rules)
                if resource is None:
                    call()
                    continue
                code, status, message = refusal(call)
                self.assertEqual((code, status), DENIED)
                self.assertRegex(message, (
                    rf"^You are not authorized to perform this operation\. User: {user} is not authorized to "
                    rf"perform: ec2:{action} on resource: arn:aws:ec2:us-east-1:123456789012:"
                    rf"{resource.replace('*', '[*]')} with an explicit deny in a service control policy\. "
                    r"Encoded authorization failure message: [A-Za-z0-9_-]{100,}$"))
        # Authentication comes first: bad credentials are refused as such.
        forged = sandbox.client("ec2", aws_access_key_id=self.world["user"]["access_key_id"],
                                aws_secret_access_key="not-the-secret")
        self.assertEqual(error_of(lambda: forged.run_instances(
            ImageId=next(iter(self.world["images"])), MinCount=1, MaxCount=1,
            SubnetId=self.world["subnet_ids"]["gw-a"])), ("AuthFailure", 401))
        denials = [e for e in sandbox.journal("ec2") if e["error_code"] == "UnauthorizedOperation"]
        self.assertTrue(denials)
        self.assertTrue(all(e.get("fault") == "guard" for e in denials))

    def test_control_merges_checks_and_resets(self):
        self.assertEqual(self.guard(imdsv2=True)["required_tag"], None)
        merged = self.guard(required_tag="CostCentre", eip_quota=2)
        self.assertEqual((merged["imdsv2"], merged["required_tag"], merged["eip_quota"]), (True, "CostCentre", 2))
        self.assertEqual(self.guard(all=True)["required_tag"], "Owner")
        for bad in ({"imdsv2": "yes"}, {"eip_quota": -1}, {"unknown": True},
                    {"dying_launches": [{"subnet": "nowhere"}]}, {"dying_launches": [{"subnet": "gw-a", "after_s": -1}]}):
            with self.subTest(bad=bad):
                with self.assertRaises(harness.urllib.error.HTTPError) as raised:
                    self.guard(**bad)
                self.assertEqual(raised.exception.code, 400)
        self.assertEqual(sandbox.control("GET", "guard")["required_tag"], "Owner")  # the bad ones changed nothing
        sandbox.reset()
        self.world = sandbox.world
        self.assertEqual(sandbox.control("GET", "guard"),
                         {"imdsv2": False, "tags_at_creation": False, "required_tag": None, "eip_quota": None,
                          "dying_launches": [], "offerings": {}, "full_subnets": [], "capacity": [],
                          "allowed_instance_types": None, "vcpu_quota": None, "allowed_images": None,
                          "block_public_access": None, "ebs_encryption": None, "denied": 0})


class AddressQuota(GuardCase):
    def test_allocation_beyond_the_quota_is_refused_and_reported(self):
        self.guard(eip_quota=2)
        attributes = self.ec2.describe_account_attributes(AttributeNames=["vpc-max-elastic-ips"])
        self.assertEqual(attributes["AccountAttributes"], [
            {"AttributeName": "vpc-max-elastic-ips", "AttributeValues": [{"AttributeValue": "2"}]}])
        held = [self.ec2.allocate_address(Domain="vpc")["AllocationId"] for _ in range(2)]
        self.assertEqual(refusal(lambda: self.ec2.allocate_address(Domain="vpc")),
                         ("AddressLimitExceeded", 400, "The maximum number of addresses has been reached."))
        self.ec2.release_address(AllocationId=held.pop())
        held.append(self.ec2.allocate_address(Domain="vpc")["AllocationId"])
        for allocation in held:
            self.ec2.release_address(AllocationId=allocation)


class DyingLaunches(GuardCase):
    def dies(self, instance_id, reason, timeout=5.0):
        deadline = time.monotonic() + timeout
        while True:
            found = self.instance(instance_id)
            if found["State"]["Name"] == "terminated" or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        self.assertEqual(found["State"]["Name"], "terminated")
        self.assertEqual(found["StateReason"], {"Code": reason[0], "Message": reason[1]})
        self.assertEqual(found["StateTransitionReason"], reason[1])
        return found

    def test_launches_in_the_subnet_named_die_with_their_reason(self):
        kms = ("Client.InvalidKMSKey.InvalidState",
               "Client.InvalidKMSKey.InvalidState: The KMS key provided is in an incorrect state")
        capacity = ("Server.InsufficientInstanceCapacity",
                    "Server.InsufficientInstanceCapacity: Insufficient capacity to satisfy instance request")
        # Seconds of life: enough to be seen running on a busy machine.
        self.guard(dying_launches=[{"subnet": "gw-c", "after_s": 3.0},
                                   {"subnet": self.world["subnet_ids"]["gw-b"], "after_s": 0, "reason": "capacity"}])
        doomed = self.launch("gw-c")["InstanceId"]
        # Running, and its status checks never pass before it dies.
        seen = self.ec2.describe_instance_status(InstanceIds=[doomed], IncludeAllInstances=True)["InstanceStatuses"]
        self.assertEqual((seen[0]["InstanceState"]["Name"], seen[0]["InstanceStatus"]["Status"]),
                         ("running", "initializing"))
        survivor = self.launch("gw-a")["InstanceId"]
        self.dies(doomed, kms, timeout=10.0)
        self.dies(self.launch("gw-b")["InstanceId"], capacity)
        self.assertEqual(self.instance(survivor)["State"]["Name"], "running")
        statuses = self.ec2.describe_instance_status(InstanceIds=[doomed, survivor])["InstanceStatuses"]
        self.assertEqual([s["InstanceId"] for s in statuses], [survivor])
        every = self.ec2.describe_instance_status(InstanceIds=[doomed], IncludeAllInstances=True)["InstanceStatuses"]
        self.assertEqual((every[0]["InstanceState"]["Name"], every[0]["InstanceStatus"]["Status"]),
                         ("terminated", "not-applicable"))
        self.ec2.terminate_instances(InstanceIds=[doomed])  # the owner's clean-up keeps AWS's reason
        self.dies(doomed, kms)

    def test_with_the_realistic_profile_it_shuts_down_at_the_profiles_pace(self):
        self.addCleanup(sandbox.control, "DELETE", "profile")
        sandbox.control("POST", "profile", {"name": "aws", "time_scale": 0.1, "throttle": False,
                                            "consistency_s": 0, "pending_s": 0, "shutting_down_s": 10})
        self.guard(dying_launches=[{"subnet": "gw-c", "after_s": 3, "reason": "internal"}])  # 0.3 s
        doomed = self.launch("gw-c")["InstanceId"]
        time.sleep(0.4)
        found = self.instance(doomed)
        self.assertEqual((found["State"]["Name"], found["StateReason"]["Code"]),
                         ("shutting-down", "Server.InternalError"))
        self.dies(doomed, ("Server.InternalError", "Server.InternalError: Internal error on launch"))


class Ec2Rules(GuardCase):
    """Always on, guard or not: EC2 behaves so in every account."""

    def test_tag_keys_ec2_refuses(self):
        vpc = self.world["vpc_id"]
        instance = self.launch()["InstanceId"]
        twice = [{"Key": "Name", "Value": "a"}, {"Key": "Name", "Value": "b"}]
        reserved = [{"Key": "aws:cost", "Value": "a"}]
        cases = [
            ("RunInstances", lambda: self.launch(TagSpecifications=tagged("instance", tags=twice)), "Name"),
            ("CreateSecurityGroup", lambda: self.ec2.create_security_group(
                GroupName="t", Description="d", VpcId=vpc, TagSpecifications=tagged("security-group", tags=twice)),
             "Name"),
            ("CreateTags", lambda: self.ec2.create_tags(Resources=[instance], Tags=twice), "Name"),
            ("RunInstances aws:", lambda: self.launch(TagSpecifications=tagged("volume", tags=reserved)), "aws:"),
            ("CreateTags aws:", lambda: self.ec2.create_tags(Resources=[instance], Tags=reserved), "aws:"),
        ]
        for label, call, key in cases:
            with self.subTest(label):
                code, status, message = refusal(call)
                self.assertEqual((code, status), ("InvalidParameterValue", 400))
                self.assertEqual(message, "Duplicate tag key 'Name' specified." if key == "Name" else
                                 "Value ( aws:cost ) for parameter key is invalid. "
                                 "Tag keys starting with 'aws:' are reserved for internal use")
        # The same key for two resource types is no repetition.
        self.launch(TagSpecifications=tagged("instance", "volume", tags=[{"Key": "Name", "Value": "a"}]))

    def test_launch_interface_gets_its_tags_from_run_instances(self):
        instance = self.launch(TagSpecifications=tagged("instance") + tagged(
            "network-interface", tags=[{"Key": "Name", "Value": "launch-nic"}, *OWNER]))
        eni = instance["NetworkInterfaces"][0]["NetworkInterfaceId"]
        found = self.ec2.describe_network_interfaces(NetworkInterfaceIds=[eni])["NetworkInterfaces"][0]
        self.assertEqual(sorted((t["Key"], t["Value"]) for t in found["TagSet"]),
                         [("Name", "launch-nic"), ("Owner", "qa")])

    def test_interfaces_and_groups_stay_in_their_zone_and_network(self):
        instance = self.launch("gw-a")["InstanceId"]
        subnets = self.world["subnet_ids"]
        other_zone = self.ec2.create_network_interface(SubnetId=subnets["private-b"])["NetworkInterface"]
        self.addCleanup(self.ec2.delete_network_interface, NetworkInterfaceId=other_zone["NetworkInterfaceId"])
        self.assertEqual(refusal(lambda: self.ec2.attach_network_interface(
            DeviceIndex=1, InstanceId=instance, NetworkInterfaceId=other_zone["NetworkInterfaceId"])), (
            "InvalidParameterCombination", 400,
            "You may not attach a network interface to an instance if they are not in the same availability zone"))

        other_vpc = self.ec2.create_vpc(CidrBlock="10.99.0.0/16")["Vpc"]["VpcId"]
        self.addCleanup(self.ec2.delete_vpc, VpcId=other_vpc)
        group = self.ec2.create_security_group(GroupName="elsewhere", Description="d", VpcId=other_vpc)["GroupId"]
        self.addCleanup(self.ec2.delete_security_group, GroupId=group)
        image = next(iter(self.world["images"]))
        for label, where in [("SubnetId", {"SubnetId": subnets["gw-a"], "SecurityGroupIds": [group]}),
                             ("interface", {"NetworkInterfaces": [
                                 {"DeviceIndex": 0, "SubnetId": subnets["gw-a"], "Groups": [group]}]})]:
            with self.subTest(label):
                self.assertEqual(refusal(lambda: self.ec2.run_instances(
                    ImageId=image, MinCount=1, MaxCount=1, **where)), (
                    "InvalidParameter", 400,
                    f"Security group {group} and subnet {subnets['gw-a']} belong to different networks."))
        self.assertEqual(sandbox.control("GET", "inventory")["instances"], {"running": 1})


class Partitions(unittest.TestCase):
    """IAM and STS take ARNs of their own partition only, in every world."""

    def check_partition(self, box):
        iam, sts = box.client("iam"), box.client("sts")
        partition = box.world["partition"]
        other = "aws-us-gov" if partition == "aws" else "aws"
        self.assertTrue(box.world["user"]["arn"].startswith(f"arn:{partition}:iam::"))

        def document(resource):
            return json.dumps({"Version": "2012-10-17",
                               "Statement": [{"Effect": "Allow", "Action": "s3:GetObject", "Resource": resource}]})

        own = iam.create_policy(PolicyName="own", PolicyDocument=document([f"arn:{partition}:s3:::b/*"]))
        self.assertTrue(own["Policy"]["Arn"].startswith(f"arn:{partition}:iam::"))
        role = box.world["roles"]["deploy-role"]
        foreign_role = role.replace(f"arn:{partition}:", f"arn:{other}:")
        foreign_policy = own["Policy"]["Arn"].replace(f"arn:{partition}:", f"arn:{other}:")
        cases = [
            (lambda: iam.create_policy(PolicyName="x", PolicyDocument=document(f"arn:{other}:s3:::*")),
             ("MalformedPolicyDocument", 400, f'Partition "{other}" is not valid for resource "arn:{other}:s3:::*".')),
            (lambda: iam.put_role_policy(RoleName="deploy-role", PolicyName="x",
                                         PolicyDocument=document(["*", f"arn:{other}:s3:::b"])),
             ("MalformedPolicyDocument", 400, f'Partition "{other}" is not valid for resource "arn:{other}:s3:::b".')),
            (lambda: iam.attach_role_policy(RoleName="deploy-role", PolicyArn=foreign_policy),
             ("InvalidInput", 400, f"ARN {foreign_policy} is not valid.")),
            (lambda: sts.assume_role(RoleArn=foreign_role, RoleSessionName="run"),
             ("AccessDenied", 403, f"User: {box.world['user']['arn']} is not authorized to perform: "
                                   f"sts:AssumeRole on resource: {foreign_role}")),
        ]
        for call, expected in cases:
            with self.subTest(partition=partition, expected=expected[0]):
                self.assertEqual(refusal(call), expected)
        iam.attach_role_policy(RoleName="deploy-role", PolicyArn=own["Policy"]["Arn"])
        assumed = sts.assume_role(RoleArn=role, RoleSessionName="run")["AssumedRoleUser"]["Arn"]
        self.assertEqual(assumed, f"arn:{partition}:sts::123456789012:assumed-role/deploy-role/run")

    def test_aws_world(self):
        self.check_partition(sandbox)

    def test_other_partitions_worlds(self):
        for world in ("world-gov.json", "world-cn.json"):
            with self.subTest(world=world):
                box = harness.Sandbox(auth=True, extra_args=[
                    "--world", os.path.join(harness.HERE, world), "--guard", "imdsv2,eip_quota"])
                try:
                    self.check_partition(box)
                    ec2, ssm = box.client("ec2"), box.client("ssm")
                    latest = ssm.get_parameter(
                        Name="/aws/service/ami-amazon-linux-latest/al2023-ami-kernel-default-x86_64")["Parameter"]
                    image = ec2.describe_images(ImageIds=[latest["Value"]], Owners=["amazon"])["Images"][0]
                    self.assertEqual(image["Name"], "al2023-ami-2023.11.20260427.1-kernel-6.1-x86_64")
                    code, _, message = refusal(lambda: ec2.run_instances(
                        ImageId=image["ImageId"], MinCount=1, MaxCount=1, SubnetId=box.world["subnet_ids"]["gw-a"]))
                    self.assertEqual(code, "UnauthorizedOperation")  # --guard imdsv2
                    self.assertIn(f"resource: arn:{box.world['partition']}:ec2:{box.world['region']}:", message)
                finally:
                    box.stop()


if __name__ == "__main__":
    unittest.main()
