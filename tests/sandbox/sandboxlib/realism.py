"""The realistic profile: AWS's pace and AWS's inconsistency, on demand.

Without it the sandbox answers at once, is always consistent and passes
status checks the moment an instance exists. With it (POST
/_sandbox/profile {"name": "aws"}, or sandbox.py --profile aws):

  - EC2 meters every action with its own token bucket, sized by the action's
    category, plus the resource-rate buckets of RunInstances and
    TerminateInstances (AWS, "Request throttling for the Amazon EC2 API");
  - for a while after a resource is created, a request naming its id is
    answered with the NotFound error EC2 gives while the id propagates, and
    RunInstances refuses an instance profile IAM has not yet propagated;
  - instances go pending -> running, status checks initializing -> ok,
    terminations shutting-down -> terminated, and interface attachments
    attaching -> attached and detaching -> detached, each taking its time.

Every figure is given at AWS's own pace and scaled by one `time_scale`:
durations are multiplied by it, refill rates divided by it, bucket sizes
left alone.

moto changes state at once, so the transitions are kept here as timelines
and moto's objects are moved along lazily: before each request reaches moto
(`tick`), and by a few properties (status checks, attachment states) that
read the timelines when an answer is written. The hooks on moto's classes
do nothing while the profile is off.
"""

from __future__ import annotations

import copy
import math
import threading
import time
from collections import Counter

from . import protocol
from .faults import TokenBucket

PROFILE_NAME = "aws"

# Durations at AWS's pace, in seconds (README: "Realistic profile").
DEFAULT_DURATIONS = {
    "consistency_s": 5.0,
    "iam_propagation_s": 10.0,
    "pending_s": 20.0,
    "status_init_s": 120.0,
    "shutting_down_s": 45.0,
    "attaching_s": 3.0,
    "detaching_s": 10.0,
}

# Bucket sizes and refill rates (tokens a second) at AWS's pace.
DEFAULT_BUCKETS = {
    "non_mutating": {"burst": 100, "refill": 20},
    "mutating": {"burst": 200, "refill": 5},
    "resource_intensive": {"burst": 50, "refill": 5},
    "instances_launched": {"burst": 1000, "refill": 2},
    "instances_terminated": {"burst": 1000, "refill": 20},
}

# The resource-intensive actions and the resource bucket each one also draws on.
RESOURCE_BUCKET = {"RunInstances": "instances_launched", "TerminateInstances": "instances_terminated"}

# What EC2 answers while a new id has not propagated: code and message.
_NOT_FOUND = {
    "instance": ("InvalidInstanceID.NotFound", "The instance ID '{}' does not exist"),
    "network_interface": ("InvalidNetworkInterfaceID.NotFound", "The networkInterface ID '{}' does not exist"),
    "security_group": ("InvalidGroup.NotFound", "The security group '{}' does not exist"),
    "address": ("InvalidAllocationID.NotFound", "The allocation ID '{}' does not exist"),
    "key_pair": ("InvalidKeyPair.NotFound", "The key pair '{}' does not exist"),
}

# Actions that name a key pair only to create it.
_KEY_CREATORS = {"CreateKeyPair", "ImportKeyPair"}

_IAM_PROPAGATING = {"CreateInstanceProfile", "AddRoleToInstanceProfile"}

_INITIALIZING = {"Details": [{"Name": "reachability", "Status": "initializing"}], "Status": "initializing"}


class ProfileError(ValueError):
    """A profile configuration that does not make sense."""


def _number(name: str, value, positive: bool = False) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        raise ProfileError(f"{name} must be a number")
    if value < 0 or (positive and value == 0):
        raise ProfileError(f"{name} must be {'positive' if positive else 'zero or more'}")
    return float(value)


def _throttle_settings(value, current) -> dict | bool:
    """`value` is false, true (AWS's figures) or figures to change in the
    buckets `current` (or AWS's, when the profile did not throttle)."""
    if value is False:
        return False
    if value is True:
        return copy.deepcopy(DEFAULT_BUCKETS)
    base = copy.deepcopy(current) if isinstance(current, dict) else copy.deepcopy(DEFAULT_BUCKETS)
    if not isinstance(value, dict):
        raise ProfileError("throttle is true, false or an object of bucket figures")
    unknown = set(value) - set(DEFAULT_BUCKETS)
    if unknown:
        raise ProfileError(f"unknown throttle categories: {sorted(unknown)}")
    for category, figures in value.items():
        if not isinstance(figures, dict) or set(figures) - {"burst", "refill"}:
            raise ProfileError(f"throttle.{category} is an object with burst and refill")
        for name, number in figures.items():
            base[category][name] = _number(f"throttle.{category}.{name}", number)
    return base


def _instance_count(params: dict, action: str) -> int:
    if action == "RunInstances":
        try:
            return max(1, int(params.get("MaxCount", 1)))
        except ValueError:
            return 1
    return sum(1 for name in params if name.startswith("InstanceId."))


class Realism:
    """The profile's settings, buckets and timelines. One per process: the
    hooks on moto's classes reach it through REALISM."""

    def __init__(self, clock=time.monotonic) -> None:
        self.clock = clock
        self._lock = threading.RLock()
        self.settings: dict | None = None
        self.launched: list[dict] = []
        self._clear()

    def _clear(self) -> None:
        self._buckets: dict[str, TokenBucket] = {}
        self._young: dict[str, tuple[str, float]] = {}       # id -> (kind, until)
        self._young_keys: dict[str, float] = {}               # key pair name -> until
        self._propagating: dict[str, float] = {}              # instance profile name -> until
        self._pending: dict[str, tuple[float, object]] = {}   # instance id -> (until, instance)
        self._status_due: dict[str, float] = {}               # instance id -> checks ok from
        self._shutting: dict[str, tuple[float, object]] = {}  # instance id -> (until, instance)
        self._attaching: dict[str, float] = {}                # interface id -> until
        self._detaching: dict[str, tuple[float, object]] = {}  # interface id -> (until, interface)

    # Settings ------------------------------------------------------------------

    @property
    def active(self) -> bool:
        return self.settings is not None

    def configure(self, payload: dict) -> dict:
        """Turn the profile on, or change the members given of the one on."""
        if not isinstance(payload, dict):
            raise ProfileError("the profile is a JSON object")
        if payload.get("name") != PROFILE_NAME:
            raise ProfileError(f'name must be "{PROFILE_NAME}", the only profile')
        unknown = set(payload) - {"name", "time_scale", "throttle", *DEFAULT_DURATIONS}
        if unknown:
            raise ProfileError(f"unknown profile settings: {sorted(unknown)}")
        with self._lock:
            current = self.settings or {"name": PROFILE_NAME, "time_scale": 1.0, **DEFAULT_DURATIONS,
                                        "throttle": copy.deepcopy(DEFAULT_BUCKETS)}
            settings = dict(current)
            if "time_scale" in payload:
                settings["time_scale"] = _number("time_scale", payload["time_scale"], positive=True)
            for name in DEFAULT_DURATIONS:
                if name in payload:
                    settings[name] = _number(name, payload[name])
            if "throttle" in payload:
                settings["throttle"] = _throttle_settings(payload["throttle"], current["throttle"])
            if settings["throttle"] != current["throttle"] or settings["time_scale"] != current["time_scale"]:
                self._buckets = {}
            self.settings = settings
            return self.describe()

    def describe(self) -> dict:
        with self._lock:
            if self.settings is None:
                return {"name": None}
            return copy.deepcopy(self.settings)

    def off(self) -> dict:
        """Turn the profile off. Resources keep the state they reached, and
        what was under way completes at once."""
        with self._lock:
            self._complete(float("inf"))
            self.settings = None
            self._clear()
            return self.describe()

    def reset(self) -> None:
        """Off, forgetting everything: moto's backends are about to be
        replaced, so nothing is moved along."""
        with self._lock:
            self.settings = None
            self._clear()
            self.launched = []

    def _seconds(self, name: str) -> float:
        return self.settings[name] * self.settings["time_scale"]

    # Admission -----------------------------------------------------------------

    def throttles(self, service: str) -> bool:
        """Whether the profile meters this service's requests itself."""
        settings = self.settings
        return settings is not None and service == "ec2" and bool(settings["throttle"])

    def admit(self, service: str, action: str, params: dict, region: str | None = None):
        """None when the request may go on to moto (due transitions applied
        first), else the (status, code, message) to answer instead."""
        if self.settings is None:
            return None
        with self._lock:
            if self.settings is None:
                return None
            now = self.clock()
            if service == "ec2":
                refusal = (self._throttle(action, params, region, now) or self._unpropagated(action, params, now)
                           or self._unpropagated_profile(action, params, now))
                if refusal is not None:
                    return refusal
            self._complete(now)
        return None

    def _bucket(self, key: str, category: str) -> TokenBucket:
        bucket = self._buckets.get(key)
        if bucket is None:
            figures = self.settings["throttle"][category]
            bucket = TokenBucket(float(figures["burst"]), float(figures["refill"]) / self.settings["time_scale"])
            self._buckets[key] = bucket
        return bucket

    def _throttle(self, action: str, params: dict, region: str | None, now: float):
        if not self.settings["throttle"]:
            return None
        if action in RESOURCE_BUCKET:
            category = "resource_intensive"
        else:
            category = "mutating" if protocol.is_mutating(action) else "non_mutating"
        if not self._bucket(action, category).take(now):
            return protocol.THROTTLE["ec2"]
        resource = RESOURCE_BUCKET.get(action)
        if resource is not None:
            from .corrections import client_token_known

            if action == "RunInstances" and client_token_known(region or "", action, params.get("ClientToken")):
                return None  # a repeat launches nothing
            if not self._bucket(resource, resource).take(now, _instance_count(params, action)):
                return protocol.THROTTLE["ec2"]
        return None

    def _unpropagated(self, action: str, params: dict, now: float):
        named: list[tuple[str, str]] = []
        for name, value in params.items():
            if name.startswith("Filter.") or name in ("Action", "Version", "ClientToken"):
                continue
            young = self._young.get(value)
            if young is not None and young[1] > now:
                named.append((young[0], value))
            elif (name.split(".")[0].endswith("KeyName") and action not in _KEY_CREATORS
                  and self._young_keys.get(value, 0.0) > now):
                named.append(("key_pair", value))
        if not named:
            return None
        kind = named[0][0]
        code, message = _NOT_FOUND[kind]
        if kind == "instance":
            ids = list(dict.fromkeys(value for named_kind, value in named if named_kind == "instance"))
            if len(ids) > 1:
                return 400, code, f"The instance IDs '{', '.join(ids)}' do not exist"
        return 400, code, message.format(named[0][1])

    def _unpropagated_profile(self, action: str, params: dict, now: float):
        if action != "RunInstances":
            return None
        name, arn = params.get("IamInstanceProfile.Name"), params.get("IamInstanceProfile.Arn")
        if name and self._propagating.get(name, 0.0) > now:
            return (400, "InvalidParameterValue",
                    f"Value ({name}) for parameter iamInstanceProfile.name is invalid. "
                    "Invalid IAM Instance Profile name")
        if arn and self._propagating.get(arn.rpartition("/")[2], 0.0) > now:
            return (400, "InvalidParameterValue",
                    f"Value ({arn}) for parameter iamInstanceProfile.arn is invalid. "
                    "Invalid IAM Instance Profile ARN")
        return None

    def observe(self, service: str, action: str, params: dict, status: int) -> None:
        """Note what an answered request started (IAM propagation)."""
        if self.settings is None or service != "iam" or action not in _IAM_PROPAGATING or status != 200:
            return
        with self._lock:
            if self.settings is not None and params.get("InstanceProfileName"):
                self._propagating[params["InstanceProfileName"]] = self.clock() + self._seconds("iam_propagation_s")

    # Timelines -----------------------------------------------------------------

    def tick(self) -> None:
        if self.settings is not None:
            with self._lock:
                self._complete(self.clock())

    def _complete(self, now: float) -> None:
        """Move moto's objects along every timeline that is due."""
        for instance_id, (until, instance) in list(self._pending.items()):
            if until <= now:
                del self._pending[instance_id]
                if instance._state.name == "pending":
                    instance._state.name, instance._state.code = "running", 16
        for eni_id, until in list(self._attaching.items()):
            if until <= now:
                del self._attaching[eni_id]
        for eni_id, (until, eni) in list(self._detaching.items()):
            if until <= now:
                del self._detaching[eni_id]
                if eni.instance is not None:
                    eni.instance.detach_eni(eni)
        for instance_id, (until, instance) in list(self._shutting.items()):
            if until <= now:
                del self._shutting[instance_id]
                for eni in instance.nics.values():
                    self._attaching.pop(eni.id, None)
                    self._detaching.pop(eni.id, None)
                instance.terminate()
        for registry in (self._young, self._young_keys, self._propagating, self._status_due):
            for key, value in list(registry.items()):
                until = value[1] if isinstance(value, tuple) else value
                if until <= now:
                    del registry[key]

    # Hooks on moto (called from inside moto's handling of a request) ---------

    def on_launch(self, instances, new_enis) -> None:
        with self._lock:
            for instance in instances:
                self.launched.append({"instance_id": instance.id, "subnet_id": instance.subnet_id})
            if self.settings is None:
                return
            now = self.clock()
            young_until = now + self._seconds("consistency_s")
            running_at = now + self._seconds("pending_s")
            for instance in instances:
                instance._state.name, instance._state.code = "pending", 0
                self._pending[instance.id] = (running_at, instance)
                self._status_due[instance.id] = running_at + self._seconds("status_init_s")
                self._young[instance.id] = ("instance", young_until)
            for eni in new_enis:
                self._young[eni.id] = ("network_interface", young_until)

    def on_create(self, kind: str, key: str) -> None:
        if self.settings is None:
            return
        with self._lock:
            if self.settings is None:
                return
            until = self.clock() + self._seconds("consistency_s")
            if kind == "key_pair_name":
                self._young_keys[key] = until
            else:
                self._young[key] = (kind, until)

    def on_terminate(self, instance) -> bool:
        """Start shutting an instance down; False when the profile is off
        (moto terminates it at once)."""
        with self._lock:
            if self.settings is None:
                return False
            if instance._state.name not in ("shutting-down", "terminated"):
                self._pending.pop(instance.id, None)
                self._status_due.pop(instance.id, None)
                instance._state.name, instance._state.code = "shutting-down", 32
                # The reason AWS gives from the moment termination starts.
                from moto.core.utils import utcnow
                from moto.ec2.models.instances import StateReason

                instance._reason = f"User initiated ({utcnow().strftime('%Y-%m-%d %H:%M:%S UTC')})"
                instance.state_reason = StateReason("Client.UserInitiatedShutdown: User initiated shutdown",
                                                    "Client.UserInitiatedShutdown")
                self._shutting[instance.id] = (self.clock() + self._seconds("shutting_down_s"), instance)
            return True

    def on_attach(self, eni) -> None:
        with self._lock:
            if self.settings is not None:
                self._attaching[eni.id] = self.clock() + self._seconds("attaching_s")

    def on_detach(self, eni) -> bool:
        """Start detaching an interface; False when the profile is off."""
        with self._lock:
            if self.settings is None:
                return False
            self._attaching.pop(eni.id, None)
            if eni.id not in self._detaching:
                self._detaching[eni.id] = (self.clock() + self._seconds("detaching_s"), eni)
            return True

    def status_initializing(self, instance_id: str) -> bool:
        until = self._status_due.get(instance_id)
        return until is not None and until > self.clock()

    def attachment_status(self, eni_id: str) -> str | None:
        if eni_id in self._detaching:
            return "detaching"
        until = self._attaching.get(eni_id)
        if until is not None and until > self.clock():
            return "attaching"
        return None

    # Inventory -----------------------------------------------------------------

    def inventory(self, world) -> dict:
        """What is left in the world's region and in IAM, for leak checks.
        The world's own roles and policy are left out."""
        self.tick()
        ec2, iam = world.ec2, world.iam
        with self._lock:
            launched = list(self.launched)
        instances = Counter(i.state for i in ec2.all_instances() if i.state != "terminated")

        def tags(resource) -> dict:
            return {tag["key"]: tag["value"] for tag in resource.get_tags()}

        interfaces = [
            {"id": eni.id, "status": eni.status, "subnet_id": eni.subnet.id, "vpc_id": eni.subnet.vpc_id,
             "description": eni.description, "instance_id": eni.instance.id if eni.instance else None,
             "tags": tags(eni)}
            for eni in list(ec2.enis.values())
            if not (eni.instance is not None and eni.device_index == 0)
        ]
        addresses = [
            {"allocation_id": a.allocation_id, "public_ip": a.public_ip, "association_id": a.association_id,
             "tags": tags(a)}
            for a in list(ec2.addresses)
        ]
        instance_list = [
            {"id": i.id, "state": i.state, "vpc_id": i.vpc_id, "tags": tags(i),
             "user_data": _user_data_text(i),
             "shutdown_behavior": getattr(i, "instance_initiated_shutdown_behavior", None)}
            for i in ec2.all_instances() if i.state != "terminated"
        ]
        groups = [
            {"group_id": g.id, "group_name": g.name, "vpc_id": g.vpc_id, "tags": tags(g)}
            for vpc_groups in list(ec2.groups.values()) for g in list(vpc_groups.values())
            if g.name != "default"
        ]
        seeded_roles = set(world.ids.get("roles", {}))
        seeded_policies = {world.ids.get("allow_all_policy_arn")}
        return {
            "instances": dict(sorted(instances.items())),
            "instance_ids_launched": launched,
            "instance_list": instance_list,
            "network_interfaces": interfaces,
            "addresses": addresses,
            "security_groups": groups,
            "key_pairs": sorted(ec2.key_pairs),
            "key_pair_tags": {name: tags(pair) for name, pair in list(ec2.key_pairs.items())},
            "iam": {
                "roles": sorted(r.name for r in list(iam.roles.values()) if r.name not in seeded_roles),
                "instance_profiles": sorted(p.name for p in list(iam.instance_profiles.values())),
                "policies": sorted(p.name for arn, p in list(iam.managed_policies.items())
                                   if arn.split(":")[4] != "aws" and arn not in seeded_policies),
            },
        }


def _user_data_text(instance) -> str | None:
    """The start-up text an instance was launched with, decoded."""
    import base64

    data = instance.user_data
    if isinstance(data, (list, tuple)):
        data = data[0] if data else None
    if data is None:
        return None
    if hasattr(data, "decode") and not isinstance(data, bytes):  # moto's Base64EncodedString
        return data.decode("utf-8")
    if isinstance(data, str):
        data = data.encode()
    try:
        return base64.b64decode(data).decode("utf-8", "replace")
    except ValueError:
        return data.decode("utf-8", "replace")


REALISM = Realism()


# Hooks on moto's classes ----------------------------------------------------------

_installed = False


def install() -> None:
    """Hook the profile into moto; installed after the corrections, whose
    patched methods these wrap."""
    global _installed
    if _installed:
        return
    from moto.ec2.models.elastic_ip_addresses import ElasticAddressBackend
    from moto.ec2.models.elastic_network_interfaces import NetworkInterface, NetworkInterfaceBackend
    from moto.ec2.models.instances import Instance, InstanceBackend
    from moto.ec2.models.key_pairs import KeyPairBackend
    from moto.ec2.models.security_groups import SecurityGroupBackend

    run_instances = InstanceBackend.run_instances

    def run_instances_hooked(self, *args, **kwargs):
        before = set(self.enis)
        reservation = run_instances(self, *args, **kwargs)
        REALISM.on_launch(reservation.instances, [eni for eni_id, eni in list(self.enis.items())
                                                  if eni_id not in before])
        return reservation

    terminate_instances = InstanceBackend.terminate_instances

    def terminate_instances_hooked(self, instance_ids):
        if not REALISM.active:
            return terminate_instances(self, instance_ids)
        from moto.ec2.exceptions import InvalidParameterCombination, OperationNotPermitted4

        if not instance_ids:
            raise InvalidParameterCombination("No instances specified")
        instances = self.get_multi_instances_by_id(instance_ids)
        for instance in instances:
            if instance.disable_api_termination is True:
                raise OperationNotPermitted4(instance.id)
        answered = []
        for instance in instances:
            previous = copy.copy(instance._state)
            if not REALISM.on_terminate(instance):
                previous = instance.terminate()
            answered.append((instance, previous))
        return answered

    def created(kind, key_of, original):
        def hooked(self, *args, **kwargs):
            made = original(self, *args, **kwargs)
            REALISM.on_create(kind, key_of(made))
            if kind == "key_pair_name":
                REALISM.on_create("key_pair", made.id)
            return made
        return hooked

    attach = NetworkInterfaceBackend.attach_network_interface

    def attach_hooked(self, eni_id, instance_id, device_index):
        attachment = attach(self, eni_id, instance_id, device_index)
        REALISM.on_attach(self.get_network_interface(eni_id))
        return attachment

    detach = NetworkInterfaceBackend.detach_network_interface

    def detach_hooked(self, attachment_id):
        eni = next((e for e in list(self.enis.values()) if e.attachment_id == attachment_id), None)
        # The corrections' checks (unknown attachment, primary interface)
        # answer through the original.
        if eni is None or eni.device_index == 0 or not REALISM.on_detach(eni):
            return detach(self, attachment_id)
        return None

    def status_of(original):
        def status(self):
            from .guard import GUARD

            if self.state_code == 16 and (REALISM.status_initializing(self.id) or GUARD.doomed(self.id)):
                return copy.deepcopy(_INITIALIZING)
            return original.fget(self)
        return property(status)

    attachment = NetworkInterface.attachment

    def attachment_hooked(self):
        found = attachment.fget(self)
        if found is not None:
            status = REALISM.attachment_status(self.id)
            if status is not None:
                found.status = status
        return found

    InstanceBackend.run_instances = run_instances_hooked
    InstanceBackend.terminate_instances = terminate_instances_hooked
    SecurityGroupBackend.create_security_group = created(
        "security_group", lambda group: group.id, SecurityGroupBackend.create_security_group)
    NetworkInterfaceBackend.create_network_interface = created(
        "network_interface", lambda eni: eni.id, NetworkInterfaceBackend.create_network_interface)
    ElasticAddressBackend.allocate_address = created(
        "address", lambda address: address.allocation_id, ElasticAddressBackend.allocate_address)
    KeyPairBackend.create_key_pair = created(
        "key_pair_name", lambda pair: pair.key_name, KeyPairBackend.create_key_pair)
    KeyPairBackend.import_key_pair = created(
        "key_pair_name", lambda pair: pair.key_name, KeyPairBackend.import_key_pair)
    NetworkInterfaceBackend.attach_network_interface = attach_hooked
    NetworkInterfaceBackend.detach_network_interface = detach_hooked
    Instance.instance_status = status_of(Instance.instance_status)
    Instance.system_status = status_of(Instance.system_status)
    NetworkInterface.attachment = property(attachment_hooked)
    _installed = True
