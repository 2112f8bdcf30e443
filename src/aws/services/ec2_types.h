#pragma once
// The EC2 model: the plain request and result shapes the EC2 client takes
// and returns. Code that passes tags, instances or groups around includes
// this header; only code that talks to EC2 needs the client (ec2.h).
//
// Conventions: an empty vector or an empty string in a request is left out
// of it; std::optional marks fields that are sent only when set (so that
// "false" can be sent on purpose). In results, a text member that EC2 did
// not send is the empty string; a structure it did not send is nullopt.

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace aws::ec2 {

// ---- Shared shapes -------------------------------------------------------

struct Tag {
  std::string key;
  std::string value;
  bool operator==(const Tag&) const = default;
};

struct TagSpecification {
  std::string resource_type;  // "instance", "security-group", "key-pair", ...
  std::vector<Tag> tags;
};

struct Filter {
  std::string name;
  std::vector<std::string> values;
};

/// The value of the tag `key`, or "" when there is none.
std::string tagValue(const std::vector<Tag>& tags, const std::string& key);

struct GroupIdentifier {
  std::string group_id;
  std::string group_name;
};

// ---- Images and instance types -------------------------------------------

struct DescribeImagesRequest {
  std::vector<std::string> image_ids;
  std::vector<std::string> executable_users;  // "all", "self", account ids
  std::vector<Filter> filters;
  std::vector<std::string> owners;  // "amazon", "self", account ids
  std::optional<bool> include_deprecated;
  std::string next_token;
};

struct Image {
  std::string image_id;
  std::string name;
  std::string creation_date;
  std::string architecture;
  std::string state;
  std::string owner_id;
  /// imageAllowed: whether the account's Allowed AMIs setting admits the
  /// image; nullopt when EC2 did not say (the setting is off, or an older
  /// endpoint).
  std::optional<bool> image_allowed;
};

struct DescribeImagesResult {
  std::vector<Image> images;  // in the order EC2 returned them
  std::string next_token;
};

struct DescribeInstanceTypesRequest {
  std::vector<std::string> instance_types;
  std::vector<Filter> filters;
  std::string next_token;
};

struct InstanceTypeInfo {
  std::string instance_type;
  std::vector<std::string> supported_architectures;  // "x86_64", "arm64", ...
  std::optional<int> default_vcpus;                  // vCpuInfo/defaultVCpus
};

struct DescribeInstanceTypesResult {
  std::vector<InstanceTypeInfo> instance_types;
  std::string next_token;
};

struct DescribeInstanceTypeOfferingsRequest {
  /// "region", "availability-zone", "availability-zone-id" or "outpost";
  /// "" = not sent (EC2 answers per region).
  std::string location_type;
  /// "instance-type", "location", ...
  std::vector<Filter> filters;
  std::optional<int> max_results;
  std::string next_token;
};

/// One instance type offered in one location (a zone name such as
/// "us-east-1a" when the location type is "availability-zone").
struct InstanceTypeOffering {
  std::string instance_type, location_type, location;
};

struct DescribeInstanceTypeOfferingsResult {
  std::vector<InstanceTypeOffering> offerings;
  std::string next_token;
};

/// GetAllowedImagesSettings. `state` is "enabled", "disabled" or
/// "audit-mode"; `managed_by` "account" or "declarative-policy".
struct AllowedImagesSettings {
  std::string state;
  std::string managed_by;
};

// ---- VPCs and subnets ----------------------------------------------------

struct Vpc {
  std::string vpc_id;
  std::string cidr_block;
  std::string state;
  std::vector<Tag> tags;
};

struct Subnet {
  std::string subnet_id;
  std::string vpc_id;
  std::string cidr_block;
  std::string availability_zone;
  std::string state;
  std::vector<Tag> tags;
  /// How many private IPv4 addresses are free; nullopt when EC2 sent none.
  std::optional<int> available_ip_address_count;
};

struct DescribeSubnetsRequest {
  std::vector<std::string> subnet_ids;
  std::vector<Filter> filters;
  std::string next_token;
};

struct DescribeSubnetsResult {
  std::vector<Subnet> subnets;
  std::string next_token;
};

struct CreateVpcRequest {
  std::string cidr_block;
  std::vector<TagSpecification> tag_specifications;
};

struct CreateSubnetRequest {
  std::string vpc_id;
  std::string cidr_block;
  std::string availability_zone;
  std::vector<TagSpecification> tag_specifications;
};

// ---- Route tables --------------------------------------------------------

struct RouteTableAssociation {
  std::string subnet_id;  // "" for the main association (and a gateway's)
  bool main = false;      // the VPC's main table: it serves every subnet without one
};

/// One route. EC2 names a gateway endpoint's route by `gateway_id`
/// ("vpce-..."), with the service's prefix list as destination
/// ("pl-..."); `vpc_endpoint_id` repeats such a gateway id so that callers
/// need not know the prefix.
struct Route {
  std::string destination_cidr_block;
  std::string destination_prefix_list_id;
  std::string gateway_id;  // "igw-...", "vgw-...", "vpce-...", "local"
  std::string nat_gateway_id;
  std::string transit_gateway_id;
  std::string vpc_endpoint_id;
  std::string state;  // "active" or "blackhole"
};

struct RouteTable {
  std::string route_table_id, vpc_id;
  std::vector<RouteTableAssociation> associations;
  std::vector<Route> routes;
};

struct DescribeRouteTablesRequest {
  std::vector<Filter> filters;  // "vpc-id", "association.subnet-id", "association.main", ...
  std::vector<std::string> route_table_ids;
  std::string next_token;
};

struct DescribeRouteTablesResult {
  std::vector<RouteTable> route_tables;
  std::string next_token;
};

// ---- VPC Block Public Access ---------------------------------------------

/// The account's VPC Block Public Access in the region. `state` is
/// "default-state", "update-in-progress" or "update-complete";
/// `internet_gateway_block_mode` "off", "block-bidirectional" or
/// "block-ingress"; `exclusions_allowed` "allowed" or "not-allowed".
struct VpcBlockPublicAccessOptions {
  std::string state;
  std::string internet_gateway_block_mode;
  std::string exclusions_allowed;
};

/// An exclusion: a VPC or subnet (by `resource_arn`) that traffic may
/// reach in spite of the block. `internet_gateway_exclusion_mode` is
/// "allow-bidirectional" or "allow-egress"; `state` "create-complete",
/// "delete-complete", ...
struct VpcBlockPublicAccessExclusion {
  std::string exclusion_id, internet_gateway_exclusion_mode, resource_arn, state;
};

// ---- Security groups -----------------------------------------------------

struct IpRange {
  std::string cidr_ip;
  std::string description;
};

struct IpPermission {
  std::string ip_protocol;  // "tcp", "udp", "icmp", "-1"
  std::optional<int> from_port;
  std::optional<int> to_port;
  std::vector<IpRange> ip_ranges;
};

struct SecurityGroup {
  std::string group_id;
  std::string group_name;
  std::string description;
  std::string vpc_id;
  std::vector<IpPermission> ip_permissions;  // inbound rules
  std::vector<Tag> tags;
};

struct DescribeSecurityGroupsRequest {
  std::vector<std::string> group_ids;
  std::vector<std::string> group_names;
  std::vector<Filter> filters;
  std::string next_token;
};

struct DescribeSecurityGroupsResult {
  std::vector<SecurityGroup> security_groups;
  std::string next_token;
};

struct CreateSecurityGroupRequest {
  std::string description;
  std::string group_name;
  std::string vpc_id;
  std::vector<TagSpecification> tag_specifications;
  /// See RunInstancesRequest::dry_run.
  bool dry_run = false;
};

struct AuthorizeSecurityGroupIngressRequest {
  std::string group_id;
  std::vector<IpPermission> ip_permissions;
  /// Tags of the new rules ("security-group-rule").
  std::vector<TagSpecification> tag_specifications = {};
};

// ---- Key pairs -----------------------------------------------------------

struct KeyPairInfo {
  std::string key_pair_id;
  std::string key_name;
  std::string key_fingerprint;
  std::string key_type;
  std::string public_key;  // only with include_public_key
  std::vector<Tag> tags;
  std::string create_time;  // ISO 8601, as EC2 reports it
};

struct DescribeKeyPairsRequest {
  std::vector<std::string> key_names;
  std::vector<std::string> key_pair_ids;
  std::vector<Filter> filters;
  std::optional<bool> include_public_key;
};

struct CreateKeyPairRequest {
  std::string key_name;
  std::string key_type;    // "rsa" or "ed25519"
  std::string key_format;  // "pem" or "ppk"
  std::vector<TagSpecification> tag_specifications;
  /// See RunInstancesRequest::dry_run.
  bool dry_run = false;
};

/// The answer to CreateKeyPair. `key_material` is the private key: a secret
/// that must never reach a log line or an error message.
struct CreatedKeyPair {
  std::string key_pair_id;
  std::string key_name;
  std::string key_fingerprint;
  std::string key_material;
};

struct DeleteKeyPairRequest {
  std::string key_name;
  std::string key_pair_id;
};

// ---- Instances -----------------------------------------------------------

struct Attachment {
  std::string attachment_id;
  std::optional<int> device_index;
  std::string instance_id;
  std::string status;  // "attaching", "attached", "detaching", "detached"
};

struct Association {
  std::string public_ip;
  std::string allocation_id;
  std::string association_id;
};

/// A network interface as DescribeInstances (inside an instance) and
/// DescribeNetworkInterfaces return it.
struct NetworkInterface {
  std::string network_interface_id;
  std::string subnet_id;
  std::string vpc_id;
  std::string private_ip_address;
  std::string description;
  std::string status;  // "available", "in-use", ...
  std::vector<GroupIdentifier> groups;
  std::optional<Attachment> attachment;
  std::optional<Association> association;
  std::vector<Tag> tags;
};

struct Instance {
  std::string instance_id;
  std::string image_id;
  std::string instance_type;
  std::string key_name;
  std::string state_name;  // "pending", "running", "terminated", ...
  std::string public_ip_address;
  std::string private_ip_address;
  std::string subnet_id;
  std::string vpc_id;
  std::string availability_zone;  // Placement.AvailabilityZone
  /// Why the instance changed state last ("Server.InsufficientInstanceCapacity",
  /// "Client.InvalidKMSKey.InvalidState", ...): StateReason's code and message,
  /// and the StateTransitionReason text. Empty when EC2 sent none.
  std::string state_reason_code;
  std::string state_reason_message;
  std::string state_transition_reason;
  /// MetadataOptions.HttpTokens: "required" when only IMDSv2 is served.
  std::string metadata_http_tokens;
  /// When it was launched, as EC2 reports it ("2026-12-09T11:00:00.000Z").
  std::string launch_time;
  std::vector<Tag> tags;
  std::vector<NetworkInterface> network_interfaces;
};

struct Reservation {
  std::string reservation_id;
  std::vector<Instance> instances;
};

struct DescribeInstancesRequest {
  std::vector<std::string> instance_ids;
  std::vector<Filter> filters;
  std::string next_token;
  std::optional<int> max_results;
};

struct DescribeInstancesResult {
  std::vector<Reservation> reservations;
  std::string next_token;  // "" on the last page
};

struct IamInstanceProfileSpecification {
  std::string arn;
  std::string name;
};

/// RunInstances' MetadataOptions: how the instance serves its metadata.
struct InstanceMetadataOptions {
  std::string http_tokens;    // "required" (IMDSv2 only) or "optional"
  std::string http_endpoint;  // "enabled" or "disabled"
};

/// One element of RunInstances' NetworkInterfaces.
struct InstanceNetworkInterfaceSpecification {
  std::optional<int> device_index;
  std::string subnet_id;
  std::string network_interface_id;
  std::string description;
  std::optional<bool> associate_public_ip_address;
  std::optional<bool> delete_on_termination;
  std::vector<std::string> groups;  // security group ids
};

struct RunInstancesRequest {
  std::string image_id;
  std::string instance_type;
  std::string key_name;
  int min_count = 1;
  int max_count = 1;
  std::vector<std::string> security_group_ids;
  std::string subnet_id;
  std::optional<IamInstanceProfileSpecification> iam_instance_profile;
  std::optional<InstanceMetadataOptions> metadata_options;
  /// The start-up script as plain text; it is sent base64-encoded, as the
  /// SDKs do.
  std::string user_data;
  std::vector<TagSpecification> tag_specifications;
  std::vector<InstanceNetworkInterfaceSpecification> network_interfaces;
  /// "stop" or "terminate": what a shutdown from inside the instance does;
  /// "" = not sent (EC2 stops it).
  std::string instance_initiated_shutdown_behavior;
  /// Idempotency token; one is generated when empty. The same token is sent
  /// on every retry of the call so that a retry never launches twice.
  std::string client_token;
  /// Sends DryRun=true: EC2 checks the caller's permissions and the
  /// parameters and makes nothing. An allowed dry run is answered with HTTP
  /// 412 and the code "DryRunOperation", which the client throws as a
  /// ServiceError like any refusal ("UnauthorizedOperation" when a policy
  /// denies it); neither is retried, and neither slows an adaptive client.
  bool dry_run = false;
};

struct RunInstancesResult {
  std::string reservation_id;
  std::vector<Instance> instances;
};

struct DescribeInstanceStatusRequest {
  std::vector<std::string> instance_ids;
  std::vector<Filter> filters;
  std::optional<bool> include_all_instances;
  std::string next_token;
};

struct InstanceStatus {
  std::string instance_id;
  std::string instance_state_name;  // InstanceState.Name
  /// InstanceStatus.Status and SystemStatus.Status ("ok", "initializing",
  /// "impaired", ...); nullopt when EC2 sent no such member.
  std::optional<std::string> instance_status;
  std::optional<std::string> system_status;
};

struct DescribeInstanceStatusResult {
  std::vector<InstanceStatus> instance_statuses;
  std::string next_token;
};

struct InstanceStateChange {
  std::string instance_id;
  std::string current_state;
  std::string previous_state;
};

// ---- Network interfaces --------------------------------------------------

struct CreateNetworkInterfaceRequest {
  std::string subnet_id;
  std::vector<std::string> groups;  // security group ids
  std::string description;
  std::string private_ip_address;
  std::vector<TagSpecification> tag_specifications;
  /// Idempotency token; generated when empty (see RunInstancesRequest).
  std::string client_token;
  /// See RunInstancesRequest::dry_run.
  bool dry_run = false;
};

struct AttachNetworkInterfaceRequest {
  int device_index = 1;
  std::string instance_id;
  std::string network_interface_id;
};

struct DetachNetworkInterfaceRequest {
  std::string attachment_id;
  std::optional<bool> force;
};

struct DescribeNetworkInterfacesRequest {
  std::vector<std::string> network_interface_ids;
  std::vector<Filter> filters;
  std::string next_token;
};

struct DescribeNetworkInterfacesResult {
  std::vector<NetworkInterface> network_interfaces;
  std::string next_token;
};

// ---- Elastic IPs ---------------------------------------------------------

struct AllocateAddressRequest {
  std::string domain;  // "vpc"
  std::vector<TagSpecification> tag_specifications;
  /// See RunInstancesRequest::dry_run.
  bool dry_run = false;
};

struct AllocateAddressResult {
  std::string allocation_id;  // "" when EC2 sent none
  std::string public_ip;
  std::string domain;
};

struct AssociateAddressRequest {
  std::string allocation_id;
  std::string network_interface_id;
  std::string instance_id;
  std::optional<bool> allow_reassociation;
};

struct DescribeAddressesRequest {
  std::vector<std::string> public_ips;
  std::vector<std::string> allocation_ids;
  std::vector<Filter> filters;
};

struct Address {
  std::string public_ip;
  std::string allocation_id;
  std::string association_id;
  std::string instance_id;
  std::string network_interface_id;
  std::string private_ip_address;
  std::string domain;
  std::vector<Tag> tags;
};

struct ReleaseAddressRequest {
  std::string allocation_id;
  std::string public_ip;
};

/// DescribeAccountAttributes: each attribute's values, by attribute name
/// ("vpc-max-elastic-ips", "max-instances", ...).
using AccountAttributes = std::map<std::string, std::vector<std::string>>;

struct CreateTagsRequest {
  std::vector<std::string> resources;
  std::vector<Tag> tags;
};

}  // namespace aws::ec2
