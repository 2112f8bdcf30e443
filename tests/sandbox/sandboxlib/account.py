"""Account settings EC2 has and moto lacks, and the Service Quotas figure
launchers read:

  GetEbsDefaultKmsKeyId, ModifyEbsDefaultKmsKeyId, ResetEbsDefaultKmsKeyId
  GetAllowedImagesSettings
  DescribeVpcBlockPublicAccessOptions, DescribeVpcBlockPublicAccessExclusions
  Service Quotas GetServiceQuota of ec2 L-1216C47A

The answers are written through moto's own serializer (botocore's model),
so their shapes are EC2's. The Allowed AMIs setting, Block Public Access and
the vCPU quota are the guarded profile's rules; the EBS default key is the
account's state in moto's EC2 backend, so moto's reset clears it.
"""

from __future__ import annotations

import datetime as dt
import os

from .guard import GuardError

AWS_MANAGED_EBS_KEY = "alias/aws/ebs"

# GetServiceQuota of the On-Demand Standard instances' quota while the guard
# sets none: a figure an established account has (the quota is per account
# and not published).
STANDARD_QUOTA_CODE = "L-1216C47A"
DEFAULT_STANDARD_VCPUS = 1152

KEY_STATES = ("Enabled", "Disabled", "PendingDeletion")


# Parsing the rules ---------------------------------------------------------------

def parse_block_public_access(value, context: dict):
    if value is False or value is None:
        return None
    modes = ("off", "block-bidirectional", "block-ingress")
    if not isinstance(value, dict) or set(value) - {"mode", "exclusions"} or value.get("mode") not in modes:
        raise GuardError(f'block_public_access is {{"mode": one of {list(modes)}, "exclusions": [...]}}')
    exclusions = []
    for item in value.get("exclusions", []):
        kinds = {"vpc", "subnet"} & set(item) if isinstance(item, dict) else set()
        if len(kinds) != 1 or set(item) - {"vpc", "subnet", "mode"} \
                or item.get("mode", "allow-bidirectional") not in ("allow-bidirectional", "allow-egress"):
            raise GuardError('each exclusion is {"vpc": "world" or an id, or "subnet": a world name or an id, '
                             '"mode": "allow-bidirectional"|"allow-egress"}')
        kind = kinds.pop()
        # "world" names the world's VPC, a world name one of its subnets
        names = {"world": context.get("vpc_id")} if kind == "vpc" else context.get("subnet_ids") or {}
        resource = names.get(item[kind], item[kind])
        if not isinstance(resource, str) or not resource.startswith(f"{kind}-"):
            raise GuardError(f"exclusion {kind} {item[kind]!r} is neither the world's nor an id")
        exclusions.append({
            "exclusion_id": "vpcbpa-exclude-" + os.urandom(9).hex()[:17],
            "resource_arn": f"arn:{context['partition']}:ec2:{context['region']}:{context['account']}:{kind}/{resource}",
            "mode": item.get("mode", "allow-bidirectional"),
            "created": dt.datetime.now(dt.timezone.utc).replace(microsecond=0).isoformat(),
        })
    return {"mode": value["mode"], "exclusions": exclusions}


def parse_ebs_encryption(value, context: dict):
    """{"key_state": ...} turns encryption by default on with a customer key
    made in that state as the default key."""
    if value is False or value is None:
        return None
    if not isinstance(value, dict) or set(value) - {"key_state", "after_s"} \
            or value.get("key_state", "Enabled") not in KEY_STATES:
        raise GuardError(f'ebs_encryption is {{"key_state": one of {list(KEY_STATES)}, "after_s": seconds}}')
    after = value.get("after_s", 5.0)
    if isinstance(after, bool) or not isinstance(after, (int, float)) or after < 0:
        raise GuardError("after_s is a number of seconds, 0 or more")
    return {"key_state": value.get("key_state", "Enabled"), "after_s": float(after)}


def apply_ebs_encryption(rule: dict | None, previous: dict | None, region: str, account: str) -> dict | None:
    """Make the account state the rule describes (a KMS key, encryption by
    default, the default key) and undo the previous rule's."""
    from moto.ec2.models import ec2_backends
    from moto.kms.models import kms_backends

    backend, kms = ec2_backends[account][region], kms_backends[account][region]
    if previous is not None:
        kms.keys.pop(previous["key_id"].rpartition("/")[2], None)
        backend.disable_ebs_encryption_by_default()
        backend.sandbox_ebs_default_key = None
    if rule is None:
        return None
    key = kms.create_key(policy=None, key_usage="ENCRYPT_DECRYPT", key_spec="SYMMETRIC_DEFAULT",
                         description="probefleet sandbox: the EBS default key", tags=None)
    if rule["key_state"] == "Disabled":
        kms.disable_key(key.id)
    elif rule["key_state"] == "PendingDeletion":
        kms.schedule_key_deletion(key.id, 7)
    backend.enable_ebs_encryption_by_default()
    backend.sandbox_ebs_default_key = key.arn
    return {**rule, "key_id": key.arn}


# The EBS default key ---------------------------------------------------------------

def _kms_key(region: str, account: str, key_id: str):
    from moto.kms.models import kms_backends

    kms = kms_backends[account][region]
    try:
        return kms.keys.get(kms.any_id_to_key_id(key_id))
    except (KeyError, TypeError, AttributeError):
        return None


def default_key(backend) -> str:
    return getattr(backend, "sandbox_ebs_default_key", None) or AWS_MANAGED_EBS_KEY


def unusable_default_key(backend) -> str | None:
    """The default key while encryption by default is on and that key is a
    customer key that cannot be used (not Enabled, or unknown); else None."""
    if not backend.ebs_encryption_by_default:
        return None
    key_id = default_key(backend)
    if "alias/aws/" in key_id:
        return None  # an AWS managed key is always usable
    key = _kms_key(backend.region_name, backend.account_id, key_id)
    return key_id if key is None or key.key_state != "Enabled" else None


# Hooks on moto ----------------------------------------------------------------------

_installed = False


def install(settings_of) -> None:
    global _installed
    if _installed:
        return
    from moto.core.responses import ActionResult
    from moto.ec2.responses import EC2Response

    def get_ebs_default_kms_key_id(self):
        self.error_on_dryrun()
        return ActionResult({"KmsKeyId": default_key(self.ec2_backend)})

    # AWS takes a key id, key ARN, alias or alias ARN and answers the key's
    # ARN; it checks the key only when it uses it ("if you specify an ID,
    # alias, or ARN that is not valid, the action can appear to complete").
    def modify_ebs_default_kms_key_id(self):
        given = self._get_param("KmsKeyId")
        self.error_on_dryrun()
        key = _kms_key(self.region, self.current_account, given)
        self.ec2_backend.sandbox_ebs_default_key = key.arn if key is not None else given
        return ActionResult({"KmsKeyId": self.ec2_backend.sandbox_ebs_default_key})

    def reset_ebs_default_kms_key_id(self):
        self.error_on_dryrun()
        self.ec2_backend.sandbox_ebs_default_key = None
        return ActionResult({"KmsKeyId": AWS_MANAGED_EBS_KEY})

    def get_allowed_images_settings(self):
        self.error_on_dryrun()
        rule = settings_of()["allowed_images"]
        if rule is None:
            return ActionResult({"State": "disabled", "ManagedBy": "account"})
        criteria = [{key: criterion[name] for name, key in (("providers", "ImageProviders"), ("names", "ImageNames"))
                     if name in criterion} for criterion in rule["criteria"]]
        return ActionResult({"State": rule["state"], "ImageCriteria": criteria, "ManagedBy": "account"})

    def describe_vpc_block_public_access_options(self):
        self.error_on_dryrun()
        rule = settings_of()["block_public_access"]
        options = {"AwsAccountId": self.current_account, "AwsRegion": self.region,
                   "State": "default-state" if rule is None else "update-complete",
                   "InternetGatewayBlockMode": "off" if rule is None else rule["mode"],
                   "ExclusionsAllowed": "allowed", "ManagedBy": "account"}
        return ActionResult({"VpcBlockPublicAccessOptions": options})

    def describe_vpc_block_public_access_exclusions(self):
        self.error_on_dryrun()
        rule = settings_of()["block_public_access"]
        wanted = self._get_param("ExclusionIds", [])
        found = []
        for item in rule["exclusions"] if rule else []:
            if wanted and item["exclusion_id"] not in wanted:
                continue
            created = dt.datetime.fromisoformat(item["created"])
            found.append({"ExclusionId": item["exclusion_id"], "InternetGatewayExclusionMode": item["mode"],
                          "ResourceArn": item["resource_arn"], "State": "create-complete",
                          "CreationTimestamp": created, "LastUpdateTimestamp": created, "Tags": []})
        return ActionResult({"VpcBlockPublicAccessExclusions": found})

    for handler in (get_ebs_default_kms_key_id, modify_ebs_default_kms_key_id, reset_ebs_default_kms_key_id,
                    get_allowed_images_settings, describe_vpc_block_public_access_options,
                    describe_vpc_block_public_access_exclusions):
        setattr(EC2Response, handler.__name__, handler)
    _patch_service_quotas(settings_of)
    _installed = True


def _patch_service_quotas(settings_of) -> None:
    from moto.servicequotas.models import ServiceQuotasBackend
    from moto.utilities.utils import get_partition

    # moto knows only the VPC's quotas; EC2's On-Demand Standard instances'
    # quota is the one launchers read.
    original = ServiceQuotasBackend.get_service_quota

    def get_service_quota(self, service_code, quota_code):
        if service_code != "ec2" or quota_code != STANDARD_QUOTA_CODE:
            return original(self, service_code, quota_code)
        value = settings_of()["vcpu_quota"]
        partition = get_partition(self.region_name)
        return {
            "ServiceCode": "ec2", "ServiceName": "Amazon Elastic Compute Cloud (Amazon EC2)",
            "QuotaArn": f"arn:{partition}:servicequotas:{self.region_name}:{self.account_id}:ec2/{quota_code}",
            "QuotaCode": quota_code,
            "QuotaName": "Running On-Demand Standard (A, C, D, H, I, M, R, T, Z) instances",
            "Value": float(DEFAULT_STANDARD_VCPUS if value is None else value),
            "Unit": "None", "Adjustable": True, "GlobalQuota": False,
            "UsageMetric": {"MetricNamespace": "AWS/Usage", "MetricName": "ResourceCount",
                            "MetricDimensions": {"Class": "Standard/OnDemand", "Resource": "vCPU",
                                                 "Service": "EC2", "Type": "Resource"},
                            "MetricStatisticRecommendation": "Maximum"},
            "QuotaAppliedAtLevel": "ACCOUNT",
        }

    ServiceQuotasBackend.get_service_quota = get_service_quota
