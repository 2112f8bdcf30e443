"""Seeding the sandbox's world from a JSON description.

Everything is made through moto's backend objects inside this process, not
through HTTP calls: with signature checking on, moto counts unchecked calls
from its first request, and the world must exist before any client speaks.
"""

from __future__ import annotations

import datetime as dt
import json
import threading

from moto.core import DEFAULT_ACCOUNT_ID
from moto.ec2.models import ec2_backends
from moto.iam.models import iam_backends
from moto.s3.models import s3_backends
from moto.ssm.models import ssm_backends
from moto.sts.models import sts_backends
from moto.utilities.utils import get_partition

ALLOW_ALL = json.dumps({
    "Version": "2012-10-17",
    "Statement": [{"Effect": "Allow", "Action": "*", "Resource": "*"}],
})

# "Principal": {"AWS": "*"} admits any caller, as a trust policy with the
# bare "*" does; moto evaluates only this spelling.
TRUST_ANYONE = json.dumps({
    "Version": "2012-10-17",
    "Statement": [{"Effect": "Allow", "Principal": {"AWS": "*"}, "Action": "sts:AssumeRole"}],
})


class WorldError(ValueError):
    """A world description that cannot be seeded."""


def generate_rsa_private_key() -> str:
    """A fresh 2048-bit RSA private key in traditional PEM, as EC2 hands out."""
    from cryptography.hazmat.primitives import serialization
    from cryptography.hazmat.primitives.asymmetric import rsa

    key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
    return key.private_bytes(
        serialization.Encoding.PEM,
        serialization.PrivateFormat.TraditionalOpenSSL,
        serialization.NoEncryption(),
    ).decode("ascii")


def parse_creation_date(text: str) -> dt.datetime:
    """An image CreationDate as AWS writes it (2024-01-01T00:00:00.000Z)."""
    try:
        when = dt.datetime.fromisoformat(text.replace("Z", "+00:00"))
    except ValueError as error:
        raise WorldError(f"creation_date {text!r} is not an ISO 8601 time") from error
    if when.tzinfo is None:
        when = when.replace(tzinfo=dt.timezone.utc)
    return when.astimezone(dt.timezone.utc).replace(tzinfo=None)


class World:
    """The seeded world and the ids it was given."""

    def __init__(self, description: dict) -> None:
        self.description = description
        self.region = description.get("region", "us-east-1")
        self.partition = get_partition(self.region)
        self.account = str(description.get("account_id", DEFAULT_ACCOUNT_ID))
        if self.account != DEFAULT_ACCOUNT_ID:
            # Access keys moto does not know resolve to its default account,
            # so the world has to live there for the seeded keys to work.
            raise WorldError(f"account_id must be moto's default account {DEFAULT_ACCOUNT_ID}")
        self.ids: dict = {}
        self.endpoint: str | None = None  # set once the server listens
        self.ca_bundle: str | None = None  # the certificate an https server presents
        self._credentials_lock = threading.Lock()
        self._metadata_credentials: dict | None = None

    # Backends --------------------------------------------------------------

    @property
    def ec2(self):
        return ec2_backends[self.account][self.region]

    @property
    def iam(self):
        return iam_backends[self.account][self.partition]

    @property
    def s3(self):
        return s3_backends[self.account][self.partition]

    @property
    def ssm(self):
        return ssm_backends[self.account][self.region]

    @property
    def sts(self):
        return sts_backends[self.account][self.partition]

    # Seeding -----------------------------------------------------------------

    def seed(self) -> dict:
        self._metadata_credentials = None
        ids: dict = {"region": self.region, "partition": self.partition, "account": self.account}
        if self.endpoint:
            ids["endpoint"] = self.endpoint
        if self.ca_bundle:
            ids["ca_bundle"] = self.ca_bundle
        ids.update(self._seed_network())
        ids.update(self._seed_bucket())
        ids.update(self._seed_identity())
        ids["parameters"] = self._seed_parameters()
        ids["images"] = self.set_image_dates(self.description.get("images", []))
        ids["metadata_role"] = self.description.get("metadata_role")
        self.ids = ids
        return ids

    def _seed_network(self) -> dict:
        vpc_def = self.description.get("vpc")
        if not vpc_def:
            return {}
        vpc = self.ec2.create_vpc(vpc_def["cidr"], tags=[{"Key": "Name", "Value": vpc_def.get("name", "")}])
        subnets: dict[str, dict] = {}
        by_name: dict[str, str] = {}
        for item in self.description.get("subnets", []):
            subnet = self.ec2.create_subnet(
                vpc.id, item["cidr"], availability_zone=item.get("availability_zone"),
                tags={"subnet": {"Name": item["name"]}},
            )
            subnet.map_public_ip_on_launch = bool(item.get("map_public_ip_on_launch", False))
            by_name[item["name"]] = subnet.id
            subnets[item["name"]] = {
                "id": subnet.id,
                "cidr": item["cidr"],
                "kind": item.get("kind", "gw"),
                "availability_zone": subnet.availability_zone,
            }
        test_config = []
        for item in self.description.get("subnets", []):
            if item.get("kind", "gw") != "gw":
                continue
            private = item.get("private")
            if private and private not in by_name:
                raise WorldError(f"subnet {item['name']} names an unknown private subnet {private}")
            entry = {
                "gw_subnet_id": by_name[item["name"]],
                "private_subnet_id": by_name.get(private, ""),
                "gw_private_ip": item.get("gw_private_ip", ""),
                "nat_gw_id": item.get("nat_gw_id", ""),
                "gw_name": item.get("gw_name", item["name"]),
            }
            if private:
                entry["private_subnet_cidr"] = subnets[private]["cidr"]
            test_config.append(entry)
        return {
            "vpc_id": vpc.id,
            "vpc_cidr": vpc_def["cidr"],
            "subnets": subnets,
            "subnet_ids": by_name,
            "gw_subnet_ids": [s["id"] for s in subnets.values() if s["kind"] == "gw"],
            "private_subnet_ids": [s["id"] for s in subnets.values() if s["kind"] == "private"],
            "test_config": test_config,
        }

    def _seed_bucket(self) -> dict:
        name = self.description.get("bucket")
        if not name:
            return {}
        self.s3.create_bucket(name, self.region)
        return {"bucket": name}

    def _seed_identity(self) -> dict:
        ids: dict = {}
        policy = self.iam.create_policy(
            description="Allows every action", path="/", policy_document=ALLOW_ALL,
            policy_name="probefleet-sandbox-allow-all", tags=[],
        )
        ids["allow_all_policy_arn"] = policy.arn
        user_def = self.description.get("user")
        if user_def:
            user = self.iam.create_user(self.region, user_def["name"])
            self.iam.attach_user_policy(policy.arn, user.name)
            key = self.iam.create_access_key(user.name)
            ids["user"] = {
                "name": user.name,
                "arn": user.arn,
                "access_key_id": key.access_key_id,
                "secret_access_key": key.secret_access_key,
            }
        roles = {}
        for role_name in self.description.get("roles", []):
            role = self.iam.create_role(
                role_name=role_name, assume_role_policy_document=TRUST_ANYONE, path="/",
                permissions_boundary=None, description="sandbox role", tags=[],
                max_session_duration="3600",
            )
            self.iam.attach_role_policy(policy.arn, role.name)
            roles[role_name] = role.arn
        ids["roles"] = roles
        return ids

    def _seed_parameters(self) -> dict:
        made = {}
        for item in self.description.get("parameters", []):
            if item.get("generate") == "rsa-private-key":
                value = generate_rsa_private_key()
            elif "value" in item:
                value = str(item["value"])
            else:
                raise WorldError(f"parameter {item.get('name')} has no value")
            self.ssm.put_parameter(
                name=item["name"], description=item.get("description", ""), value=value,
                parameter_type=item.get("type", "String"), allowed_pattern=None, keyid=None,
                overwrite=False, tags=[], data_type="text", tier=None, policies=None,
            )
            made[item["name"]] = item.get("type", "String")
        return made

    # Images ------------------------------------------------------------------

    def set_image_dates(self, items: list[dict]) -> dict:
        """Give images distinct CreationDate values; each item names the image
        by "image_id" or "name". An item with "from_region" copies the image
        of that name from moto's catalogue of that Region (Regions of other
        partitions have few images), as an Amazon image with an id of its
        own; "latest_parameter" (a name or a list) then publishes it under
        /aws/service/ami-amazon-linux-latest/ as AWS does for its images.
        Returns {image id: {name, architecture, creation_date}}."""
        done = {}
        for item in items:
            image = self._copy_image(item) if "from_region" in item else self._find_image(item)
            if "creation_date" not in item:
                raise WorldError(f"image {item} has no creation_date")
            image.creation_date = parse_creation_date(item["creation_date"])
            done[image.id] = {
                "name": image.name,
                "architecture": image.architecture,
                "creation_date": item["creation_date"],
            }
        return done

    def _copy_image(self, item: dict):
        from moto.ec2.models.amis import Ami
        from moto.ec2.utils import random_ami_id

        source_backend = ec2_backends[self.account][item["from_region"]]
        source = next((ami for ami in source_backend.amis.values() if ami.name == item.get("name")), None)
        if source is None:
            raise WorldError(f"no image named {item.get('name')!r} in {item['from_region']}")
        image = next((ami for ami in self.ec2.amis.values() if ami.name == source.name), None)
        if image is None:
            image_id = random_ami_id()
            image = Ami(self.ec2, image_id, source_ami=source, owner_id=source.owner_id, owner_alias="amazon",
                        public=True, state="available", image_location=source.image_location,
                        hypervisor=source.hypervisor, root_device_type=source.root_device_type,
                        root_device_name=source.root_device_name, sriov=source.sriov,
                        region_name=f"{self.region}a", boot_mode=source.boot_mode)
            self.ec2.amis[image_id] = image
        aliases = item.get("latest_parameter") or []
        for alias in [aliases] if isinstance(aliases, str) else aliases:
            self._publish_latest(alias, image.id)
        return image

    def _publish_latest(self, alias: str, image_id: str) -> None:
        from moto.core.utils import utcnow
        from moto.ssm.models import Parameter

        name = f"/aws/service/ami-amazon-linux-latest/{alias}"
        parameters = self.ssm._parameters
        parameters._check_loading_status(name)  # moto's own catalogue first, then ours on top
        parameters[name] = [Parameter(
            account_id=self.account, name=name, value=image_id, parameter_type="String", description=None,
            allowed_pattern=None, keyid=None, last_modified_date=utcnow(), version=1, data_type="aws:ec2:image")]

    def _find_image(self, item: dict):
        if "image_id" in item:
            image = self.ec2.amis.get(item["image_id"])
        elif "name" in item:
            image = next((ami for ami in self.ec2.amis.values() if ami.name == item["name"]), None)
        else:
            raise WorldError(f"image {item} names no image_id or name")
        if image is None:
            raise WorldError(f"no such image: {item}")
        return image

    # Credentials served by the metadata paths ------------------------------

    def metadata_credentials(self) -> tuple[str, dict]:
        """The metadata role's name and temporary credentials that moto
        accepts (an AssumeRole made in-process), renewed before they expire."""
        role = self.description.get("metadata_role")
        if not role or role not in self.ids.get("roles", {}):
            raise WorldError("the world has no metadata_role")
        with self._credentials_lock:
            now = dt.datetime.now(dt.timezone.utc)
            current = self._metadata_credentials
            if current is None or current["Expiration"] - now < dt.timedelta(minutes=15):
                assumed = self.sts.assume_role(
                    region_name=self.region, role_session_name="i-sandbox-instance",
                    role_arn=self.ids["roles"][role], policy=None, duration=3600, external_id=None,
                )
                expiration = assumed.expiration
                if expiration.tzinfo is None:
                    expiration = expiration.replace(tzinfo=dt.timezone.utc)
                current = {
                    "AccessKeyId": assumed.access_key_id,
                    "SecretAccessKey": assumed.secret_access_key,
                    "Token": assumed.session_token,
                    "Expiration": expiration,
                }
                self._metadata_credentials = current
            return role, dict(current)
