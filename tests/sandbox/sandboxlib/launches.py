"""What EC2 checks before it launches: the account's policy on instance
types, the Allowed AMIs setting, the types each zone offers, the free
addresses of the subnets, the vCPU quota and the capacity of a zone.

Two of these are always on, as they are in every account: a type the zone
does not offer (moto's own offerings data) and a subnet without a free
address. The others are rules of the guarded profile (guard.py holds their
settings; the parsers below read them).

AWS evaluates its policies before anything else and answers a DryRun
request once they allow it; the offerings and addresses are checked for a
dry run too, the quota and the capacity only for a real launch.
"""

from __future__ import annotations

import fnmatch

from .guard import GuardError

# Families of the quota "Running On-Demand Standard (A, C, D, H, I, M, R, T,
# Z) instances" (L-1216C47A): the first letter decides, but for the
# families that have quotas of their own.
_STANDARD_LETTERS = set("acdhimrtz")
_OTHER_BUCKETS = {"inf", "dl", "dlq", "trn", "mac", "hpc", "u"}

VCPU_LIMIT_MESSAGE = ("You have requested more vCPU capacity than your current vCPU limit of {limit} allows for the "
                      "instance bucket that the specified instance type belongs to. Please visit "
                      "http://aws.amazon.com/contact-us/ec2-request to request an adjustment to this limit.")
IMAGE_PROVIDERS_ALIASES = ("amazon", "aws-marketplace", "aws-backup-vault")


# Parsing the rules ---------------------------------------------------------------

def _zones(region: str, account: str) -> dict[str, str]:
    """Zone name and zone id -> zone name, for the Region."""
    from moto.ec2.models import ec2_backends

    names = {}
    for zone in ec2_backends[account][region].describe_availability_zones():
        names[zone.name] = zone.name
        names[zone.zone_id] = zone.name
    return names


def _zone(value, zones: dict[str, str], what: str) -> str:
    if not isinstance(value, str) or value not in zones:
        raise GuardError(f"{what}: {value!r} is not a zone name or zone id of the Region")
    return zones[value]


def _types(value, what: str) -> list[str]:
    from moto.ec2.models.instance_types import INSTANCE_TYPES

    if not isinstance(value, list) or not all(isinstance(t, str) and t for t in value):
        raise GuardError(f"{what} is a list of instance types")
    unknown = [t for t in value if t not in INSTANCE_TYPES]
    if unknown:
        raise GuardError(f"{what}: unknown instance types {unknown}")
    return list(dict.fromkeys(value))


def parse_offerings(value, context: dict) -> dict:
    if value is False or value is None:
        return {}
    if not isinstance(value, dict):
        raise GuardError('offerings is {"ZONE": {"exclude": [types]}} (zone names or ids)')
    zones, found = _zones(context["region"], context["account"]), {}
    for zone, rule in value.items():
        if not isinstance(rule, dict) or set(rule) != {"exclude"}:
            raise GuardError('each zone of offerings is {"exclude": [types]}')
        name = _zone(zone, zones, "offerings")
        found[name] = {"exclude": sorted(set(found.get(name, {}).get("exclude", []))
                                         | set(_types(rule["exclude"], "exclude")))}
    return found


def parse_full_subnets(value, context: dict) -> list[str]:
    if value is False or value is None:
        return []
    if not isinstance(value, list):
        raise GuardError("full_subnets is a list of subnets (world names or ids)")
    names = context.get("subnet_ids") or {}
    found = []
    for item in value:
        subnet = names.get(item, item)
        if not isinstance(subnet, str) or not subnet.startswith("subnet-"):
            raise GuardError(f"full subnet {item!r} is neither a world subnet nor an id")
        found.append(subnet)
    return list(dict.fromkeys(found))


def parse_capacity(value, context: dict) -> list[dict]:
    if value is False or value is None:
        return []
    if not isinstance(value, list):
        raise GuardError("capacity is a list of {instance_type, zone, count}")
    zones, found = _zones(context["region"], context["account"]), []
    for item in value:
        if not isinstance(item, dict) or set(item) - {"instance_type", "zone", "count"} \
                or not {"instance_type", "zone"} <= set(item):
            raise GuardError("each capacity rule is {instance_type, zone, count} and names a type and a zone")
        count = item.get("count")
        if count is not None and (isinstance(count, bool) or not isinstance(count, int) or count < 1):
            raise GuardError("count is how many launches to refuse (1 or more), or null for all")
        found.append({"instance_type": _types([item["instance_type"]], "instance_type")[0],
                      "zone": _zone(item["zone"], zones, "capacity"), "count": count, "refused": 0})
    return found


def parse_allowed_instance_types(value, context: dict):
    if value is False or value is None:
        return None
    return _types(value, "allowed_instance_types")


def parse_vcpu_quota(value, context: dict):
    if value is False or value is None:
        return None
    if isinstance(value, bool) or not isinstance(value, int) or value < 0:
        raise GuardError("vcpu_quota is a count of vCPUs (0 or more) or null")
    return value


def parse_allowed_images(value, context: dict):
    if value is False or value is None:
        return None
    if not isinstance(value, dict) or set(value) - {"state", "criteria"} \
            or value.get("state") not in ("enabled", "audit-mode"):
        raise GuardError('allowed_images is {"state": "enabled"|"audit-mode", "criteria": [{providers, names}]}')
    criteria = []
    for item in value.get("criteria", []):
        if not isinstance(item, dict) or not item or set(item) - {"providers", "names"} or not all(
                isinstance(v, list) and v and all(isinstance(x, str) and x for x in v) for v in item.values()):
            raise GuardError("each criterion is {providers: [...], names: [...]} with at least one of them")
        for provider in item.get("providers", []):
            if provider not in (*IMAGE_PROVIDERS_ALIASES, "none") and not (provider.isdigit() and len(provider) == 12):
                raise GuardError(f"provider {provider!r} is amazon, aws-marketplace, aws-backup-vault, none "
                                 "or an account id")
        criteria.append({key: list(item[key]) for key in ("providers", "names") if key in item})
    return {"state": value["state"], "criteria": criteria}


# What a RunInstances asks for -------------------------------------------------------

def _int(params: dict, name: str, default: int) -> int:
    try:
        return int(params.get(name, default))
    except ValueError:
        return default


def _interfaces(params: dict) -> dict[str, dict]:
    found: dict[str, dict] = {}
    for name, value in params.items():
        parts = name.split(".")
        if parts[0] == "NetworkInterface" and len(parts) == 3:
            found.setdefault(parts[1], {})[parts[2]] = value
    return found


def _launch_subnets(backend, params: dict) -> tuple[object | None, list]:
    """(the subnet of the primary interface, the subnets in which the launch
    creates an interface), moto's objects; the first is None when the
    request names no subnet."""
    from moto.ec2.exceptions import EC2ClientError

    def subnet(subnet_id):
        try:
            return backend.get_subnet(subnet_id)
        except EC2ClientError:
            return None  # moto answers an unknown subnet itself

    if params.get("SubnetId"):
        found = subnet(params["SubnetId"])
        return found, [found] if found is not None else []
    primary, created = None, []
    for spec in _interfaces(params).values():
        if spec.get("NetworkInterfaceId"):
            eni = backend.enis.get(spec["NetworkInterfaceId"])
            where = eni.subnet if eni is not None else None
        else:
            where = subnet(spec["SubnetId"]) if spec.get("SubnetId") else None
            if where is not None:
                created.append(where)
        if where is not None and spec.get("DeviceIndex", "0") == "0":
            primary = where
    return primary, created


def _launch_zone(backend, params: dict, primary) -> str | None:
    if primary is not None:
        return primary.availability_zone
    return params.get("Placement.AvailabilityZone")


# Offerings, addresses, vCPUs ----------------------------------------------------------

def offered(region: str, zone: str, instance_type: str, settings: dict) -> bool:
    """Whether the zone offers the type: moto's offerings data (a Region it
    has none for offers every type) less the guard's exclusions."""
    from moto.ec2.models.instance_types import INSTANCE_TYPE_OFFERINGS

    if instance_type in settings["offerings"].get(zone, {}).get("exclude", []):
        return False
    data = INSTANCE_TYPE_OFFERINGS["availability-zone"].get(region)
    if not data:
        return True
    return any(o["InstanceType"] == instance_type and o["Location"] == zone for o in data)


def _region_zones(backend) -> list[str]:
    return sorted(zone.name for zone in backend.describe_availability_zones())


def free_addresses(subnet, settings: dict) -> int:
    """AvailableIpAddressCount as EC2 reports it: never below 0, and 0 for
    a subnet the guard makes full."""
    if subnet.id in settings["full_subnets"]:
        return 0
    return max(0, _moto_available(subnet))


def _moto_available(subnet) -> int:
    return _original_available.fget(subnet)


def vcpus(instance_type: str) -> int:
    from moto.ec2.models.instance_types import INSTANCE_TYPES

    return int(INSTANCE_TYPES.get(instance_type, {}).get("VCpuInfo", {}).get("DefaultVCpus", 1))


def standard(instance_type: str) -> bool:
    """Whether a type counts against the On-Demand Standard instances quota."""
    family = instance_type.split(".")[0]
    letters = family[:len(family) - len(family.lstrip("abcdefghijklmnopqrstuvwxyz"))]
    return bool(letters) and letters[0] in _STANDARD_LETTERS and letters not in _OTHER_BUCKETS


def standard_vcpus_in_use(backend) -> int:
    return sum(vcpus(i.instance_type) for i in backend.all_instances()
               if i._state.name in ("pending", "running") and standard(i.instance_type))


# Allowed AMIs ------------------------------------------------------------------------

def image_allowed(image, rule: dict | None, account: str) -> bool | None:
    """Whether the Allowed AMIs criteria allow the image (None when the
    setting is off). The account's own images are always allowed."""
    if rule is None:
        return None
    if image.owner_id == account:
        return True
    for criterion in rule["criteria"]:
        providers = criterion.get("providers")
        if providers is not None and not any(
                p == image.owner_id or (p in IMAGE_PROVIDERS_ALIASES and p == image.owner_alias) for p in providers):
            continue
        names = criterion.get("names")
        if names is not None and not any(fnmatch.fnmatchcase(image.name or "", n) for n in names):
            continue
        return True
    return False


# The checks ------------------------------------------------------------------------

def policy_denial(settings: dict, action: str, params: dict) -> str | None:
    """The resource a policy on ec2:InstanceType denies, or None."""
    allowed = settings["allowed_instance_types"]
    if action == "RunInstances" and allowed is not None \
            and params.get("InstanceType", "m1.small") not in allowed:
        return "instance/*"
    return None


def refusal(settings: dict, action: str, params: dict, region: str, account: str):
    """((status, code, message), by_guard) when EC2 refuses the request
    before it launches anything, else None."""
    if action not in ("RunInstances", "CreateNetworkInterface"):
        return None
    from moto.ec2.models import ec2_backends

    backend = ec2_backends[account][region]
    if action == "CreateNetworkInterface":
        return _interface_refusal(backend, settings, params)
    dry_run = params.get("DryRun", "false").lower() == "true"
    found = _image_refusal(backend, settings, params, account)
    if found:
        return found, True
    instance_type = params.get("InstanceType", "m1.small")
    count = max(1, _int(params, "MinCount", 1))
    primary, created = _launch_subnets(backend, params)
    zone = _launch_zone(backend, params, primary)
    if zone is not None and not offered(region, zone, instance_type, settings):
        others = [z for z in _region_zones(backend) if z != zone and offered(region, z, instance_type, settings)]
        by_guard = instance_type in settings["offerings"].get(zone, {}).get("exclude", [])
        return (400, "Unsupported",
                f"Your requested instance type ({instance_type}) is not supported in your requested Availability "
                f"Zone ({zone}). Please retry your request by not specifying an Availability Zone or choosing "
                f"{', '.join(others)}."), by_guard
    for subnet in dict.fromkeys(created):
        if free_addresses(subnet, settings) < count:
            return (400, "InsufficientFreeAddressesInSubnet",
                    f"There are not enough free addresses in subnet '{subnet.id}' to satisfy the requested number "
                    "of instances."), subnet.id in settings["full_subnets"]
    if dry_run:
        return None
    quota = settings["vcpu_quota"]
    if quota is not None and standard(instance_type) \
            and standard_vcpus_in_use(backend) + count * vcpus(instance_type) > quota:
        return (400, "VcpuLimitExceeded", VCPU_LIMIT_MESSAGE.format(limit=quota)), True
    if zone is not None:
        return _capacity_refusal(backend, settings, region, instance_type, zone)
    return None


def _image_refusal(backend, settings: dict, params: dict, account: str):
    rule = settings["allowed_images"]
    image = backend.amis.get(params.get("ImageId", ""))
    if rule is None or rule["state"] != "enabled" or image is None or image_allowed(image, rule, account):
        return None
    # An image the setting does not allow is not discoverable: EC2 answers
    # as for an image it does not know.
    return 400, "InvalidAMIID.NotFound", f"The image id '[{image.id}]' does not exist"


def _interface_refusal(backend, settings: dict, params: dict):
    from moto.ec2.exceptions import EC2ClientError

    try:
        subnet = backend.get_subnet(params.get("SubnetId", ""))
    except EC2ClientError:
        return None
    given = any(name.startswith(("PrivateIpAddress", "PrivateIpAddresses.")) for name in params)
    need = 1 + _int(params, "SecondaryPrivateIpAddressCount", 0)
    if not given and free_addresses(subnet, settings) < need:
        return (400, "InsufficientFreeAddressesInSubnet",
                f"There are not enough free addresses in subnet '{subnet.id}'."), subnet.id in settings["full_subnets"]
    return None


def _capacity_refusal(backend, settings: dict, region: str, instance_type: str, zone: str):
    def short(rule, where):
        return rule["instance_type"] == instance_type and rule["zone"] == where \
            and (rule["count"] is None or rule["refused"] < rule["count"])

    rule = next((r for r in settings["capacity"] if short(r, zone)), None)
    if rule is None:
        return None
    rule["refused"] += 1
    others = [z for z in _region_zones(backend) if z != zone and offered(region, z, instance_type, settings)
              and not any(short(r, z) for r in settings["capacity"])]
    return (500, "InsufficientInstanceCapacity",
            f"We currently do not have sufficient {instance_type} capacity in the Availability Zone you requested "
            f"({zone}). Our system will be working on provisioning additional capacity. You can currently get "
            f"{instance_type} capacity by not specifying an Availability Zone in your request or choosing "
            f"{', '.join(others)}."), True


# Hooks on moto ----------------------------------------------------------------------

_original_available = None
_installed = False


def install(settings_of) -> None:
    """Make moto's answers agree with the checks: DescribeSubnets' free
    counts, DescribeInstanceTypeOfferings less the guard's exclusions, and
    DescribeImages under the Allowed AMIs setting. `settings_of()` gives the
    guard's settings in force."""
    global _original_available, _installed
    if _installed:
        return
    from moto.ec2.models.amis import Ami, AmiBackend
    from moto.ec2.models.instance_types import InstanceTypeOfferingBackend
    from moto.ec2.models.subnets import Subnet

    # AWS never reports a negative AvailableIpAddressCount; moto subtracts
    # every address its interfaces hold from the block's size and goes
    # below 0.
    _original_available = Subnet.available_ip_address_count
    Subnet.available_ip_address_count = property(lambda self: free_addresses(self, settings_of()))

    original_offerings = InstanceTypeOfferingBackend.describe_instance_type_offerings

    def describe_instance_type_offerings(self, location_type=None, filters=None):
        found = original_offerings(self, location_type, filters)
        excluded = settings_of()["offerings"]
        if not excluded or (location_type or "region") not in ("availability-zone", "availability-zone-id"):
            return found
        names = {zone.zone_id: zone.name for zone in self.describe_availability_zones()}
        return [o for o in found
                if o["InstanceType"] not in excluded.get(names.get(o["Location"], o["Location"]), {}).get("exclude", [])]

    InstanceTypeOfferingBackend.describe_instance_type_offerings = describe_instance_type_offerings

    # DescribeImages: imageAllowed on every image while the setting is on,
    # and in "enabled" the images it does not allow are not discoverable.
    Ami.image_allowed = property(lambda self: image_allowed(self, settings_of()["allowed_images"],
                                                            self.ec2_backend.account_id))
    original_describe_images = AmiBackend.describe_images

    def describe_images(self, *args, **kwargs):
        images = original_describe_images(self, *args, **kwargs)
        rule = settings_of()["allowed_images"]
        if rule is None or rule["state"] != "enabled":
            return images
        return [image for image in images if image_allowed(image, rule, self.account_id)]

    AmiBackend.describe_images = describe_images
    _installed = True
