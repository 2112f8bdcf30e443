"""The suite's own resources: a VPC with a test subnet and a private subnet
in each of its zones, an internet gateway with the test subnets' default
route, a bucket (public access blocked, encrypted by default) and, for the
guard step, a role. Each carries the tag `probefleet-acceptance` = run id,
and the bucket and role carry the run id in their names, so that `cleanup`
finds them again after an interrupted run."""

from __future__ import annotations

import json
import time
from dataclasses import dataclass, field

from botocore.exceptions import ClientError

TAG_KEY = "probefleet-acceptance"
BUCKET_PREFIX = "probefleet-acc-"
GUARD_ROLE_PREFIX = "probefleet-acc-guard-"
VPC_CIDR = "10.77.0.0/16"


def run_tags(run_id: str, name: str | None = None) -> list[dict]:
    tags = [{"Key": TAG_KEY, "Value": run_id}]
    return tags + ([{"Key": "Name", "Value": name}] if name else [])


def spec(kind: str, run_id: str, name: str) -> list[dict]:
    return [{"ResourceType": kind, "Tags": run_tags(run_id, name)}]


@dataclass
class Network:
    vpc_id: str
    zones: list[str]
    test_subnets: list[str] = field(default_factory=list)
    private_subnets: list[str] = field(default_factory=list)
    private_cidrs: list[str] = field(default_factory=list)
    gateways: list[str] = field(default_factory=list)  # each test subnet's router address

    def test_config(self, run_id: str) -> list[dict]:
        return [{"gw_name": f"acc-gw-{zone}", "gw_subnet_id": test, "private_subnet_id": private,
                 "private_subnet_cidr": cidr, "gw_private_ip": gateway, "nat_gw_id": ""}
                for zone, test, private, cidr, gateway in zip(
                    self.zones, self.test_subnets, self.private_subnets, self.private_cidrs,
                    self.gateways)]


def pick_zones(ec2, instance_type: str, count: int) -> list[str]:
    """The first `count` zones of the region (by name) that offer the type."""
    offered = {o["Location"] for o in ec2.describe_instance_type_offerings(
        LocationType="availability-zone",
        Filters=[{"Name": "instance-type", "Values": [instance_type]}])["InstanceTypeOfferings"]}
    zones = sorted(z["ZoneName"] for z in ec2.describe_availability_zones(
        Filters=[{"Name": "state", "Values": ["available"]}])["AvailabilityZones"]
        if z.get("ZoneType", "availability-zone") == "availability-zone" and z["ZoneName"] in offered)
    if len(zones) < count:
        raise RuntimeError(f"only {len(zones)} zones offer {instance_type}: {zones}")
    return zones[:count]


def make_network(ec2, region: str, run_id: str, zones: list[str]) -> Network:
    vpc = ec2.create_vpc(CidrBlock=VPC_CIDR, TagSpecifications=spec("vpc", run_id, run_id))["Vpc"]
    net = Network(vpc["VpcId"], zones)
    ec2.get_waiter("vpc_available").wait(VpcIds=[net.vpc_id])
    igw = ec2.create_internet_gateway(
        TagSpecifications=spec("internet-gateway", run_id, run_id))["InternetGateway"]
    ec2.attach_internet_gateway(InternetGatewayId=igw["InternetGatewayId"], VpcId=net.vpc_id)
    table = ec2.create_route_table(
        VpcId=net.vpc_id, TagSpecifications=spec("route-table", run_id, f"{run_id}-test"))["RouteTable"]
    ec2.create_route(RouteTableId=table["RouteTableId"], DestinationCidrBlock="0.0.0.0/0",
                     GatewayId=igw["InternetGatewayId"])
    # probefleet gives each instance an Elastic IP once its status checks
    # pass; the start-up script runs at boot, before that, so the bucket is
    # reached through a gateway endpoint rather than the internet.
    ec2.create_vpc_endpoint(VpcId=net.vpc_id, VpcEndpointType="Gateway",
                            ServiceName=f"com.amazonaws.{region}.s3",
                            RouteTableIds=[table["RouteTableId"]],
                            TagSpecifications=spec("vpc-endpoint", run_id, run_id))
    for i, zone in enumerate(zones):
        test = ec2.create_subnet(
            VpcId=net.vpc_id, CidrBlock=f"10.77.{i + 1}.0/24", AvailabilityZone=zone,
            TagSpecifications=spec("subnet", run_id, f"{run_id}-test-{zone}"))["Subnet"]["SubnetId"]
        ec2.associate_route_table(RouteTableId=table["RouteTableId"], SubnetId=test)
        cidr = f"10.77.{i + 101}.0/24"
        private = ec2.create_subnet(
            VpcId=net.vpc_id, CidrBlock=cidr, AvailabilityZone=zone,
            TagSpecifications=spec("subnet", run_id, f"{run_id}-private-{zone}"))["Subnet"]["SubnetId"]
        net.test_subnets.append(test)
        net.private_subnets.append(private)
        net.private_cidrs.append(cidr)
        net.gateways.append(f"10.77.{i + 1}.1")
    return net


def make_bucket(s3, region: str, run_id: str) -> str:
    name = BUCKET_PREFIX + run_id
    where = {} if region == "us-east-1" else {
        "CreateBucketConfiguration": {"LocationConstraint": region}}
    s3.create_bucket(Bucket=name, **where)
    s3.put_public_access_block(Bucket=name, PublicAccessBlockConfiguration={
        "BlockPublicAcls": True, "IgnorePublicAcls": True, "BlockPublicPolicy": True,
        "RestrictPublicBuckets": True})
    s3.put_bucket_encryption(Bucket=name, ServerSideEncryptionConfiguration={"Rules": [
        {"ApplyServerSideEncryptionByDefault": {"SSEAlgorithm": "AES256"}}]})
    s3.put_bucket_tagging(Bucket=name, Tagging={"TagSet": run_tags(run_id)})
    return name


def make_guard_role(iam, run_id: str, trusted: list[str], actions: list[str]) -> str:
    """A role the caller may assume, allowed `actions` and denied
    ec2:CreateTags outside a create request: a standalone CreateTags has no
    ec2:CreateAction, tags given inside RunInstances, CreateSecurityGroup
    and the like have it. Returns the role's ARN."""
    name = GUARD_ROLE_PREFIX + run_id
    trust = {"Version": "2012-10-17", "Statement": [
        {"Effect": "Allow", "Principal": {"AWS": sorted(set(trusted))}, "Action": "sts:AssumeRole"}]}
    policy = {"Version": "2012-10-17", "Statement": [
        {"Sid": "Programs", "Effect": "Allow", "Action": sorted(set(actions)), "Resource": "*"},
        {"Sid": "TagsOnlyInCreateRequests", "Effect": "Deny", "Action": "ec2:CreateTags",
         "Resource": "*", "Condition": {"Null": {"ec2:CreateAction": "true"}}}]}
    arn = iam.create_role(RoleName=name, AssumeRolePolicyDocument=json.dumps(trust),
                          Tags=run_tags(run_id))["Role"]["Arn"]
    iam.put_role_policy(RoleName=name, PolicyName="probefleet-acceptance-guard",
                        PolicyDocument=json.dumps(policy))
    return arn


def assume(sts, role_arn: str, patience_s: float) -> dict:
    """Credentials of the role, waiting out IAM's propagation of a new role."""
    deadline = time.monotonic() + patience_s
    while True:
        try:
            creds = sts.assume_role(RoleArn=role_arn, RoleSessionName="probefleet-acceptance",
                                    DurationSeconds=3600)["Credentials"]
            return {"aws_access_key_id": creds["AccessKeyId"],
                    "aws_secret_access_key": creds["SecretAccessKey"],
                    "aws_session_token": creds["SessionToken"]}
        except ClientError as error:
            if error.response["Error"]["Code"] != "AccessDenied" or time.monotonic() > deadline:
                raise
            time.sleep(5)


# How long a deletion waits for what AWS removes after answering (the
# interfaces of terminated instances, an endpoint's routes).
PATIENCE_S = 300


def _quietly(what: str, call, left: list[str], *args, **kwargs) -> None:
    deadline = time.monotonic() + PATIENCE_S
    while True:
        try:
            call(*args, **kwargs)
            return
        except ClientError as error:
            code = error.response["Error"]["Code"]
            if code == "DependencyViolation" and time.monotonic() < deadline:
                time.sleep(10)
                continue
            if not code.endswith("NotFound") and code not in ("NoSuchEntity", "NoSuchBucket"):
                left.append(f"{what}: {code} {error.response['Error'].get('Message', '')}")
            return


def find_vpcs(ec2, run_id: str) -> list[str]:
    return [v["VpcId"] for v in ec2.describe_vpcs(
        Filters=[{"Name": f"tag:{TAG_KEY}", "Values": [run_id]}])["Vpcs"]]


def find_buckets(s3, run_id: str) -> list[str]:
    return [b["Name"] for b in s3.list_buckets()["Buckets"] if b["Name"] == BUCKET_PREFIX + run_id]


def remove_vpc_contents(ec2, vpc_id: str, run_id: str, left: list[str]) -> None:
    """What the programs may have left in the VPC, removed with plain calls:
    the last resort after probefleet-sweep."""
    in_vpc = [{"Name": "vpc-id", "Values": [vpc_id]}]
    instances = [i["InstanceId"] for r in ec2.describe_instances(Filters=in_vpc + [
        {"Name": "instance-state-name", "Values": ["pending", "running", "stopping", "stopped",
                                                   "shutting-down"]}])["Reservations"]
                 for i in r["Instances"]]
    if instances:
        ec2.terminate_instances(InstanceIds=instances)
        ec2.get_waiter("instance_terminated").wait(InstanceIds=instances)
    for address in ec2.describe_addresses(Filters=[
            {"Name": f"tag:{TAG_KEY}", "Values": [run_id]}])["Addresses"]:
        if "AssociationId" in address:
            _quietly(address["AllocationId"], ec2.disassociate_address, left,
                     AssociationId=address["AssociationId"])
        _quietly(address["AllocationId"], ec2.release_address, left,
                 AllocationId=address["AllocationId"])
    for eni in ec2.describe_network_interfaces(Filters=in_vpc)["NetworkInterfaces"]:
        attachment = eni.get("Attachment")
        if attachment and attachment.get("DeviceIndex", 0) != 0:
            _quietly(eni["NetworkInterfaceId"], ec2.detach_network_interface, left,
                     AttachmentId=attachment["AttachmentId"], Force=True)
            time.sleep(5)
        _quietly(eni["NetworkInterfaceId"], ec2.delete_network_interface, left,
                 NetworkInterfaceId=eni["NetworkInterfaceId"])
    for group in ec2.describe_security_groups(Filters=in_vpc)["SecurityGroups"]:
        if group["GroupName"] != "default":
            _quietly(group["GroupId"], ec2.delete_security_group, left, GroupId=group["GroupId"])
    _quietly("key pair", ec2.delete_key_pair, left, KeyName=f"corvanta-test-ec2-key-pair-{vpc_id}")


def remove_network(ec2, vpc_id: str, left: list[str]) -> None:
    in_vpc = [{"Name": "vpc-id", "Values": [vpc_id]}]
    endpoints = [e["VpcEndpointId"] for e in ec2.describe_vpc_endpoints(Filters=in_vpc)["VpcEndpoints"]
                 if e["State"].lower() not in ("deleted", "deleting")]
    if endpoints:
        _quietly("endpoints", ec2.delete_vpc_endpoints, left, VpcEndpointIds=endpoints)
    for table in ec2.describe_route_tables(Filters=in_vpc)["RouteTables"]:
        if any(a.get("Main") for a in table.get("Associations", [])):
            continue
        for association in table.get("Associations", []):
            _quietly(table["RouteTableId"], ec2.disassociate_route_table, left,
                     AssociationId=association["RouteTableAssociationId"])
        _quietly(table["RouteTableId"], ec2.delete_route_table, left,
                 RouteTableId=table["RouteTableId"])
    for igw in ec2.describe_internet_gateways(Filters=[
            {"Name": "attachment.vpc-id", "Values": [vpc_id]}])["InternetGateways"]:
        _quietly(igw["InternetGatewayId"], ec2.detach_internet_gateway, left,
                 InternetGatewayId=igw["InternetGatewayId"], VpcId=vpc_id)
        _quietly(igw["InternetGatewayId"], ec2.delete_internet_gateway, left,
                 InternetGatewayId=igw["InternetGatewayId"])
    for subnet in ec2.describe_subnets(Filters=in_vpc)["Subnets"]:
        _quietly(subnet["SubnetId"], ec2.delete_subnet, left, SubnetId=subnet["SubnetId"])
    _quietly(vpc_id, ec2.delete_vpc, left, VpcId=vpc_id)


def remove_bucket(s3, name: str, left: list[str]) -> None:
    paginator = s3.get_paginator("list_objects_v2")
    for page in paginator.paginate(Bucket=name):
        keys = [{"Key": o["Key"]} for o in page.get("Contents", [])]
        if keys:
            answer = s3.delete_objects(Bucket=name, Delete={"Objects": keys, "Quiet": True})
            left.extend(f"s3://{name}/{e['Key']}: {e['Code']}" for e in answer.get("Errors", []))
    _quietly(name, s3.delete_bucket, left, Bucket=name)


def remove_guard_role(iam, run_id: str, left: list[str]) -> None:
    name = GUARD_ROLE_PREFIX + run_id
    try:
        policies = iam.list_role_policies(RoleName=name)["PolicyNames"]
    except ClientError as error:
        if error.response["Error"]["Code"] != "NoSuchEntity":
            left.append(f"{name}: {error.response['Error']['Code']}")
        return
    for policy in policies:
        _quietly(f"{name}/{policy}", iam.delete_role_policy, left, RoleName=name, PolicyName=policy)
    _quietly(name, iam.delete_role, left, RoleName=name)
