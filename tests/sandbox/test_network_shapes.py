"""The EC2 actions of the VPC and security-group operations parse, in boto3,
into the shapes and error codes AWS documents."""

from __future__ import annotations

import unittest


import harness
from harness import error_of



sandbox = harness.ModuleSandbox(auth=True)
setUpModule, tearDownModule = sandbox.start, sandbox.stop



class NetworkShapes(unittest.TestCase):
    def setUp(self):
        self.ec2 = sandbox.client("ec2")

    def test_vpc_and_subnet_creation_and_lookup(self):
        vpc = self.ec2.create_vpc(CidrBlock="10.91.0.0/16")["Vpc"]
        self.assertTrue(vpc["VpcId"].startswith("vpc-"))
        subnet = self.ec2.create_subnet(VpcId=vpc["VpcId"], CidrBlock="10.91.1.0/24")["Subnet"]
        found = self.ec2.describe_subnets(SubnetIds=[subnet["SubnetId"]])["Subnets"]
        self.assertEqual([(s["SubnetId"], s["VpcId"]) for s in found], [(subnet["SubnetId"], vpc["VpcId"])])
        self.assertEqual(error_of(lambda: self.ec2.describe_subnets(SubnetIds=["subnet-0123456789abcdef0"])),
                         ("InvalidSubnetID.NotFound", 400))

    def test_group_life_cycle(self):
        vpc = self.ec2.create_vpc(CidrBlock="10.92.0.0/16")["Vpc"]["VpcId"]
        by_name = [{"Name": "vpc-id", "Values": [vpc]}, {"Name": "group-name", "Values": ["g"]}]
        self.assertEqual(self.ec2.describe_security_groups(Filters=by_name)["SecurityGroups"], [])
        group = self.ec2.create_security_group(
            Description="d", GroupName="g", VpcId=vpc,
            TagSpecifications=[{"ResourceType": "security-group",
                                "Tags": [{"Key": "Name", "Value": "g"}, {"Key": "Owner", "Value": "qa"}]}])["GroupId"]
        self.assertEqual(error_of(lambda: self.ec2.create_security_group(Description="d", GroupName="g", VpcId=vpc)),
                         ("InvalidGroup.Duplicate", 400))
        self.ec2.authorize_security_group_ingress(GroupId=group, IpPermissions=[{
            "IpProtocol": "tcp", "FromPort": 22, "ToPort": 22,
            "IpRanges": [{"CidrIp": "198.51.100.7/32", "Description": "ssh"}]}])
        [found] = self.ec2.describe_security_groups(Filters=by_name)["SecurityGroups"]
        self.assertEqual((found["GroupId"], found["GroupName"], found["Description"], found["VpcId"]),
                         (group, "g", "d", vpc))
        self.assertEqual({t["Key"]: t["Value"] for t in found["Tags"]}, {"Name": "g", "Owner": "qa"})
        [rule] = found["IpPermissions"]
        self.assertEqual((rule["IpProtocol"], rule["FromPort"], rule["ToPort"], rule["IpRanges"]),
                         ("tcp", 22, 22, [{"CidrIp": "198.51.100.7/32", "Description": "ssh"}]))
        self.assertEqual([r["IpProtocol"] for r in found["IpPermissionsEgress"]], ["-1"])  # the default
        self.ec2.delete_security_group(GroupId=group)
        for call in (lambda: self.ec2.delete_security_group(GroupId=group),
                     lambda: self.ec2.describe_security_groups(GroupIds=[group]),
                     lambda: self.ec2.authorize_security_group_ingress(GroupId=group, IpPermissions=[{
                         "IpProtocol": "tcp", "FromPort": 22, "ToPort": 22,
                         "IpRanges": [{"CidrIp": "1.2.3.4/32"}]}])):
            self.assertEqual(error_of(call), ("InvalidGroup.NotFound", 400))


if __name__ == "__main__":
    unittest.main()
