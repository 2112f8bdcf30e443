"""The launches a real account refuses, and the settings that say so
beforehand, seen through boto3: offerings per zone, free addresses,
capacity, the policy on instance types under DryRun, the vCPU quota, the
EBS default key, Allowed AMIs, Block Public Access and routes to S3."""

from __future__ import annotations

import time
import unittest

import harness
from harness import refusal

sandbox = harness.ModuleSandbox(auth=True)
setUpModule, tearDownModule = sandbox.start, sandbox.stop

# What DELETE /_sandbox/guard and /_sandbox/reset leave of the launch rules.
LAUNCH_RULES_OFF = {"offerings": {}, "full_subnets": [], "capacity": [], "allowed_instance_types": None,
                    "vcpu_quota": None, "allowed_images": None, "block_public_access": None, "ebs_encryption": None}
DRY = ("DryRunOperation", 412, "Request would have succeeded, but DryRun flag is set.")


class LaunchCase(unittest.TestCase):
    def setUp(self):
        self.ec2, self.world = sandbox.client("ec2"), sandbox.world
        self.image = next(iter(self.world["images"]))
        self.addCleanup(sandbox.control, "DELETE", "guard")
        sandbox.clear_journal()

    def guard(self, **rules):
        return sandbox.control("POST", "guard", rules)

    def subnet(self, name):
        return self.world["subnet_ids"].get(name, name)

    def request(self, subnet="gw-a", instance_type="t3.micro", **kwargs):
        return self.ec2.run_instances(**{"ImageId": self.image, "MinCount": 1, "MaxCount": 1, "SubnetId": self.subnet(
            subnet), "InstanceType": instance_type, **kwargs})

    def launch(self, *args, **kwargs):
        instance = self.request(*args, **kwargs)["Instances"][0]["InstanceId"]
        self.addCleanup(self.ec2.terminate_instances, InstanceIds=[instance])
        return instance

    def new_subnet(self, cidr, zone):
        subnet = self.ec2.create_subnet(VpcId=self.world["vpc_id"], CidrBlock=cidr,
                                        AvailabilityZone=zone)["Subnet"]["SubnetId"]
        self.addCleanup(self.ec2.delete_subnet, SubnetId=subnet)
        return subnet


class Offerings(LaunchCase):
    def test_launches_agree_with_the_offerings_described(self):
        zone_e = self.new_subnet("10.20.50.0/24", "us-east-1e")  # moto's data: no t3.micro in us-east-1e
        self.guard(offerings={"use1-az6": {"exclude": ["t3a.micro"]}})  # us-east-1a, by its zone id
        subnets = {"us-east-1a": "gw-a", "us-east-1b": "gw-b", "us-east-1e": zone_e}
        types = ["t3.micro", "t3a.micro", "t2.micro"]
        offered = {(o["Location"], o["InstanceType"]) for o in self.ec2.describe_instance_type_offerings(
            LocationType="availability-zone", Filters=[{"Name": "location", "Values": list(subnets)},
                                                      {"Name": "instance-type", "Values": types}])[
            "InstanceTypeOfferings"]}
        self.assertEqual(offered, {(zone, kind) for zone in subnets for kind in types} - {
            ("us-east-1e", "t3.micro"), ("us-east-1e", "t3a.micro"), ("us-east-1a", "t3a.micro")})
        everywhere = {(o["Location"], o["InstanceType"]) for o in self.ec2.describe_instance_type_offerings(
            LocationType="availability-zone", Filters=[{"Name": "instance-type", "Values": types}])[
            "InstanceTypeOfferings"]}
        by_id = self.ec2.describe_instance_type_offerings(LocationType="availability-zone-id", Filters=[
            {"Name": "instance-type", "Values": ["t3a.micro"]}])["InstanceTypeOfferings"]
        self.assertNotIn("use1-az6", {o["Location"] for o in by_id})
        for zone, subnet in subnets.items():
            for instance_type in types:
                with self.subTest(zone=zone, instance_type=instance_type):
                    answer = refusal(lambda: self.request(subnet, instance_type, DryRun=True))
                    if (zone, instance_type) in offered:
                        self.assertEqual(answer, DRY)
                        continue
                    others = sorted(z for z, kind in everywhere if kind == instance_type and z != zone)
                    self.assertEqual(answer, (
                        "Unsupported", 400,
                        f"Your requested instance type ({instance_type}) is not supported in your requested "
                        f"Availability Zone ({zone}). Please retry your request by not specifying an Availability "
                        f"Zone or choosing {', '.join(others)}."))
                    self.assertEqual(refusal(lambda: self.request(subnet, instance_type))[0], "Unsupported")
        faults = [e.get("fault") for e in sandbox.journal("ec2", "RunInstances") if e["error_code"] == "Unsupported"]
        # a-t3a dry and real (the guard's exclusion), e-t3 and e-t3a (moto's data, every account's), each twice
        self.assertEqual(faults, ["guard", "guard", None, None, None, None])
        self.assertEqual(sandbox.control("GET", "inventory")["instances"], {})


class FreeAddresses(LaunchCase):
    def test_the_count_never_goes_below_zero_and_a_full_subnet_refuses(self):
        small = self.new_subnet("10.20.60.0/28", "us-east-1a")  # 16 - 5 reserved = 11
        eni = self.ec2.create_network_interface(SubnetId=small, SecondaryPrivateIpAddressCount=3)["NetworkInterface"]
        self.addCleanup(self.ec2.delete_network_interface, NetworkInterfaceId=eni["NetworkInterfaceId"])
        # moto hands out more addresses than the block holds; EC2 reports 0.
        self.ec2.assign_private_ip_addresses(NetworkInterfaceId=eni["NetworkInterfaceId"],
                                             SecondaryPrivateIpAddressCount=12)
        self.guard(full_subnets=["private-b"])
        for subnet in (small, "private-b"):
            with self.subTest(subnet=subnet):
                subnet_id = self.subnet(subnet)
                found = self.ec2.describe_subnets(SubnetIds=[subnet_id])["Subnets"][0]
                self.assertEqual(found["AvailableIpAddressCount"], 0)
                message = f"There are not enough free addresses in subnet '{subnet_id}'"
                for dry_run in (True, False):
                    self.assertEqual(refusal(lambda: self.request(subnet, DryRun=dry_run)), (
                        "InsufficientFreeAddressesInSubnet", 400,
                        f"{message} to satisfy the requested number of instances."))
                self.assertEqual(refusal(lambda: self.ec2.create_network_interface(SubnetId=subnet_id)),
                                 ("InsufficientFreeAddressesInSubnet", 400, f"{message}."))
        sandbox.control("DELETE", "guard")
        self.assertEqual(self.ec2.describe_subnets(SubnetIds=[self.subnet("private-b")])["Subnets"][0]
                         ["AvailableIpAddressCount"], 251)


class Capacity(LaunchCase):
    def test_a_zone_without_capacity_refuses_real_launches_only(self):
        self.guard(capacity=[{"instance_type": "t3.micro", "zone": "us-east-1a", "count": 2},
                             {"instance_type": "t3.micro", "zone": "us-east-1c"}])
        expected = ("InsufficientInstanceCapacity", 500,
                    "We currently do not have sufficient t3.micro capacity in the Availability Zone you requested "
                    "(us-east-1a). Our system will be working on provisioning additional capacity. You can currently "
                    "get t3.micro capacity by not specifying an Availability Zone in your request or choosing "
                    "us-east-1b, us-east-1d, us-east-1f.")
        self.assertEqual(refusal(lambda: self.request("gw-a", DryRun=True)), DRY)  # no capacity check on a dry run
        self.assertEqual(refusal(lambda: self.request("gw-a")), expected)
        self.assertEqual(refusal(lambda: self.request("gw-a")), expected)
        self.launch("gw-a")  # count 2: the third launch has capacity
        self.launch("gw-a", "t3a.micro")
        self.assertEqual(refusal(lambda: self.request("gw-c"))[:2], ("InsufficientInstanceCapacity", 500))
        rules = sandbox.control("GET", "guard")["capacity"]
        self.assertEqual([(r["zone"], r["count"], r["refused"]) for r in rules],
                         [("us-east-1a", 2, 2), ("us-east-1c", None, 1)])


class DryRuns(LaunchCase):
    def test_policies_decide_dry_runs_and_dry_runs_change_nothing(self):
        vpc, private = self.world["vpc_id"], self.subnet("private-a")
        group = self.ec2.describe_security_groups(Filters=[{"Name": "vpc-id", "Values": [vpc]}])[
            "SecurityGroups"][0]["GroupId"]
        owner = [{"ResourceType": kind, "Tags": [{"Key": "Owner", "Value": "qa"}]}
                 for kind in ("instance", "volume", "network-interface")]
        imds = {"HttpTokens": "required"}
        before = sandbox.control("GET", "inventory")
        calls = {
            "RunInstances": lambda **kw: self.request(DryRun=True, **kw),
            "CreateSecurityGroup": lambda **kw: self.ec2.create_security_group(
                GroupName="dry", Description="d", VpcId=vpc, DryRun=True, **kw),
            "CreateKeyPair": lambda: self.ec2.create_key_pair(KeyName="dry", DryRun=True),
            "CreateNetworkInterface": lambda **kw: self.ec2.create_network_interface(
                SubnetId=private, DryRun=True, **kw),
            "AllocateAddress": lambda: self.ec2.allocate_address(Domain="vpc", DryRun=True),
            "AuthorizeSecurityGroupIngress": lambda: self.ec2.authorize_security_group_ingress(
                GroupId=group, DryRun=True, IpPermissions=[
                    {"IpProtocol": "tcp", "FromPort": 22, "ToPort": 22, "IpRanges": [{"CidrIp": "192.0.2.1/32"}]}]),
            "CreateTags": lambda: self.ec2.create_tags(Resources=[vpc], Tags=[{"Key": "a", "Value": "b"}],
                                                       DryRun=True),
        }
        # (rules, action, parameters, denied)
        cases = [({}, action, {}, False) for action in calls] + [
            ({"allowed_instance_types": ["t3.micro", "t3a.micro"]}, "RunInstances", {"InstanceType": "t2.micro"}, True),
            ({"allowed_instance_types": ["t3.micro", "t3a.micro"]}, "RunInstances", {}, False),
            ({"imdsv2": True}, "RunInstances", {}, True),
            ({"imdsv2": True}, "RunInstances", {"MetadataOptions": imds}, False),
            ({"required_tag": "Owner"}, "RunInstances", {"MetadataOptions": imds}, True),
            ({"required_tag": "Owner"}, "RunInstances", {"TagSpecifications": owner}, False),
            ({"required_tag": "Owner"}, "CreateSecurityGroup", {}, True),
            ({"required_tag": "Owner"}, "CreateNetworkInterface", {}, True),
            ({"tags_at_creation": True}, "CreateTags", {}, True),
        ]
        for rules, action, params, denied in cases:
            with self.subTest(rules=rules, action=action, params=params):
                sandbox.control("DELETE", "guard")
                self.guard(**rules)
                call = calls[action]
                params = dict(params)
                instance_type = params.pop("InstanceType", None)
                if instance_type:
                    call = lambda **kw: self.request("gw-a", instance_type, DryRun=True, **kw)  # noqa: E731
                code, status, message = refusal(lambda: call(**params))
                if denied:
                    self.assertEqual((code, status), ("UnauthorizedOperation", 403))
                    self.assertIn(f"ec2:{action} on resource:", message)
                else:
                    self.assertEqual((code, status, message), DRY)
        self.assertEqual(sandbox.control("GET", "inventory"), before)


class VcpuQuota(LaunchCase):
    def test_the_quota_service_quotas_reports_is_the_one_launches_meet(self):
        quotas = sandbox.client("service-quotas")

        def quota():
            return quotas.get_service_quota(ServiceCode="ec2", QuotaCode="L-1216C47A")["Quota"]

        self.assertEqual((quota()["Value"], quota()["QuotaName"]),
                         (1152.0, "Running On-Demand Standard (A, C, D, H, I, M, R, T, Z) instances"))
        self.guard(vcpu_quota=3)
        self.assertEqual(quota()["Value"], 3.0)
        self.assertEqual(refusal(lambda: self.request(instance_type="t3.micro", MinCount=2, MaxCount=2))[0],
                         "VcpuLimitExceeded")
        self.launch(instance_type="t3.micro")  # 2 vCPUs
        self.launch(instance_type="t2.micro")  # 1 vCPU
        self.assertEqual(refusal(lambda: self.request(DryRun=True, instance_type="t2.micro")), DRY)
        self.assertEqual(refusal(lambda: self.request(instance_type="t2.micro")), (
            "VcpuLimitExceeded", 400,
            "You have requested more vCPU capacity than your current vCPU limit of 3 allows for the instance "
            "bucket that the specified instance type belongs to. Please visit "
            "http://aws.amazon.com/contact-us/ec2-request to request an adjustment to this limit."))
        self.assertEqual(refusal(lambda: quotas.get_service_quota(ServiceCode="ec2", QuotaCode="L-00000000"))[0],
                         "NoSuchResourceException")
        self.assertEqual({e["action"] for e in sandbox.journal("servicequotas")}, {"GetServiceQuota"})


class EbsDefaultKey(LaunchCase):
    def dies_of_its_key(self, instance_id, timeout=5.0):
        deadline = time.monotonic() + timeout
        while True:
            found = self.ec2.describe_instances(InstanceIds=[instance_id])["Reservations"][0]["Instances"][0]
            if found["State"]["Name"] == "terminated" or time.monotonic() > deadline:
                return found.get("StateReason", {}).get("Code")
            time.sleep(0.05)

    def test_launches_die_while_the_default_key_cannot_be_used(self):
        kms = sandbox.client("kms")
        self.addCleanup(self.ec2.disable_ebs_encryption_by_default)
        self.addCleanup(self.ec2.reset_ebs_default_kms_key_id)
        self.assertEqual(self.ec2.get_ebs_default_kms_key_id()["KmsKeyId"], "alias/aws/ebs")
        self.ec2.enable_ebs_encryption_by_default()
        key = kms.create_key()["KeyMetadata"]
        self.assertEqual(self.ec2.modify_ebs_default_kms_key_id(KmsKeyId=key["KeyId"])["KmsKeyId"], key["Arn"])
        self.assertEqual(self.ec2.get_ebs_default_kms_key_id()["KmsKeyId"], key["Arn"])
        kms.disable_key(KeyId=key["KeyId"])
        doomed = self.launch()
        self.assertEqual(self.dies_of_its_key(doomed, timeout=8), "Client.InvalidKMSKey.InvalidState")
        kms.enable_key(KeyId=key["KeyId"])
        self.assertEqual(kms.describe_key(KeyId=key["KeyId"])["KeyMetadata"]["KeyState"], "Enabled")
        survivor = self.launch()
        self.assertEqual(self.ec2.reset_ebs_default_kms_key_id()["KmsKeyId"], "alias/aws/ebs")
        self.assertEqual({e["action"] for e in sandbox.journal("kms")},
                         {"CreateKey", "DisableKey", "EnableKey", "DescribeKey"})
        # The guard's member makes the same account in one step, and undoes it.
        made = self.guard(ebs_encryption={"key_state": "PendingDeletion", "after_s": 0})["ebs_encryption"]
        self.assertEqual(self.ec2.get_ebs_default_kms_key_id()["KmsKeyId"], made["key_id"])
        self.assertEqual(kms.describe_key(KeyId=made["key_id"])["KeyMetadata"]["KeyState"], "PendingDeletion")
        self.assertEqual(self.dies_of_its_key(self.launch()), "Client.InvalidKMSKey.InvalidState")
        sandbox.control("DELETE", "guard")
        self.assertFalse(self.ec2.get_ebs_encryption_by_default()["EbsEncryptionByDefault"])
        self.assertEqual(self.ec2.describe_instances(InstanceIds=[survivor])["Reservations"][0]["Instances"][0]
                         ["State"]["Name"], "running")


class AccountSettings(LaunchCase):
    def test_allowed_images(self):
        images = list(self.world["images"])
        allowed = self.world["images"][images[0]]["name"]
        self.assertEqual(self.ec2.get_allowed_images_settings()["State"], "disabled")
        self.assertNotIn("ImageAllowed", self.ec2.describe_images(ImageIds=images[:1])["Images"][0])
        for state in ("audit-mode", "enabled"):
            with self.subTest(state=state):
                self.guard(allowed_images={"state": state, "criteria": [{"providers": ["amazon"], "names": [allowed]}]})
                settings = self.ec2.get_allowed_images_settings()
                self.assertEqual((settings["State"], settings["ManagedBy"], settings["ImageCriteria"]),
                                 (state, "account", [{"ImageProviders": ["amazon"], "ImageNames": [allowed]}]))
                found = {i["ImageId"]: i["ImageAllowed"] for i in self.ec2.describe_images(ImageIds=images)["Images"]}
                if state == "audit-mode":
                    self.assertEqual(found, {image: image == images[0] for image in images})
                    self.launch(ImageId=images[1])
                else:
                    self.assertEqual(found, {images[0]: True})
                    for dry_run in (True, False):
                        self.assertEqual(refusal(lambda: self.request(ImageId=images[1], DryRun=dry_run)), (
                            "InvalidAMIID.NotFound", 400, f"The image id '[{images[1]}]' does not exist"))
                    self.launch(ImageId=images[0])

    def test_block_public_access(self):
        options = self.ec2.describe_vpc_block_public_access_options()["VpcBlockPublicAccessOptions"]
        self.assertEqual((options["InternetGatewayBlockMode"], options["State"]), ("off", "default-state"))
        self.assertEqual(self.ec2.describe_vpc_block_public_access_exclusions()["VpcBlockPublicAccessExclusions"], [])
        self.guard(block_public_access={"mode": "block-ingress", "exclusions": [
            {"vpc": "world", "mode": "allow-egress"}, {"subnet": "gw-b"}]})
        options = self.ec2.describe_vpc_block_public_access_options()["VpcBlockPublicAccessOptions"]
        self.assertEqual((options["InternetGatewayBlockMode"], options["State"], options["AwsRegion"]),
                         ("block-ingress", "update-complete", "us-east-1"))
        exclusions = self.ec2.describe_vpc_block_public_access_exclusions()["VpcBlockPublicAccessExclusions"]
        prefix = "arn:aws:ec2:us-east-1:123456789012:"
        self.assertEqual([(e["ResourceArn"], e["InternetGatewayExclusionMode"], e["State"]) for e in exclusions], [
            (f"{prefix}vpc/{self.world['vpc_id']}", "allow-egress", "create-complete"),
            (f"{prefix}subnet/{self.subnet('gw-b')}", "allow-bidirectional", "create-complete")])
        self.assertRegex(exclusions[0]["ExclusionId"], r"^vpcbpa-exclude-[0-9a-f]{17}$")

    def test_the_worlds_subnets_have_no_route_to_s3(self):
        tables = self.ec2.describe_route_tables(Filters=[{"Name": "vpc-id", "Values": [self.world["vpc_id"]]}])
        self.assertEqual([(t["Associations"][0]["Main"], t["Routes"]) for t in tables["RouteTables"]], [
            (True, [{"DestinationCidrBlock": self.world["vpc_cidr"], "GatewayId": "local",
                     "Origin": "CreateRouteTable", "State": "active"}])])


class Control(LaunchCase):
    def test_bad_rules_are_refused_and_reset_turns_everything_off(self):
        for bad in ({"offerings": {"us-east-1z": {"exclude": ["t3.micro"]}}},
                    {"offerings": {"us-east-1a": {"exclude": ["t9.nano"]}}},
                    {"capacity": [{"instance_type": "t3.micro"}]},
                    {"capacity": [{"instance_type": "t3.micro", "zone": "us-east-1a", "count": 0}]},
                    {"full_subnets": ["nowhere"]}, {"vcpu_quota": -1}, {"allowed_instance_types": "t3.micro"},
                    {"allowed_images": {"state": "disabled"}},
                    {"allowed_images": {"state": "enabled", "criteria": [{"providers": ["someone"]}]}},
                    {"block_public_access": {"mode": "block-everything"}},
                    {"ebs_encryption": {"key_state": "Gone"}}):
            with self.subTest(bad=bad):
                with self.assertRaises(harness.urllib.error.HTTPError) as raised:
                    self.guard(**bad)
                self.assertEqual(raised.exception.code, 400)
        self.guard(all=True, vcpu_quota=4, full_subnets=["private-a"], ebs_encryption={"key_state": "Disabled"})
        self.assertEqual(self.guard(all=True)["vcpu_quota"], 4)  # "all" leaves the launch rules alone
        sandbox.reset()
        self.ec2 = sandbox.client("ec2")
        off = sandbox.control("GET", "guard")
        self.assertEqual({name: off[name] for name in LAUNCH_RULES_OFF}, LAUNCH_RULES_OFF)
        self.assertFalse(self.ec2.get_ebs_encryption_by_default()["EbsEncryptionByDefault"])


if __name__ == "__main__":
    unittest.main()
