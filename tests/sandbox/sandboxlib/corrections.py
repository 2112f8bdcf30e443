"""Corrections of moto where it departs from AWS.

Each correction restores a documented AWS behaviour that moto 5.2 does not
have, and each is pinned by a boto3 test (test_corrections.py) that states
that behaviour. Nothing here bends moto towards what some client happens to
expect.

The patches are installed once, at start-up, on moto's classes; they survive
moto's reset of its backends.
"""

from __future__ import annotations

import base64
import binascii
import hashlib
import re
import threading
from xml.dom import minidom

from cryptography.hazmat.primitives import serialization

_installed = False
_s3_page_cap: int | None = None

# S3 never returns more than this many keys in one ListObjectsV2 page,
# whatever MaxKeys asks for.
S3_MAX_PAGE = 1000


def set_s3_page_cap(cap: int | None) -> None:
    """Make ListObjectsV2 pages hold at most `cap` keys (None: no cap below
    S3's own 1000), so that paging can be exercised with few objects."""
    global _s3_page_cap
    _s3_page_cap = cap


def s3_page_cap() -> int | None:
    return _s3_page_cap


# Key pair fingerprints -------------------------------------------------------

def _colon_hex(digest: bytes) -> str:
    return ":".join(f"{byte:02x}" for byte in digest)


def created_rsa_fingerprint(private_pem: bytes) -> str:
    """AWS: for an RSA key pair that EC2 created, KeyFingerprint is the SHA-1
    digest of the private key in unencrypted PKCS#8 DER, in colon-separated
    lower-case hex (what `openssl pkcs8 -topk8 -nocrypt -outform DER | openssl
    sha1 -c` prints)."""
    key = serialization.load_pem_private_key(private_pem, password=None)
    der = key.private_bytes(serialization.Encoding.DER, serialization.PrivateFormat.PKCS8,
                            serialization.NoEncryption())
    return _colon_hex(hashlib.sha1(der).digest())


def ed25519_fingerprint(public_key) -> str:
    """AWS: for an ED25519 key pair (created or imported), KeyFingerprint is
    the base64-encoded SHA-256 digest of the OpenSSH public key blob, the
    value `ssh-keygen -l` prints after "SHA256:" (EC2 keeps base64's "="
    padding)."""
    openssh = public_key.public_bytes(serialization.Encoding.OpenSSH, serialization.PublicFormat.OpenSSH)
    blob = base64.b64decode(openssh.split()[1])
    return base64.b64encode(hashlib.sha256(blob).digest()).decode("ascii")


def _patch_key_pairs() -> None:
    from moto.ec2.models.key_pairs import KeyPairBackend
    from moto.ec2.utils import public_key_parse

    original_create = KeyPairBackend.create_key_pair
    original_import = KeyPairBackend.import_key_pair

    # moto digests the public key for every created key pair (SHA-1 for RSA,
    # SHA-256 in hex for ED25519).
    def create_key_pair(self, name, key_type, tags):
        keypair = original_create(self, name, key_type, tags)
        if keypair.key_type == "ed25519":
            keypair.key_fingerprint = ed25519_fingerprint(public_key_parse(keypair.material_public))
        else:
            keypair.key_fingerprint = created_rsa_fingerprint(keypair.material)
        return keypair

    # Imported RSA keys keep moto's MD5 of the public key, which is what AWS
    # gives them; imported ED25519 keys get the SHA-256 base64 form.
    def import_key_pair(self, key_name, public_key_material, tags):
        keypair = original_import(self, key_name, public_key_material, tags)
        if keypair.key_type == "ed25519":
            keypair.key_fingerprint = ed25519_fingerprint(public_key_parse(public_key_material))
        return keypair

    KeyPairBackend.create_key_pair = create_key_pair
    KeyPairBackend.import_key_pair = import_key_pair


# Elastic IPs -----------------------------------------------------------------

def _eip_instance(address):
    """The instance an address is associated with, directly or through one of
    the instance's network interfaces."""
    if address.instance is not None:
        return address.instance
    if address.eni is not None and address.eni.instance is not None:
        return address.eni.instance
    return None


def _patch_elastic_ips() -> None:
    from moto.ec2.exceptions import EC2ClientError
    from moto.ec2.models.elastic_ip_addresses import ElasticAddress, ElasticAddressBackend

    # AWS: an address associated with an instance's network interface is
    # associated with that instance: DescribeAddresses reports its InstanceId
    # and the instance-id filter finds it. moto only knows an instance when
    # AssociateAddress named one.
    original_filter = ElasticAddress.get_filter_value

    def get_filter_value(self, filter_name, method_name=None):
        if filter_name == "instance-id":
            instance = _eip_instance(self)
            return instance.id if instance is not None else None
        return original_filter(self, filter_name, method_name)

    # An address that is not associated has no InstanceId and no
    # NetworkInterfaceId at all (moto writes empty ones).
    def instance_id(self):
        instance = _eip_instance(self)
        return instance.id if instance is not None else None

    def network_interface_id(self):
        return self.eni.id if self.eni is not None else None

    ElasticAddress.get_filter_value = get_filter_value
    ElasticAddress.instance_id = property(instance_id)
    ElasticAddress.network_interface_id = property(network_interface_id)

    # AWS: in a VPC other than the default one, an associated address must be
    # disassociated before it can be released; ReleaseAddress otherwise fails
    # with InvalidIPAddress.InUse. moto disassociates silently.
    original_release = ElasticAddressBackend.release_address

    def release_address(self, address=None, allocation_id=None):
        if address:
            found = self.address_by_ip([address])
        elif allocation_id:
            found = self.address_by_allocation([allocation_id])
        else:
            found = []
        for eip in found:
            if eip.eni is None and eip.instance is None:
                continue
            vpc_id = eip.eni.subnet.vpc_id if eip.eni is not None else eip.instance.vpc_id
            vpc = self.vpcs.get(vpc_id) if hasattr(self, "vpcs") else None
            if vpc is None or not vpc.is_default:
                raise EC2ClientError("InvalidIPAddress.InUse",
                                     f"Address {eip.public_ip} ({eip.allocation_id}) is in use.")
        return original_release(self, address=address, allocation_id=allocation_id)

    ElasticAddressBackend.release_address = release_address


# Security groups ---------------------------------------------------------------

def _group_users(backend, group) -> list[str]:
    """Ids of the network interfaces and live instances that use a group."""
    users = []
    for eni in list(backend.enis.values()):
        if group in list(eni.group_set):
            users.append(eni.id)
    for instance in backend.all_instances():
        if instance.state != "terminated" and group in list(instance.security_groups):
            users.append(instance.id)
    return users


def _patch_security_groups() -> None:
    from moto.ec2.exceptions import DependencyViolationError
    from moto.ec2.models.security_groups import SecurityGroupBackend

    # AWS: a security group that a network interface or an instance still
    # uses cannot be deleted: DeleteSecurityGroup fails with
    # DependencyViolation ("resource sg-... has a dependent object").
    original_delete = SecurityGroupBackend.delete_security_group

    def delete_security_group(self, name=None, group_id=None):
        group = None
        if group_id:
            group = self.get_security_group_from_id(group_id)
        elif name:
            group = self.get_security_group_by_name_or_id(name)
        if group is not None and _group_users(self, group):
            raise DependencyViolationError(f"resource {group.id} has a dependent object")
        return original_delete(self, name=name, group_id=group_id)

    SecurityGroupBackend.delete_security_group = delete_security_group


# Network interfaces and instance termination ---------------------------------

def _patch_network_interfaces() -> None:
    from moto.ec2.exceptions import EC2ClientError, InvalidNetworkInterfaceIdError, LastEniDetachError
    from moto.ec2.models.elastic_network_interfaces import NetworkInterfaceBackend
    from moto.ec2.models.subnets import Subnet

    # AWS: an interface created without an address gets a free address of its
    # subnet, never one another interface holds and never one of the five
    # addresses AWS reserves (network, .1 to .3, broadcast). moto draws a
    # random address from the whole block.
    original_create = NetworkInterfaceBackend.create_network_interface

    def create_network_interface(self, subnet, private_ip_address, private_ip_addresses=None,
                                 group_ids=None, description=None, tags=None,
                                 delete_on_termination=False, **kwargs):
        subnet_obj = self.get_subnet(subnet) if isinstance(subnet, str) else subnet
        allocated = None
        if not private_ip_address and not private_ip_addresses and isinstance(subnet_obj, Subnet):
            try:
                allocated = subnet_obj.get_available_subnet_ip(instance=None)
            except StopIteration:
                raise EC2ClientError("InsufficientFreeAddressesInSubnet",
                                     f"There are not enough free addresses in subnet '{subnet_obj.id}'.") from None
            private_ip_address = allocated
        try:
            return original_create(self, subnet, private_ip_address, private_ip_addresses,
                                   group_ids=group_ids, description=description, tags=tags,
                                   delete_on_termination=delete_on_termination, **kwargs)
        except Exception:
            if allocated:
                subnet_obj.del_subnet_ip(allocated)
            raise

    # AWS: an interface that is attached cannot be deleted
    # (InvalidNetworkInterface.InUse).
    original_delete = NetworkInterfaceBackend.delete_network_interface

    def delete_network_interface(self, eni_id):
        eni = self.enis.get(eni_id)
        if eni is None:
            raise InvalidNetworkInterfaceIdError(eni_id)
        if eni.instance is not None:
            raise EC2ClientError("InvalidNetworkInterface.InUse", f"Interface: [{eni_id}] in use.")
        return original_delete(self, eni_id)

    # AWS: an interface in use cannot be attached again, and a device index
    # holds one interface.
    original_attach = NetworkInterfaceBackend.attach_network_interface

    def attach_network_interface(self, eni_id, instance_id, device_index):
        eni = self.get_network_interface(eni_id)
        instance = self.get_instance(instance_id)
        if eni.instance is not None:
            raise EC2ClientError("InvalidNetworkInterface.InUse", f"Interface: [{eni_id}] in use.")
        # AWS: an interface and the instance it is attached to are in one
        # Availability Zone. moto attaches across zones.
        if eni.subnet.availability_zone != instance._placement.zone:
            raise EC2ClientError(
                "InvalidParameterCombination",
                "You may not attach a network interface to an instance if they are not in the same "
                "availability zone")
        if int(device_index) in instance.nics:
            raise EC2ClientError(
                "InvalidParameterValue",
                f"Instance '{instance_id}' already has an interface attached at device index '{int(device_index)}'.")
        return original_attach(self, eni_id, instance_id, device_index)

    # AWS: the primary interface (device index 0) can never be detached;
    # moto refuses only when it is the instance's last interface.
    original_detach = NetworkInterfaceBackend.detach_network_interface

    def detach_network_interface(self, attachment_id):
        for eni in list(self.enis.values()):
            if eni.attachment_id == attachment_id and eni.device_index == 0:
                raise LastEniDetachError()
        return original_detach(self, attachment_id)

    NetworkInterfaceBackend.create_network_interface = create_network_interface
    NetworkInterfaceBackend.delete_network_interface = delete_network_interface
    NetworkInterfaceBackend.attach_network_interface = attach_network_interface
    NetworkInterfaceBackend.detach_network_interface = detach_network_interface


def _patch_instances() -> None:
    from moto.ec2.models.instances import Instance

    # AWS: the interfaces RunInstances creates are deleted when the instance
    # terminates (DeleteOnTermination true) unless the request said
    # otherwise. moto leaves them behind, attached to the terminated instance.
    original_prep_nics = Instance.prep_nics

    def prep_nics(self, nic_requests, *args, **kwargs):
        before = set(self.ec2_backend.enis)
        original_prep_nics(self, nic_requests, *args, **kwargs)
        explicit = {int(request.get("DeviceIndex", 0)) for request in nic_requests or [] if "DeleteOnTermination" in request}
        for index, nic in self.nics.items():
            if nic.id not in before and index not in explicit:
                nic.delete_on_termination = True

    # AWS: termination disassociates the instance's Elastic IPs, deletes the
    # interfaces marked DeleteOnTermination and detaches the others, which
    # become "available"; the terminated instance keeps no interface.
    original_terminate = Instance.terminate

    def terminate(self):
        if self._state.name != "terminated":
            backend = self.ec2_backend
            nics = list(self.nics.values())
            for eip in list(backend.addresses):
                if eip.instance is self or (eip.eni is not None and eip.eni in nics):
                    backend.disassociate_address(address=eip.public_ip)
            for nic in nics:
                nic.stop()
                nic.public_ip = None
                self.detach_eni(nic)
                if nic.delete_on_termination:
                    nic.delete()
        return original_terminate(self)

    def _primary(self):
        return self.nics.get(0)

    def private_ip(self):
        nic = _primary(self)
        return nic.private_ip_address if nic is not None else None

    def public_ip(self):
        nic = _primary(self)
        return nic.public_ip if nic is not None else None

    original_dns = Instance.private_dns_name

    def private_dns_name(self):
        return original_dns.fget(self) if _primary(self) is not None else ""

    Instance.prep_nics = prep_nics
    Instance.terminate = terminate
    Instance.private_ip = property(private_ip)
    Instance.private_ip_address = property(private_ip)
    Instance.public_ip = property(public_ip)
    Instance.public_ip_address = property(public_ip)
    Instance.private_dns_name = property(private_dns_name)
    original_public_dns = Instance.public_dns_name
    Instance.public_dns_name = property(
        lambda self: original_public_dns.fget(self) if _primary(self) is not None else "")


# Launches ----------------------------------------------------------------------

def _launch_groups(backend, security_group_names, kwargs) -> list:
    groups = [backend.get_security_group_by_name_or_id(name) for name in security_group_names or []]
    groups += [backend.get_security_group_from_id(g) if isinstance(g, str) else g
               for g in kwargs.get("security_group_ids") or []]
    return [group for group in groups if group is not None]


def _check_launch_networks(backend, security_group_names, kwargs) -> None:
    """AWS: the security groups of a launch belong to the VPC of the subnet
    they are used in; otherwise RunInstances fails with InvalidParameter."""
    from moto.ec2.exceptions import EC2ClientError

    pairs = []  # (subnet id, [group ids])
    groups = [group.id for group in _launch_groups(backend, security_group_names, kwargs)]
    if kwargs.get("subnet_id"):
        pairs.append((kwargs["subnet_id"], groups))
    for nic in kwargs.get("nics") or []:
        if nic.get("SubnetId"):
            pairs.append((nic["SubnetId"], list(nic.get("Groups") or []) + groups))
    for subnet_id, group_ids in pairs:
        subnet = backend.get_subnet(subnet_id)
        for group_id in group_ids:
            group = backend.get_security_group_from_id(group_id)
            if group is not None and group.vpc_id and group.vpc_id != subnet.vpc_id:
                raise EC2ClientError(
                    "InvalidParameter",
                    f"Security group {group.id} and subnet {subnet.id} belong to different networks.")


def _patch_launches() -> None:
    from moto.ec2.models.instances import InstanceBackend

    # AWS refuses a launch whose groups and subnet lie in different VPCs
    # (moto launches it), and applies the tags given for "network-interface"
    # in TagSpecifications to every interface the launch creates (moto
    # drops them).
    original_run = InstanceBackend.run_instances

    def run_instances(self, image_id, count, user_data, security_group_names, **kwargs):
        _check_launch_networks(self, security_group_names, kwargs)
        interface_tags = dict((kwargs.get("tags") or {}).get("network-interface") or {})
        before = set(self.enis)
        reservation = original_run(self, image_id, count, user_data, security_group_names, **kwargs)
        if interface_tags:
            for eni_id, eni in list(self.enis.items()):
                if eni_id not in before:
                    eni.add_tags(interface_tags)
        return reservation

    InstanceBackend.run_instances = run_instances


# Account attributes -----------------------------------------------------------

# The Elastic IP quota DescribeAccountAttributes reports when the guarded
# profile sets one (None: moto's figure).
_address_quota: int | None = None


def set_address_quota(quota: int | None) -> None:
    global _address_quota
    _address_quota = quota


def _patch_account_attributes() -> None:
    from moto.core.responses import ActionResult
    from moto.ec2.responses.account_attributes import AccountAttributes

    # AWS answers only the attributes AttributeName.N asks for (moto: all of
    # them), and reports the account's Elastic IP quota.
    original = AccountAttributes.describe_account_attributes

    def describe_account_attributes(self):
        answer = original(self)
        names = self._get_param("AttributeNames", [])
        attributes = answer.result["AccountAttributes"]
        if names:
            attributes = [a for a in attributes if a["AttributeName"] in names]
        if _address_quota is not None:
            for attribute in attributes:
                if attribute["AttributeName"] in ("max-elastic-ips", "vpc-max-elastic-ips"):
                    attribute["AttributeValues"] = [{"AttributeValue": str(_address_quota)}]
        return ActionResult({"AccountAttributes": attributes})

    AccountAttributes.describe_account_attributes = describe_account_attributes


# Instance profiles at launch -----------------------------------------------

def _patch_launch_profiles() -> None:
    from moto.ec2.exceptions import EC2ClientError
    from moto.ec2.responses import instances as responses
    from moto.iam.exceptions import NotFoundException

    # AWS: RunInstances naming an instance profile it cannot use (unknown,
    # or too fresh to have propagated) fails with InvalidParameterValue
    # ("Value (name) for parameter iamInstanceProfile.name is invalid..."),
    # which is why launchers retry on that code. moto answers with IAM's
    # NoSuchEntity (404).
    original_filter = responses.filter_iam_instance_profiles

    def filter_iam_instance_profiles(account_id, partition, iam_instance_profile_arn, iam_instance_profile_name):
        try:
            return original_filter(account_id, partition, iam_instance_profile_arn, iam_instance_profile_name)
        except NotFoundException:
            if iam_instance_profile_arn:
                raise EC2ClientError(
                    "InvalidParameterValue",
                    f"Value ({iam_instance_profile_arn}) for parameter iamInstanceProfile.arn is invalid. "
                    "Invalid IAM Instance Profile ARN")
            raise EC2ClientError(
                "InvalidParameterValue",
                f"Value ({iam_instance_profile_name}) for parameter iamInstanceProfile.name is invalid. "
                "Invalid IAM Instance Profile name")

    responses.filter_iam_instance_profiles = filter_iam_instance_profiles


# Idempotent launches -----------------------------------------------------------

# (account, region, action, token) -> (the request's other parameters, what
# the first request answered); emptied by the sandbox's reset.
_client_tokens: dict = {}
_client_tokens_lock = threading.Lock()

# Parameters that do not make two requests different: the token itself and
# what the protocol or the signature adds.
_NOT_IDEMPOTENCY_PARAMS = {"Action", "Version", "ClientToken", "DryRun"}

IDEMPOTENT_MISMATCH = ("IdempotentParameterMismatch",
                       "Arguments on this idempotent request are inconsistent with arguments used in "
                       "previous request(s).")


def clear_client_tokens() -> None:
    with _client_tokens_lock:
        _client_tokens.clear()


def client_token_known(region: str, action: str, token: str | None) -> bool:
    """Whether a request with this token would only repeat an earlier
    answer (and so launch nothing)."""
    if not token:
        return False
    with _client_tokens_lock:
        return any(key[1:] == (region, action, token) for key in _client_tokens)


def _idempotent(action: str, original):
    from moto.core.responses import ActionResult
    from moto.ec2.exceptions import EC2ClientError

    # AWS: a request repeated with a ClientToken already used answers what the
    # first one answered and creates nothing; the same token with other
    # parameters is IdempotentParameterMismatch. botocore sends a fresh token
    # with every call and the same token on each retry, so a retry after a
    # lost answer must not launch a second time. moto launches again.
    def handler(self):
        token = self._get_param("ClientToken")
        if not token:
            return original(self)
        key = (self.current_account, self.region, action, token)
        params = sorted((name, tuple(values)) for name, values in self.querystring.items()
                        if name not in _NOT_IDEMPOTENCY_PARAMS and not name.startswith("X-Amz-"))
        with _client_tokens_lock:
            known = _client_tokens.get(key)
        if known is not None:
            if known[0] != params:
                raise EC2ClientError(*IDEMPOTENT_MISMATCH)
            return ActionResult(known[1])
        answer = original(self)
        if isinstance(answer, ActionResult):
            with _client_tokens_lock:
                _client_tokens[key] = (params, answer.result)
        return answer

    return handler


def _patch_client_tokens() -> None:
    from moto.ec2.responses.elastic_network_interfaces import ElasticNetworkInterfaces
    from moto.ec2.responses.instances import InstanceResponse

    InstanceResponse.run_instances = _idempotent("RunInstances", InstanceResponse.run_instances)
    ElasticNetworkInterfaces.create_network_interface = _idempotent(
        "CreateNetworkInterface", ElasticNetworkInterfaces.create_network_interface)


# IAM -------------------------------------------------------------------------

def _patch_iam() -> None:
    from moto.iam.exceptions import DeleteConflictException, NotFoundException
    from moto.iam.models import IAMBackend

    # AWS: a managed policy still attached to a user, group or role cannot be
    # deleted (DeleteConflict, 409). moto deletes it.
    original_delete_policy = IAMBackend.delete_policy

    def delete_policy(self, policy_arn):
        policy = self.get_policy(policy_arn)
        if policy.attachment_count > 0:
            raise DeleteConflictException("Cannot delete a policy attached to entities.")
        return original_delete_policy(self, policy_arn)

    # AWS: removing a role that the instance profile does not hold fails with
    # NoSuchEntity (404). moto fails with an internal error.
    original_remove = IAMBackend.remove_role_from_instance_profile

    def remove_role_from_instance_profile(self, profile_name, role_name):
        profile = self.get_instance_profile(profile_name)
        role = self.get_role(role_name)
        if role not in profile.roles:
            raise NotFoundException(f"Role {role_name} is not in instance profile {profile_name}.")
        return original_remove(self, profile_name, role_name)

    # AWS: ListInstanceProfilesForRole of a role that does not exist fails
    # with NoSuchEntity (404). moto answers an empty list.
    original_profiles_for_role = IAMBackend.get_instance_profiles_for_role

    def get_instance_profiles_for_role(self, role_name):
        self.get_role(role_name)
        return original_profiles_for_role(self, role_name)

    IAMBackend.delete_policy = delete_policy
    IAMBackend.remove_role_from_instance_profile = remove_role_from_instance_profile
    IAMBackend.get_instance_profiles_for_role = get_instance_profiles_for_role


# STS -----------------------------------------------------------------------

_ROLE_ARN = re.compile(r"^arn:(aws[\w-]*):iam::(\d{12}):role/(?:.*/)?([\w+=,.@-]+)$")

# The access key id of the request this thread is answering, so that an
# error message can name the caller as AWS's do.
request_context = threading.local()


def partition_of(region: str | None) -> str:
    """The partition a region belongs to (aws, aws-us-gov, aws-cn, ...)."""
    from moto.utilities.utils import get_partition

    return get_partition(region or "us-east-1")


def caller_arn(account: str, partition: str = "aws", key_id: str | None = None) -> str:
    """The ARN of the user or assumed role that signed with `key_id` (by
    default the key of the request this thread answers)."""
    from moto.iam.models import iam_backends
    from moto.sts.models import sts_backends

    key_id = key_id or getattr(request_context, "access_key_id", None)
    if key_id:
        for user in list(iam_backends[account][partition].users.values()):
            if any(key.access_key_id == key_id for key in user.access_keys):
                return user.arn
        for assumed in list(sts_backends[account][partition].assumed_roles):
            if assumed.access_key_id == key_id:
                return assumed.arn
    return f"arn:{partition}:iam::{account}:user/unknown"


def _patch_sts() -> None:
    from moto.core.exceptions import AccessDeniedError
    from moto.iam.models import iam_backends
    from moto.sts.models import STSBackend

    # AWS: AssumeRole of a role that does not exist is refused with
    # AccessDenied (HTTP 403: the caller is not authorized to perform
    # sts:AssumeRole on that resource). moto hands out credentials for any
    # ARN. A role ARN of another partition names no role this partition
    # holds, so it is refused the same way.
    original_assume = STSBackend.assume_role

    def assume_role(self, region_name, role_session_name, role_arn, policy, duration, external_id):
        partition = self.partition
        match = _ROLE_ARN.match(role_arn or "")
        exists = False
        if match and match.group(1) == partition:
            account, name = match.group(2), match.group(3)
            exists = any(role.name == name for role in iam_backends[account][partition].roles.values())
        if not exists:
            raise AccessDeniedError(user_arn=caller_arn(self.account_id, partition),
                                    action=f"sts:AssumeRole on resource: {role_arn}")
        return original_assume(self, region_name, role_session_name, role_arn, policy, duration, external_id)

    STSBackend.assume_role = assume_role


# Checks on the request itself ------------------------------------------------

_TAG_SPEC_KEY = re.compile(r"^TagSpecifications?\.(\d+)\.Tags?\.(\d+)\.Key$")
_CREATE_TAGS_KEY = re.compile(r"^Tags?\.(\d+)\.Key$")
_ARN_PARTITION = re.compile(r"^arn:([^:]*):")

# IAM parameters that hold a policy document, and those that hold an ARN.
_POLICY_DOCUMENTS = ("PolicyDocument", "AssumeRolePolicyDocument")
_ARN_PARAMS = ("PolicyArn", "PermissionsBoundary")


def _ec2_tag_refusal(action: str, params: dict):
    """AWS: a tag key appears once in a request's tags for one resource, and
    keys beginning with "aws:" are reserved. moto merges repeated keys and
    takes reserved ones."""
    sets: dict[str, list[str]] = {}
    for name, value in params.items():
        match = _TAG_SPEC_KEY.match(name)
        if match:
            sets.setdefault(match.group(1), []).append((int(match.group(2)), value))
        elif action == "CreateTags":
            match = _CREATE_TAGS_KEY.match(name)
            if match:
                sets.setdefault("", []).append((int(match.group(1)), value))
    for keys in sets.values():
        seen = set()
        for _, key in sorted(keys):
            if key.lower().startswith("aws:"):
                return (400, "InvalidParameterValue",
                        f"Value ( {key} ) for parameter key is invalid. "
                        "Tag keys starting with 'aws:' are reserved for internal use")
            if key in seen:
                return 400, "InvalidParameterValue", f"Duplicate tag key '{key}' specified."
            seen.add(key)
    return None


def _policy_resources(document: str) -> list[str]:
    import json

    try:
        policy = json.loads(document)
    except ValueError:
        return []  # moto answers a document that is not JSON itself
    statements = policy.get("Statement", []) if isinstance(policy, dict) else []
    if isinstance(statements, dict):
        statements = [statements]
    found = []
    for statement in statements:
        if not isinstance(statement, dict):
            continue
        for member in ("Resource", "NotResource"):
            value = statement.get(member, [])
            found += [value] if isinstance(value, str) else [v for v in value if isinstance(v, str)]
    return found


def _iam_partition_refusal(params: dict, partition: str):
    """AWS: IAM takes ARNs of its own partition only. A policy document
    naming a resource of another partition is MalformedPolicyDocument, an
    ARN parameter of another partition InvalidInput."""
    for name in _POLICY_DOCUMENTS:
        for resource in _policy_resources(params.get(name) or "{}"):
            match = _ARN_PARTITION.match(resource)
            if match and match.group(1) != partition:
                return (400, "MalformedPolicyDocument",
                        f'Partition "{match.group(1)}" is not valid for resource "{resource}".')
    for name in _ARN_PARAMS:
        match = _ARN_PARTITION.match(params.get(name) or "")
        if match and match.group(1) != partition:
            return 400, "InvalidInput", f"ARN {params[name]} is not valid."
    return None


class Refused(Exception):
    """A request refused once moto has authorized it (raised through moto
    to the sandbox's app, which answers it in the service's shape)."""

    def __init__(self, status: int, code: str, message: str, fault: str | None = None) -> None:
        super().__init__(message)
        self.status, self.code, self.message, self.fault = status, code, message, fault


def _patch_authorization() -> None:
    from moto.core.authorization import ActionAuthenticatorMixin

    # AWS authenticates a request and evaluates its policies before it looks
    # at the parameters; the sandbox's own refusals come at that point too,
    # so a caller with bad credentials hears about those first.
    original = ActionAuthenticatorMixin._authenticate_and_authorize_normal_action

    def authorize(self, resource="*"):
        original(self, resource)
        check = getattr(request_context, "after_authorization", None)
        request_context.after_authorization = None  # once a request
        found = check() if check is not None else None
        if found is not None:
            (status, code, message), fault = found
            raise Refused(status, code, message, fault)

    ActionAuthenticatorMixin._authenticate_and_authorize_normal_action = authorize


# RunInstances' InstanceInitiatedShutdownBehavior (botocore's model:
# ShutdownBehavior, "stop" | "terminate"); moto takes any text.
_SHUTDOWN_BEHAVIORS = ("stop", "terminate")


def _ec2_shutdown_refusal(action: str, params: dict):
    value = params.get("InstanceInitiatedShutdownBehavior")
    if action != "RunInstances" or value is None or value in _SHUTDOWN_BEHAVIORS:
        return None
    return (400, "InvalidParameterValue",
            f"Value ({value}) for parameter instanceInitiatedShutdownBehavior is invalid. "
            "Valid values are: stop, terminate")


def refusal(service: str, action: str, params: dict, region: str | None):
    """(status, code, message) when AWS refuses the request on its own
    terms before looking at any resource; None otherwise."""
    if service == "ec2":
        return _ec2_shutdown_refusal(action, params) or _ec2_tag_refusal(action, params)
    if service == "iam":
        return _iam_partition_refusal(params, partition_of(region))
    return None


# Signature checks --------------------------------------------------------------

def _patch_signature_check() -> None:
    from moto.iam.access_control import IAMRequestBase

    # AWS computes the canonical request over the path and query exactly as
    # the client sent them ("prefix=backups%2Fvpc-1%2F"). moto rebuilds them
    # from the decoded URL, so any signed request whose path or query holds
    # an escaped character (an S3 listing by prefix, a key with a space) is
    # refused with SignatureDoesNotMatch. Check against the raw request line.
    original_init = IAMRequestBase.__init__

    def __init__(self, *args, **kwargs):
        original_init(self, *args, **kwargs)
        raw_uri = getattr(request_context, "raw_uri", None)
        if raw_uri:
            self._path = raw_uri

    IAMRequestBase.__init__ = __init__


def _patch_unsigned_sts() -> None:
    from moto.core.authorization import ActionAuthenticatorMixin

    # AWS: AssumeRoleWithWebIdentity and AssumeRoleWithSAML are called
    # without a signature (the token or assertion is the caller's only
    # credential), and the SDKs send them unsigned. moto's access control
    # reads the Authorization header of every request and fails with a
    # KeyError (answered as a 500). A signed call is still checked.
    original = ActionAuthenticatorMixin._authenticate_and_authorize_action

    def authenticate(self, iam_request_cls, resource="*"):
        unsigned = "Authorization" not in self.headers
        if unsigned and self._get_action() in ("AssumeRoleWithWebIdentity", "AssumeRoleWithSAML"):
            return None
        return original(self, iam_request_cls, resource)

    ActionAuthenticatorMixin._authenticate_and_authorize_action = authenticate


# S3 --------------------------------------------------------------------------

def _patch_s3() -> None:
    from moto.s3.models import S3Backend

    # AWS: a ListObjectsV2 page holds at most 1000 keys, whatever MaxKeys
    # asks for; moto honours any MaxKeys. The sandbox's optional page cap
    # goes below that.
    original_list = S3Backend.list_objects_v2

    def list_objects_v2(self, bucket, prefix, delimiter, continuation_token, start_after, max_keys):
        limit = min(max_keys, S3_MAX_PAGE)
        if _s3_page_cap is not None:
            limit = min(limit, _s3_page_cap)
        return original_list(self, bucket, prefix, delimiter, continuation_token, start_after, limit)

    S3Backend.list_objects_v2 = list_objects_v2
    _patch_s3_permission_names()
    _patch_s3_retention_checksums()
    _patch_s3_checksums()
    _patch_s3_conditional_writes()
    _patch_s3_ranges()


def _patch_s3_permission_names() -> None:
    """AWS authorizes a bucket request by the permission its documentation
    names, not by the operation: HeadBucket needs s3:ListBucket,
    Get/PutBucketEncryption s3:Get/PutEncryptionConfiguration and
    Get/PutPublicAccessBlock s3:Get/PutBucketPublicAccessBlock. moto asked
    for s3:HeadBucket and s3:CreateBucket (its map spells the last query
    "public_access_block", which no request carries)."""
    from moto.s3.responses import ACTION_MAP

    bucket = ACTION_MAP["BUCKET"]
    bucket["HEAD"]["DEFAULT"] = "ListBucket"
    bucket["GET"].update({"encryption": "GetEncryptionConfiguration",
                          "publicAccessBlock": "GetBucketPublicAccessBlock"})
    bucket["PUT"].update({"encryption": "PutEncryptionConfiguration",
                          "publicAccessBlock": "PutBucketPublicAccessBlock"})


# S3 answers a byte range by reading that range. moto reads the whole object
# for every GET and slices the range out afterwards, so a client that fetches
# a 1 GiB object in 8 MiB ranges (the AWS CLI does) made the sandbox copy
# 128 GiB. A GET of one plain range ("bytes=A-B", "bytes=A-", "bytes=-N") now
# reads only its bytes; any other GET goes as before.
_SIMPLE_RANGE = re.compile(r"bytes=(\d+)-(\d*)|bytes=-(\d+)")
_ranged_get = threading.local()


class _ObjectBytes:
    """An object's body that is read only where it is sliced."""

    def __init__(self, key) -> None:
        self._key = key
        self._size = key.size

    def __len__(self) -> int:
        return self._size

    def __getitem__(self, piece):
        if not isinstance(piece, slice) or piece.step not in (None, 1):
            return self._key.value[piece]
        start, stop, _ = piece.indices(self._size)
        with self._key.lock:
            self._key._value_buffer.seek(start)
            return self._key._value_buffer.read(max(0, stop - start))


def _patch_s3_ranges() -> None:
    from moto.s3.models import FakeKey
    from moto.s3.responses import S3Response

    whole_value = FakeKey.value

    def value(self):
        if getattr(_ranged_get, "active", False):
            return _ObjectBytes(self)
        return whole_value.fget(self)

    FakeKey.value = property(value, whole_value.fset)
    original_get_object = S3Response.get_object

    def get_object(self):
        match = _SIMPLE_RANGE.fullmatch(self.headers.get("range") or "")
        simple = match is not None and not self._get_int_param("partNumber")
        if simple and match.group(2):
            simple = int(match.group(1)) <= int(match.group(2))
        if simple and match.group(3):
            simple = int(match.group(3)) > 0
        _ranged_get.active = simple
        try:
            return original_get_object(self)
        finally:
            _ranged_get.active = False

    S3Response.get_object = get_object
    original_handle_range = S3Response._handle_range_header

    # A range moto ends up treating as no range at all answers the whole body.
    def _handle_range_header(self, request, response_headers, response_content):
        status, headers, body = original_handle_range(self, request, response_headers,
                                                      response_content)
        return status, headers, body[:] if isinstance(body, _ObjectBytes) else body

    S3Response._handle_range_header = _handle_range_header


# AWS makes a conditional write atomic: of two PUTs with If-None-Match: * on
# one key, or two with If-Match on the same ETag, exactly one succeeds and
# the other answers 412. moto checks the condition and then writes, and the
# sandbox answers requests on many threads, so both can pass the check.
# Conditional writes and deletes are taken one at a time here.
_conditional_writes = threading.Lock()


def _patch_s3_conditional_writes() -> None:
    from moto.s3.responses import S3Response

    original_key_response = S3Response._key_response

    def _key_response(self, request, full_url):
        conditional = request.headers.get("If-Match") or request.headers.get("If-None-Match")
        if request.method in ("PUT", "DELETE") and conditional:
            with _conditional_writes:
                return original_key_response(self, request, full_url)
        return original_key_response(self, request, full_url)

    S3Response._key_response = _key_response


# AWS: a PutObject into a bucket with an Object Lock default retention must
# carry Content-MD5 or a checksum (an x-amz-checksum-* header, or one
# announced as an aws-chunked trailer), else 400 InvalidRequest. moto asks
# for Content-MD5 or x-amz-sdk-checksum-algorithm instead: it refuses a
# checksum sent as a plain header, which S3 accepts, and accepts the
# algorithm named with no checksum at all, which S3 refuses.
_CHECKSUM_HEADERS = ("x-amz-checksum-crc32", "x-amz-checksum-crc32c", "x-amz-checksum-crc64nvme",
                     "x-amz-checksum-sha1", "x-amz-checksum-sha256")
RETENTION_CHECKSUM_MESSAGE = ("Content-MD5 OR x-amz-checksum- HTTP header is required for Put Object "
                              "requests with Object Lock parameters")


def _upload_checksum(headers) -> str | None:
    """The algorithm of the checksum a PUT carries, "MD5", or None."""
    if headers.get("Content-MD5"):
        return "MD5"
    for name in _CHECKSUM_HEADERS:
        if headers.get(name):
            return name[len("x-amz-checksum-"):].upper()
    trailer = (headers.get("x-amz-trailer") or "").strip().lower()
    if trailer in _CHECKSUM_HEADERS:
        return trailer[len("x-amz-checksum-"):].upper()
    return None


def _patch_s3_retention_checksums() -> None:
    from moto.s3.exceptions import S3ClientError
    from moto.s3.responses import S3Response
    from werkzeug.datastructures import Headers

    original_key_response = S3Response._key_response

    def _key_response(self, request, full_url):
        if request.method == "PUT" and not self.querystring.get("uploadId") \
                and "x-amz-copy-source" not in request.headers:
            bucket = self.backend.buckets.get(self.bucket_name)
            if bucket is not None and bucket.object_lock_enabled and bucket.has_default_lock:
                algorithm = _upload_checksum(request.headers)
                if algorithm is None:
                    raise S3ClientError("InvalidRequest", RETENTION_CHECKSUM_MESSAGE)
                if algorithm != "MD5" and not self.headers.get("x-amz-sdk-checksum-algorithm"):
                    # What moto's own check looks for.
                    self.headers = Headers(self.headers)
                    self.headers["x-amz-sdk-checksum-algorithm"] = algorithm
        return original_key_response(self, request, full_url)

    S3Response._key_response = _key_response


def _crc32_base64(data: bytes) -> str:
    return base64.b64encode(binascii.crc32(data).to_bytes(4, "big")).decode("ascii")


def _patch_s3_checksums() -> None:
    from moto.s3.exceptions import S3ClientError
    from moto.s3.responses import S3Response

    # AWS checks a CRC32 sent as an aws-chunked trailer (or as a header)
    # against the bytes it received, and the decoded length against
    # x-amz-decoded-content-length; moto stores whatever came. Only CRC32 is
    # checked here, the algorithm botocore and probefleet send.
    original_key_response = S3Response._key_response

    def _key_response(self, request, full_url):
        if request.method == "PUT":
            _check_upload_checksum(request.headers, self.raw_body, self.body, S3ClientError)
        return original_key_response(self, request, full_url)

    S3Response._key_response = _key_response

    # AWS: once CreateMultipartUpload names a checksum algorithm, the
    # CompleteMultipartUpload request must give every part's checksum, and
    # each must be the one the part was stored with. moto ignores them.
    original_complete_body = S3Response._complete_multipart_body

    def _complete_multipart_body(self, body):
        upload_id = (self.querystring.get("uploadId") or [None])[0]
        bucket = self.backend.get_bucket(self.bucket_name)
        upload = bucket.multiparts.get(upload_id) if upload_id else None
        if upload is not None and (upload.metadata.get("x-amz-checksum-algorithm") or "").upper() == "CRC32":
            for part in minidom.parseString(body).getElementsByTagName("Part"):
                number = int(part.getElementsByTagName("PartNumber")[0].firstChild.wholeText)
                given = part.getElementsByTagName("ChecksumCRC32")
                if not given or given[0].firstChild is None:
                    raise S3ClientError(
                        "InvalidRequest",
                        "The upload was created using a crc32 checksum. The complete request must "
                        f"include the checksum for each part. It was missing for part {number} in the request.")
                stored = upload.parts.get(number)
                if stored is not None and given[0].firstChild.wholeText != _crc32_base64(stored.value):
                    raise S3ClientError(
                        "InvalidPart",
                        "One or more of the specified parts could not be found. The part might not "
                        "have been uploaded, or the specified entity tag might not have matched the "
                        "part's entity tag.")
        return original_complete_body(self, body)

    S3Response._complete_multipart_body = _complete_multipart_body


def _check_upload_checksum(headers, raw_body, body, error_class) -> None:
    content_sha = headers.get("x-amz-content-sha256", "")
    framed = content_sha.startswith("STREAMING-") or "aws-chunked" in headers.get("Content-Encoding", "")
    if framed and headers.get("x-amz-decoded-content-length") is not None:
        if int(headers["x-amz-decoded-content-length"]) != len(body or b""):
            raise error_class("IncompleteBody", "You did not provide the number of bytes specified by "
                                                "the Content-Length HTTP header")
    expected = headers.get("x-amz-checksum-crc32")
    if expected is None and (headers.get("x-amz-trailer") or "").lower() == "x-amz-checksum-crc32":
        match = re.search(rb"\r\n0\r\nx-amz-checksum-crc32:([A-Za-z0-9+/=]+)\r\n\r\n$", raw_body or b"") \
            or re.search(rb"^0\r\nx-amz-checksum-crc32:([A-Za-z0-9+/=]+)\r\n\r\n$", raw_body or b"")
        if match is None:
            raise error_class("MalformedTrailerError", "The request contained trailing data that was not "
                                                       "well-formed or did not conform to our published schema.")
        expected = match.group(1).decode("ascii")
    if expected is not None and expected != _crc32_base64(body or b""):
        raise error_class("BadDigest", "The CRC32 you specified did not match the calculated checksum.")


# Not a correction, a cost: moto's dispatcher asks twice per request whether
# the host names one of its service modules, and lists moto's package folder
# (some 180 stat calls) each time, nearly half of what an S3 request cost the
# sandbox. The folder does not change while the sandbox runs.
def _cache_module_list() -> None:
    import moto.backends as backends

    modules = tuple(backends.list_of_moto_modules())
    backends.list_of_moto_modules = lambda: modules


# Also a cost: moto reads a service's botocore model (EC2's is several
# megabytes of compressed JSON) on the first request of the service and keeps
# it, but does not stop requests that arrive together from each reading it:
# seven first requests at once cost the sandbox 2.3 s of CPU instead of 0.3.
# Here the first one reads it and the others wait for its copy.
def _load_models_once() -> None:
    import moto.core.responses as responses
    import moto.core.utils as utils

    for name in ("get_service_model", "get_pagination_model"):
        load = getattr(utils, name)
        lock = threading.Lock()

        def once(service_name: str, load=load, lock=lock):
            with lock:
                return load(service_name)

        setattr(utils, name, once)
        if hasattr(responses, name):
            setattr(responses, name, once)


def install() -> None:
    global _installed
    if _installed:
        return
    _cache_module_list()
    _load_models_once()
    _patch_key_pairs()
    _patch_elastic_ips()
    _patch_security_groups()
    _patch_network_interfaces()
    _patch_instances()
    _patch_launches()
    _patch_account_attributes()
    _patch_launch_profiles()
    _patch_client_tokens()
    _patch_iam()
    _patch_sts()
    _patch_signature_check()
    _patch_unsigned_sts()
    _patch_authorization()
    _patch_s3()
    _installed = True
