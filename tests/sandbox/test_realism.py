"""The realistic profile seen through boto3: EC2's per-action throttling,
eventual consistency, slow transitions and the time scale; and the inventory
and idempotency that leak checks and retries rely on."""

from __future__ import annotations

import json
import time
import unittest
import urllib.error

from botocore.exceptions import ClientError

import harness
from harness import error_of, refusal


# Everything off but what a test turns on: no windows, no waits, no buckets.
QUIET = {"consistency_s": 0, "iam_propagation_s": 0, "pending_s": 0, "status_init_s": 0,
         "shutting_down_s": 0, "attaching_s": 0, "detaching_s": 0, "throttle": False}
THROTTLED = ("RequestLimitExceeded", 503)


sandbox = harness.ModuleSandbox(auth=True)
setUpModule, tearDownModule = sandbox.start, sandbox.stop


def eventually(check, timeout=5.0):
    """What `check` returns once it stops failing."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            return check()
        except (AssertionError, ClientError):
            if time.monotonic() > deadline:
                raise
            time.sleep(0.05)


class ProfileCase(unittest.TestCase):
    def setUp(self):
        self.ec2, self.world = sandbox.client("ec2"), sandbox.world
        self.addCleanup(sandbox.clear_faults)
        self.addCleanup(sandbox.control, "DELETE", "profile")

    def profile(self, time_scale=1.0, **settings):
        return sandbox.control("POST", "profile", {"name": "aws", "time_scale": time_scale, **QUIET, **settings})

    def launch(self, count=1, subnet="gw-a", **kwargs):
        reservation = self.ec2.run_instances(ImageId=next(iter(self.world["images"])), MinCount=count,
                                             MaxCount=count, SubnetId=self.world["subnet_ids"][subnet], **kwargs)
        return [instance["InstanceId"] for instance in reservation["Instances"]]

    def state(self, instance_id):
        return self.ec2.describe_instances(InstanceIds=[instance_id])["Reservations"][0]["Instances"][0]["State"]

    def launched(self):
        return [i["instance_id"] for i in sandbox.control("GET", "inventory")["instance_ids_launched"]]


class Throttling(ProfileCase):
    def test_each_ec2_action_has_its_own_bucket_and_other_services_keep_theirs(self):
        sandbox.set_faults({"throttle": {"mutating": {"burst": 1, "refill": 0.001}}})
        self.profile(throttle={"mutating": {"burst": 2, "refill": 0.001}, "non_mutating": {"burst": 3, "refill": 0.001}})
        vpc, tags, iam = self.world["vpc_id"], [{"Key": "k", "Value": "v"}], sandbox.client("iam")
        cases = [(lambda: self.ec2.create_tags(Resources=[vpc], Tags=tags), 2, THROTTLED),
                 (lambda: self.ec2.delete_tags(Resources=[vpc], Tags=tags), 2, THROTTLED),
                 (self.ec2.describe_vpcs, 3, THROTTLED),
                 (self.ec2.describe_subnets, 3, THROTTLED),
                 (lambda: iam.tag_user(UserName=self.world["user"]["name"], Tags=tags), 1, ("Throttling", 400))]
        for call, burst, throttled in cases:
            with self.subTest(throttled=throttled, burst=burst):
                for _ in range(burst):
                    call()
                self.assertEqual(error_of(call), throttled)

    def test_run_instances_spends_a_request_token_and_one_launch_token_an_instance(self):
        # At scale 0.01 a request token comes back every 0.5 s (0.02 a
        # second at AWS's pace), launch tokens never; sizes are not scaled.
        # A request its own bucket refuses costs no launch token.
        self.profile(time_scale=0.01, throttle={"resource_intensive": {"burst": 1, "refill": 0.02},
                                                "instances_launched": {"burst": 3, "refill": 0.00001},
                                                "instances_terminated": {"burst": 1, "refill": 0.00001}})
        before = len(self.launched())
        first = self.launch(count=2)
        self.assertEqual(error_of(self.launch), THROTTLED)  # request bucket
        time.sleep(0.6)
        self.launch()
        time.sleep(0.6)
        self.assertEqual(error_of(self.launch), THROTTLED)  # launch bucket
        self.assertEqual(error_of(lambda: self.ec2.terminate_instances(InstanceIds=first)), THROTTLED)
        made = self.launched()[before:]
        self.assertEqual(len(made), 3)
        sandbox.control("DELETE", "profile")
        self.ec2.terminate_instances(InstanceIds=made)


class EventualConsistency(ProfileCase):
    def test_new_ids_are_not_found_until_they_propagate_but_filters_see_them(self):
        self.profile(time_scale=0.4, consistency_s=5)  # two seconds
        ec2, pair = self.ec2, "young-key"
        instances = self.launch(count=2)
        primary = ec2.describe_instances(Filters=[{"Name": "instance-id", "Values": instances[:1]}])[
            "Reservations"][0]["Instances"][0]["NetworkInterfaces"][0]["NetworkInterfaceId"]
        group = ec2.create_security_group(GroupName="young", Description="d", VpcId=self.world["vpc_id"])["GroupId"]
        eni = ec2.create_network_interface(SubnetId=self.world["subnet_ids"]["private-a"])[
            "NetworkInterface"]["NetworkInterfaceId"]
        allocation = ec2.allocate_address(Domain="vpc")["AllocationId"]
        ec2.create_key_pair(KeyName=pair)
        eni_message = "The networkInterface ID '{}' does not exist"
        cases = [  # call, code, message, describe and filter that already see it
            (lambda: ec2.describe_instances(InstanceIds=instances[:1]), "InvalidInstanceID.NotFound",
             f"The instance ID '{instances[0]}' does not exist", ec2.describe_instances, "instance-id"),
            (lambda: ec2.describe_network_interfaces(NetworkInterfaceIds=[primary]), "InvalidNetworkInterfaceID.NotFound",
             eni_message.format(primary), ec2.describe_network_interfaces, "network-interface-id"),
            (lambda: ec2.describe_security_groups(GroupIds=[group]), "InvalidGroup.NotFound",
             f"The security group '{group}' does not exist", ec2.describe_security_groups, "group-id"),
            (lambda: ec2.create_tags(Resources=[eni], Tags=[{"Key": "k", "Value": "v"}]),
             "InvalidNetworkInterfaceID.NotFound", eni_message.format(eni), None, None),
            (lambda: ec2.describe_addresses(AllocationIds=[allocation]), "InvalidAllocationID.NotFound",
             f"The allocation ID '{allocation}' does not exist", ec2.describe_addresses, "allocation-id"),
            (lambda: ec2.describe_key_pairs(KeyNames=[pair]), "InvalidKeyPair.NotFound",
             f"The key pair '{pair}' does not exist", ec2.describe_key_pairs, "key-name"),
            (lambda: ec2.stop_instances(InstanceIds=instances), "InvalidInstanceID.NotFound",
             f"The instance IDs '{instances[0]}, {instances[1]}' do not exist", None, None),
            # Several kinds named: the first one decides.
            (lambda: self.launch(subnet="gw-b", SecurityGroupIds=[group], KeyName=pair), "InvalidGroup.NotFound",
             f"The security group '{group}' does not exist", None, None),
        ]
        for call, code, message, describe, filter_name in cases:
            with self.subTest(message=message):
                self.assertEqual(refusal(call), (code, 400, message))
                if describe:
                    value = message.split("'")[1]
                    self.assertIn(value, str(describe(Filters=[{"Name": filter_name, "Values": [value]}])))
        for call, *_ in cases[:6]:
            eventually(call)
        ec2.release_address(AllocationId=allocation)
        ec2.delete_key_pair(KeyName=pair)
        ec2.delete_network_interface(NetworkInterfaceId=eni)
        ec2.terminate_instances(InstanceIds=instances)
        ec2.delete_security_group(GroupId=group)

    def test_a_new_instance_profile_is_refused_until_iam_propagates(self):
        iam, name = sandbox.client("iam"), "young-profile"
        self.profile(time_scale=0.1, iam_propagation_s=10)
        arn = iam.create_instance_profile(InstanceProfileName=name)["InstanceProfile"]["Arn"]
        self.addCleanup(iam.delete_instance_profile, InstanceProfileName=name)
        iam.add_role_to_instance_profile(InstanceProfileName=name, RoleName="instance-role")
        self.addCleanup(iam.remove_role_from_instance_profile, InstanceProfileName=name, RoleName="instance-role")
        for profile, message in (({"Name": name}, f"Value ({name}) for parameter iamInstanceProfile.name is invalid. "
                                                  "Invalid IAM Instance Profile name"),
                                 ({"Arn": arn}, f"Value ({arn}) for parameter iamInstanceProfile.arn is invalid. "
                                                "Invalid IAM Instance Profile ARN")):
            with self.subTest(profile=profile):
                self.assertEqual(refusal(lambda: self.launch(IamInstanceProfile=profile)),
                                 ("InvalidParameterValue", 400, message))
        self.ec2.terminate_instances(InstanceIds=eventually(lambda: self.launch(IamInstanceProfile={"Name": name})))


class Transitions(ProfileCase):
    def test_pending_then_running_with_status_checks_initializing_then_ok(self):
        self.profile(time_scale=0.05, pending_s=20, status_init_s=30)  # 1 s, then 1.5 s
        instance = self.launch()[0]
        self.assertEqual(self.state(instance), {"Code": 0, "Name": "pending"})
        self.assertEqual(self.ec2.describe_instance_status(InstanceIds=[instance])["InstanceStatuses"], [])
        every = self.ec2.describe_instance_status(InstanceIds=[instance], IncludeAllInstances=True)["InstanceStatuses"]
        self.assertEqual([(s["InstanceState"]["Name"], s["InstanceStatus"]["Status"]) for s in every],
                         [("pending", "not-applicable")])

        def checks():
            statuses = self.ec2.describe_instance_status(InstanceIds=[instance])["InstanceStatuses"]
            self.assertEqual(len(statuses), 1)
            return statuses[0]["InstanceStatus"]["Status"], statuses[0]["SystemStatus"]["Status"]

        self.assertEqual(eventually(checks), ("initializing", "initializing"))
        self.assertEqual(self.state(instance)["Name"], "running")
        eventually(lambda: self.assertEqual(checks(), ("ok", "ok")))
        self.ec2.terminate_instances(InstanceIds=[instance])

    def test_shutting_down_keeps_address_and_groups_until_terminated(self):
        self.profile(time_scale=0.02, shutting_down_s=50)  # 1 s
        group = self.ec2.create_security_group(GroupName="shutting", Description="d",
                                               VpcId=self.world["vpc_id"])["GroupId"]
        instance = self.launch(SecurityGroupIds=[group])[0]
        allocation = self.ec2.allocate_address(Domain="vpc")["AllocationId"]
        self.ec2.associate_address(AllocationId=allocation, InstanceId=instance)
        answer = self.ec2.terminate_instances(InstanceIds=[instance])["TerminatingInstances"][0]
        self.assertEqual(answer["CurrentState"], {"Code": 32, "Name": "shutting-down"})
        self.assertEqual(self.state(instance)["Name"], "shutting-down")
        address = self.ec2.describe_addresses(AllocationIds=[allocation])["Addresses"][0]
        self.assertEqual((address.get("InstanceId"), "AssociationId" in address), (instance, True))
        self.assertEqual(error_of(lambda: self.ec2.delete_security_group(GroupId=group)), ("DependencyViolation", 400))
        eventually(lambda: self.assertEqual(self.state(instance), {"Code": 48, "Name": "terminated"}))
        self.assertNotIn("AssociationId", self.ec2.describe_addresses(AllocationIds=[allocation])["Addresses"][0])
        self.ec2.release_address(AllocationId=allocation)
        self.ec2.delete_security_group(GroupId=group)

    def test_interfaces_attach_and_detach_slowly(self):
        self.profile(time_scale=0.1, attaching_s=5, detaching_s=8)  # 0.5 s, 0.8 s
        instance = self.launch()[0]
        eni = self.ec2.create_network_interface(SubnetId=self.world["subnet_ids"]["private-a"])[
            "NetworkInterface"]["NetworkInterfaceId"]

        def seen():
            found = self.ec2.describe_network_interfaces(NetworkInterfaceIds=[eni])["NetworkInterfaces"][0]
            return found["Status"], found.get("Attachment", {}).get("Status")

        attachment = self.ec2.attach_network_interface(DeviceIndex=1, InstanceId=instance,
                                                       NetworkInterfaceId=eni)["AttachmentId"]
        self.assertEqual(seen(), ("in-use", "attaching"))
        eventually(lambda: self.assertEqual(seen(), ("in-use", "attached")))
        self.ec2.detach_network_interface(AttachmentId=attachment)
        self.assertEqual(seen(), ("in-use", "detaching"))
        self.assertEqual(error_of(lambda: self.ec2.delete_network_interface(NetworkInterfaceId=eni)),
                         ("InvalidNetworkInterface.InUse", 400))
        eventually(lambda: self.assertEqual(seen(), ("available", None)))
        described = self.ec2.describe_instances(InstanceIds=[instance])["Reservations"][0]["Instances"][0]
        self.assertNotIn(eni, [n["NetworkInterfaceId"] for n in described["NetworkInterfaces"]])
        self.ec2.delete_network_interface(NetworkInterfaceId=eni)
        self.ec2.terminate_instances(InstanceIds=[instance])


class FaultsAndProfile(ProfileCase):
    def test_faults_decide_first_and_leave_the_profile_untouched(self):
        self.profile(time_scale=0.05, shutting_down_s=20, throttle={"non_mutating": {"burst": 1, "refill": 0.001}})
        sandbox.set_faults({"rules": [
            {"service": "ec2", "action": "DescribeVpcs", "count": 1, "status": 500, "code": "InternalError"},
            {"service": "ec2", "action": "TerminateInstances", "count": 1, "throttle": True}]})
        self.assertEqual(error_of(self.ec2.describe_vpcs), ("InternalError", 500))
        self.ec2.describe_vpcs()  # the rule's answer cost no token
        self.assertEqual(error_of(self.ec2.describe_vpcs), THROTTLED)
        instance = self.launch()[0]
        self.assertEqual(error_of(lambda: self.ec2.terminate_instances(InstanceIds=[instance])), THROTTLED)
        self.assertEqual(sandbox.control("GET", "inventory")["instances"].get("shutting-down"), None)
        self.ec2.terminate_instances(InstanceIds=[instance])
        self.assertEqual([(e["status"], e["error_code"], e.get("fault")) for e in sandbox.journal("ec2")][-6:], [
            (500, "InternalError", "rule"), (200, None, None), (503, "RequestLimitExceeded", "profile"),
            (200, None, None), (503, "RequestLimitExceeded", "rule"), (200, None, None)])


class InventoryAndIdempotency(ProfileCase):
    def test_inventory_lists_what_is_left_but_not_the_seeded_world(self):
        self.world = sandbox.reset()
        self.ec2 = ec2 = sandbox.client("ec2")  # the new world's keys
        iam = sandbox.client("iam")
        empty = {"instances": {}, "instance_ids_launched": [], "instance_list": [], "network_interfaces": [],
                 "addresses": [], "security_groups": [], "key_pairs": [], "key_pair_tags": {},
                 "iam": {"roles": [], "instance_profiles": [], "policies": []}}
        self.assertEqual(sandbox.control("GET", "inventory"), empty)
        instance = self.launch(subnet="gw-b")[0]
        group = ec2.create_security_group(GroupName="left", Description="d", VpcId=self.world["vpc_id"])["GroupId"]
        eni = ec2.create_network_interface(SubnetId=self.world["subnet_ids"]["private-b"], TagSpecifications=[
            {"ResourceType": "network-interface", "Tags": [{"Key": "Name", "Value": "left"}]}])["NetworkInterface"]
        address = ec2.allocate_address(Domain="vpc")
        ec2.create_key_pair(KeyName="left-key")
        document = json.dumps({"Version": "2012-10-17", "Statement": [{"Effect": "Allow", "Action": "s3:GetObject",
                                                                       "Resource": "*"}]})
        iam.create_role(RoleName="left-role", AssumeRolePolicyDocument=document)
        iam.create_instance_profile(InstanceProfileName="left-profile")
        iam.create_policy(PolicyName="left-policy", PolicyDocument=document)
        inventory = sandbox.control("GET", "inventory")
        self.assertEqual([i["id"] for i in inventory.pop("instance_list")], [instance])
        self.assertEqual(inventory.pop("key_pair_tags"), {"left-key": {}})
        self.assertEqual(inventory, {
            "instances": {"running": 1},
            "instance_ids_launched": [{"instance_id": instance, "subnet_id": self.world["subnet_ids"]["gw-b"]}],
            "network_interfaces": [{"id": eni["NetworkInterfaceId"], "status": "available",
                                    "subnet_id": self.world["subnet_ids"]["private-b"], "vpc_id": self.world["vpc_id"],
                                    "description": "", "instance_id": None, "tags": {"Name": "left"}}],
            "addresses": [{"allocation_id": address["AllocationId"], "public_ip": address["PublicIp"],
                           "association_id": None, "tags": {}}],
            "security_groups": [{"group_id": group, "group_name": "left", "vpc_id": self.world["vpc_id"],
                                 "tags": {}}],
            "key_pairs": ["left-key"],
            "iam": {"roles": ["left-role"], "instance_profiles": ["left-profile"], "policies": ["left-policy"]}})
        sandbox.reset()
        self.assertEqual(sandbox.control("GET", "inventory"), empty)

    def test_a_repeated_client_token_answers_the_first_request(self):
        # AWS: a request repeated with its ClientToken creates nothing and
        # answers the original; other parameters with the same token are
        # IdempotentParameterMismatch.
        before = len(self.launched())
        first = self.launch(ClientToken="launch-once")
        self.assertEqual(self.launch(ClientToken="launch-once"), first)
        self.assertEqual(error_of(lambda: self.launch(subnet="gw-b", ClientToken="launch-once")),
                         ("IdempotentParameterMismatch", 400))
        self.assertEqual(self.launched()[before:], first)
        made = {self.ec2.create_network_interface(SubnetId=self.world["subnet_ids"]["private-c"], ClientToken="eni-once")[
            "NetworkInterface"]["NetworkInterfaceId"] for _ in range(2)}
        self.assertEqual(len(made), 1)
        self.ec2.delete_network_interface(NetworkInterfaceId=made.pop())
        self.ec2.terminate_instances(InstanceIds=first)


class ProfileControl(ProfileCase):
    def test_settings_are_merged_and_checked(self):
        self.assertEqual(sandbox.control("GET", "profile"), {"name": None})
        answer = sandbox.control("POST", "profile", {"name": "aws", "time_scale": 0.5,
                                                     "throttle": {"mutating": {"burst": 10}}})
        self.assertEqual((answer["time_scale"], answer["pending_s"], answer["throttle"]["mutating"],
                          answer["throttle"]["resource_intensive"]),
                         (0.5, 20, {"burst": 10, "refill": 5}, {"burst": 50, "refill": 5}))
        self.assertEqual(sandbox.control("POST", "profile", {"name": "aws", "throttle": False})["time_scale"], 0.5)
        for bad in ({}, {"name": "gcp"}, {"name": "aws", "time_scale": 0}, {"name": "aws", "pending_s": -1},
                    {"name": "aws", "colour": 1}, {"name": "aws", "throttle": {"bursty": {}}},
                    {"name": "aws", "throttle": {"mutating": {"burst": "x"}}}):
            with self.subTest(bad=bad):
                with self.assertRaises(urllib.error.HTTPError) as raised:
                    sandbox.control("POST", "profile", bad)
                self.assertEqual(raised.exception.code, 400)

    def test_turning_off_completes_what_is_under_way_and_reset_turns_off(self):
        self.profile(pending_s=600, status_init_s=600, consistency_s=600)
        instance = self.launch()[0]
        self.assertEqual(error_of(lambda: self.state(instance)), ("InvalidInstanceID.NotFound", 400))
        self.assertEqual(sandbox.control("DELETE", "profile"), {"name": None})
        self.assertEqual(self.state(instance)["Name"], "running")
        status = self.ec2.describe_instance_status(InstanceIds=[instance])["InstanceStatuses"][0]
        self.assertEqual(status["InstanceStatus"]["Status"], "ok")
        self.profile()
        sandbox.reset()
        self.assertEqual(sandbox.control("GET", "profile"), {"name": None})

    def test_command_line_turns_the_profile_on_from_the_start(self):
        other = harness.Sandbox(auth=False, extra_args=["--profile", "aws", "--time-scale", "0.25"])
        self.addCleanup(other.stop)
        settings = other.control("GET", "profile")
        self.assertEqual((settings["name"], settings["time_scale"], settings["consistency_s"]), ("aws", 0.25, 5))


if __name__ == "__main__":
    unittest.main()
