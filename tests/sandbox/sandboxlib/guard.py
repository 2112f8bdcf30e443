"""The guarded profile: an account run as organisations run theirs.

Off by default. Each rule is turned on by itself or with the others (POST
/_sandbox/guard, or sandbox.py --guard):

  imdsv2            service control policy: RunInstances is denied unless
                    MetadataOptions.HttpTokens is "required"
                    (condition key ec2:MetadataHttpTokens)
  tags_at_creation  service control policy: CreateTags is denied outside a
                    create request (condition key ec2:CreateAction), so a
                    standalone CreateTags always is
  required_tag      service control policy: RunInstances (instance, volume
                    and the interfaces it creates), CreateSecurityGroup and
                    CreateNetworkInterface are denied unless their
                    TagSpecifications carry this key (aws:RequestTag/KEY)
  eip_quota         the Region's Elastic IP quota: AllocateAddress beyond it
                    answers AddressLimitExceeded, DescribeAccountAttributes
                    reports it
  dying_launches    instances launched in the subnets named go
                    shutting-down / terminated some seconds after launch,
                    with a state reason (an unusable KMS key, no capacity)

The account's launch rules (launches.py and account.py apply them):

  offerings               instance types a zone does not offer
  full_subnets            subnets with no free address
  capacity                a type a zone has no capacity for (HTTP 500)
  allowed_instance_types  service control policy on ec2:InstanceType
  vcpu_quota              the On-Demand Standard instances' vCPU quota
  allowed_images          the Allowed AMIs setting
  block_public_access     VPC Block Public Access and its exclusions
  ebs_encryption          encryption by default with a customer key of the
                          state named, so that launches die

Denials are AWS's: 403 UnauthorizedOperation naming the caller, the action
and the resource, "with an explicit deny in a service control policy", and
an encoded authorization failure message.
"""

from __future__ import annotations

import base64
import copy
import math
import os
import threading
import time

RULES = ("imdsv2", "tags_at_creation", "required_tag", "eip_quota", "dying_launches",
         "offerings", "full_subnets", "capacity", "allowed_instance_types", "vcpu_quota",
         "allowed_images", "block_public_access", "ebs_encryption")

# What "all" (and a rule named without settings) turns on.
DEFAULTS = {"imdsv2": True, "tags_at_creation": True, "required_tag": "Owner", "eip_quota": 5}

OFF = {"imdsv2": False, "tags_at_creation": False, "required_tag": None, "eip_quota": None, "dying_launches": [],
       "offerings": {}, "full_subnets": [], "capacity": [], "allowed_instance_types": None, "vcpu_quota": None,
       "allowed_images": None, "block_public_access": None, "ebs_encryption": None}

# State reasons of launches that die, by the names the rule takes.
REASONS = {
    "kms": ("Client.InvalidKMSKey.InvalidState",
            "Client.InvalidKMSKey.InvalidState: The KMS key provided is in an incorrect state"),
    "capacity": ("Server.InsufficientInstanceCapacity",
                 "Server.InsufficientInstanceCapacity: Insufficient capacity to satisfy instance request"),
    "internal": ("Server.InternalError", "Server.InternalError: Internal error on launch"),
}

DEFAULT_DEATH_S = 5.0

ADDRESS_LIMIT = (400, "AddressLimitExceeded", "The maximum number of addresses has been reached.")

# Resource types of EC2 ids, for the ARN a denial names.
_ID_TYPES = {
    "i": "instance", "vol": "volume", "eni": "network-interface", "sg": "security-group",
    "eipalloc": "elastic-ip", "key": "key-pair", "subnet": "subnet", "vpc": "vpc", "ami": "image",
    "snap": "snapshot", "igw": "internet-gateway", "rtb": "route-table", "nat": "natgateway",
}


class GuardError(ValueError):
    """A guard configuration that does not make sense."""


def _parsers() -> dict:
    """The account's launch rules, by member: each reads its value (with the
    world's ids as context) or raises GuardError."""
    from . import account, launches

    return {"offerings": launches.parse_offerings, "full_subnets": launches.parse_full_subnets,
            "capacity": launches.parse_capacity, "allowed_instance_types": launches.parse_allowed_instance_types,
            "vcpu_quota": launches.parse_vcpu_quota, "allowed_images": launches.parse_allowed_images,
            "block_public_access": account.parse_block_public_access,
            "ebs_encryption": account.parse_ebs_encryption}


def _tag_keys(params: dict) -> dict[str, set[str]]:
    """Resource type -> the tag keys TagSpecifications give it."""
    types: dict[str, str] = {}
    keys: dict[str, set[str]] = {}
    for name, value in params.items():
        parts = name.split(".")
        if parts[0] not in ("TagSpecification", "TagSpecifications") or len(parts) < 3:
            continue
        if parts[2] == "ResourceType":
            types[parts[1]] = value
        elif len(parts) == 5 and parts[2] in ("Tag", "Tags") and parts[4] == "Key":
            keys.setdefault(parts[1], set()).add(value)
    found: dict[str, set[str]] = {}
    for index, resource_type in types.items():
        found.setdefault(resource_type, set()).update(keys.get(index, set()))
    return found


def _creates_interface(params: dict) -> bool:
    """Whether a RunInstances creates an interface (it does unless every
    interface it names already exists)."""
    specs: dict[str, bool] = {}
    for name in params:
        parts = name.split(".")
        if parts[0] == "NetworkInterface" and len(parts) >= 3:
            specs[parts[1]] = specs.get(parts[1], False) or parts[2] == "NetworkInterfaceId"
    return not specs or not all(specs.values())


def encoded_message() -> str:
    """An encoded authorization failure message: opaque to the caller, as
    AWS's are without sts:DecodeAuthorizationMessage."""
    return base64.urlsafe_b64encode(os.urandom(240)).decode("ascii").rstrip("=")


class Guard:
    """The guard's settings and the deaths it has scheduled. One per
    process: the hooks on moto reach it through GUARD."""

    def __init__(self, clock=time.monotonic) -> None:
        self.clock = clock
        self._lock = threading.RLock()
        self.settings = copy.deepcopy(OFF)
        self.denied = 0
        self._context: dict = {}
        self._dying: dict[str, tuple[float, object, tuple[str, str]]] = {}  # id -> (due, instance, reason)
        self._reasons: dict[str, tuple[str, str]] = {}  # id -> reason of an instance that died

    # Settings ------------------------------------------------------------------

    def configure(self, payload: dict, world: dict | None = None) -> dict:
        """Turn on (or change, or off) the rules named; {"all": true} turns
        on every rule but dying_launches with its defaults. `world` is the
        world's ids (Region, account, subnet names)."""
        if not isinstance(payload, dict):
            raise GuardError("the guard is a JSON object")
        unknown = set(payload) - {"all", *RULES}
        if unknown:
            raise GuardError(f"unknown guard rules: {sorted(unknown)}")
        with self._lock:
            settings = copy.deepcopy(self.settings)
            if payload.get("all") is True:
                settings.update(DEFAULTS)
            elif payload.get("all") is False:
                settings = copy.deepcopy(OFF)
            elif "all" in payload:
                raise GuardError("all is true or false")
            for name in ("imdsv2", "tags_at_creation"):
                if name in payload:
                    if not isinstance(payload[name], bool):
                        raise GuardError(f"{name} is true or false")
                    settings[name] = payload[name]
            if "required_tag" in payload:
                settings["required_tag"] = self._required_tag(payload["required_tag"])
            if "eip_quota" in payload:
                settings["eip_quota"] = self._quota(payload["eip_quota"])
            world = world or {}
            if "dying_launches" in payload:
                settings["dying_launches"] = self._dying_rules(payload["dying_launches"], world.get("subnet_ids") or {})
            context = {"region": "us-east-1", "partition": "aws", "account": "123456789012", **world}
            for name, parse in _parsers().items():
                if name in payload:
                    settings[name] = parse(payload[name], context)
            if settings["ebs_encryption"] != self.settings["ebs_encryption"] or payload.get("all") is False:
                from .account import apply_ebs_encryption

                settings["ebs_encryption"] = apply_ebs_encryption(
                    settings["ebs_encryption"], self.settings["ebs_encryption"], context["region"], context["account"])
                self._context = context
            self.settings = settings
            self._apply_quota()
            return self.describe()

    @staticmethod
    def _required_tag(value):
        if value is True:
            return DEFAULTS["required_tag"]
        if value is False or value is None:
            return None
        if not isinstance(value, str) or not value or len(value) > 128:
            raise GuardError("required_tag is a tag key (1 to 128 characters), true (Owner) or false")
        return value

    @staticmethod
    def _quota(value):
        if value is True:
            return DEFAULTS["eip_quota"]
        if value is False or value is None:
            return None
        if isinstance(value, bool) or not isinstance(value, int) or value < 0:
            raise GuardError("eip_quota is a count of addresses (0 or more), true (5) or false")
        return value

    @staticmethod
    def _dying_rules(value, subnet_ids: dict) -> list[dict]:
        if value is False or value is None:
            return []
        if not isinstance(value, list):
            raise GuardError("dying_launches is a list of {subnet, after_s, reason}")
        rules = []
        for item in value:
            if not isinstance(item, dict) or set(item) - {"subnet", "after_s", "reason"} or "subnet" not in item:
                raise GuardError("each dying launch is {subnet, after_s, reason} and names a subnet")
            subnet = subnet_ids.get(item["subnet"], item["subnet"])
            if not isinstance(subnet, str) or not subnet.startswith("subnet-"):
                raise GuardError(f"dying launch subnet {item['subnet']!r} is neither a world subnet nor an id")
            after = item.get("after_s", DEFAULT_DEATH_S)
            if isinstance(after, bool) or not isinstance(after, (int, float)) or not math.isfinite(after) or after < 0:
                raise GuardError("after_s is a number of seconds, 0 or more")
            reason = item.get("reason", "kms")
            if isinstance(reason, str):
                if reason not in REASONS:
                    raise GuardError(f"reason is one of {sorted(REASONS)} or {{code, message}}")
                code, message = REASONS[reason]
            elif isinstance(reason, dict) and set(reason) == {"code", "message"} and all(
                    isinstance(v, str) and v for v in reason.values()):
                code, message = reason["code"], reason["message"]
            else:
                raise GuardError(f"reason is one of {sorted(REASONS)} or {{code, message}}")
            rules.append({"subnet_id": subnet, "after_s": float(after), "code": code, "message": message})
        return rules

    def _undo_account_state(self) -> None:
        """Turn off the encryption by default the guard turned on."""
        if self.settings["ebs_encryption"] is not None:
            from .account import apply_ebs_encryption

            apply_ebs_encryption(None, self.settings["ebs_encryption"], self._context["region"],
                                 self._context["account"])

    def _apply_quota(self) -> None:
        from .corrections import set_address_quota

        set_address_quota(self.settings["eip_quota"])

    def describe(self) -> dict:
        with self._lock:
            return {**copy.deepcopy(self.settings), "denied": self.denied}

    def off(self) -> dict:
        """Every rule off. Deaths already scheduled still happen: those
        launches have failed."""
        with self._lock:
            self._undo_account_state()
            self.settings = copy.deepcopy(OFF)
            self._apply_quota()
            return self.describe()

    def reset(self) -> None:
        """Off and forgetting everything (moto's backends are replaced)."""
        with self._lock:
            self._undo_account_state()
            self.settings = copy.deepcopy(OFF)
            self.denied = 0
            self._dying = {}
            self._reasons = {}
            self._apply_quota()

    @property
    def active(self) -> bool:
        return self.settings != OFF

    # Admission -----------------------------------------------------------------

    def admit(self, service: str, action: str, params: dict, region: str | None, account: str,
              key_id: str | None):
        """None when the request may go on, else ((status, code, message),
        fault): fault "guard" when one of the guard's rules decided, None
        when EC2 refuses so in every account (a type the zone does not
        offer, a subnet without a free address)."""
        if service != "ec2":
            return None
        from . import launches

        region = region or "us-east-1"
        with self._lock:
            settings = self.settings
            if self.active:
                denied_resource = self._scp_denial(settings, action, params)
                if denied_resource is not None:
                    self.denied += 1
                    return self._denial(action, denied_resource, region, account, key_id), "guard"
            if action == "AllocateAddress" and settings["eip_quota"] is not None:
                from moto.ec2.models import ec2_backends

                if len(ec2_backends[account][region].addresses) >= settings["eip_quota"]:
                    return ADDRESS_LIMIT, "guard"
            found = launches.refusal(settings, action, params, region, account)
        if found is not None:
            answer, by_guard = found
            return answer, "guard" if by_guard else None
        return None

    @staticmethod
    def _scp_denial(settings: dict, action: str, params: dict) -> str | None:
        """The resource ("instance/*", "volume/vol-...") a policy denies the
        request on, or None."""
        if action == "RunInstances" and settings["imdsv2"] and params.get("MetadataOptions.HttpTokens") != "required":
            return "instance/*"
        if action == "CreateTags" and settings["tags_at_creation"]:
            first = params.get("ResourceId.1", "*")
            return f"{_ID_TYPES.get(first.split('-')[0], 'resource')}/{first}"
        key = settings["required_tag"]
        if key:
            tagged = _tag_keys(params)
            needed = {"RunInstances": ["instance", "volume"] + (["network-interface"] if _creates_interface(params) else []),
                      "CreateSecurityGroup": ["security-group"],
                      "CreateNetworkInterface": ["network-interface"]}.get(action, [])
            for resource_type in needed:
                if key not in tagged.get(resource_type, set()):
                    return f"{resource_type}/*"
        from .launches import policy_denial

        return policy_denial(settings, action, params)

    @staticmethod
    def _denial(action: str, resource: str, region: str, account: str, key_id: str | None):
        from .corrections import caller_arn, partition_of

        partition = partition_of(region)
        user = caller_arn(account, partition, key_id)
        return (403, "UnauthorizedOperation",
                f"You are not authorized to perform this operation. User: {user} is not authorized to perform: "
                f"ec2:{action} on resource: arn:{partition}:ec2:{region}:{account}:{resource} with an explicit "
                f"deny in a service control policy. Encoded authorization failure message: {encoded_message()}")

    # Launches that die ---------------------------------------------------------

    def on_launch(self, instances) -> None:
        from .account import unusable_default_key

        with self._lock:
            rules = {rule["subnet_id"]: rule for rule in self.settings["dying_launches"]}
            # EBS encryption by default with a default key that cannot be
            # used: every launch dies as one whose volume's key is disabled.
            ebs = self.settings["ebs_encryption"] or {"after_s": DEFAULT_DEATH_S}
            unusable = bool(instances) and unusable_default_key(instances[0].ec2_backend) is not None
            if not rules and not unusable:
                return
            from .realism import REALISM

            scale = REALISM.settings["time_scale"] if REALISM.active else 1.0
            now = self.clock()
            for instance in instances:
                rule = rules.get(instance.subnet_id)
                if unusable:
                    rule = {"after_s": ebs["after_s"], "code": REASONS["kms"][0], "message": REASONS["kms"][1]}
                if rule is not None:
                    self._dying[instance.id] = (now + rule["after_s"] * scale, instance,
                                                (rule["code"], rule["message"]))

    def doomed(self, instance_id: str) -> bool:
        """Whether the instance is due to die: until then its status checks
        stay initializing, as those of a launch that fails never pass."""
        return instance_id in self._dying

    def tick(self) -> None:
        if not self._dying:
            return
        with self._lock:
            now = self.clock()
            for instance_id, (due, instance, reason) in list(self._dying.items()):
                if due <= now:
                    del self._dying[instance_id]
                    self._die(instance, reason)

    def _die(self, instance, reason: tuple[str, str]) -> None:
        from .realism import REALISM

        if instance._state.name in ("shutting-down", "terminated"):
            return  # terminated by its owner first
        self._reasons[instance.id] = reason
        # With the realistic profile it shuts down at AWS's pace; without,
        # it is terminated at once.
        if not REALISM.on_terminate(instance):
            instance.terminate()
        self.restore_reason(instance)

    def restore_reason(self, instance) -> None:
        """Put back the state reason of an instance that died (moto's
        termination writes "User initiated")."""
        reason = self._reasons.get(instance.id)
        if reason is not None:
            from moto.ec2.models.instances import StateReason

            code, message = reason
            instance._reason = message
            instance.state_reason = StateReason(message, code)


GUARD = Guard()

_installed = False


def install() -> None:
    """Hook the guard into moto; after the corrections and the realistic
    profile, whose patched methods these wrap."""
    global _installed
    if _installed:
        return
    from moto.ec2.models.instances import Instance, InstanceBackend

    run_instances = InstanceBackend.run_instances

    def run_instances_hooked(self, *args, **kwargs):
        reservation = run_instances(self, *args, **kwargs)
        GUARD.on_launch(reservation.instances)
        return reservation

    terminate = Instance.terminate

    def terminate_hooked(self):
        previous = terminate(self)
        GUARD.restore_reason(self)
        return previous

    InstanceBackend.run_instances = run_instances_hooked
    Instance.terminate = terminate_hooked
    from . import account, launches

    launches.install(lambda: GUARD.settings)
    account.install(lambda: GUARD.settings)
    _installed = True


def parse_flag(value: str, subnet_ids: dict | None = None) -> dict:
    """The guard configuration sandbox.py --guard names: "all", rule names
    separated by commas ("imdsv2,required_tag"), inline JSON, or a JSON
    file."""
    import json

    text = value.strip()
    if text.startswith("{"):
        return json.loads(text)
    if os.path.exists(text):
        with open(text, encoding="utf-8") as source:
            return json.load(source)
    config: dict = {}
    for name in filter(None, (part.strip() for part in text.split(","))):
        if name == "all":
            config["all"] = True
        elif name in DEFAULTS:
            config[name] = DEFAULTS[name]
        else:
            raise GuardError(f"expected all, {', '.join(DEFAULTS)}, JSON or a JSON file, not {name!r}")
    return config
