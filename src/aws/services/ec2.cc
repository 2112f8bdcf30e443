#include "aws/services/ec2.h"

#include <openssl/rand.h>

#include <charconv>
#include <cstdio>
#include <set>
#include <stdexcept>
#include <type_traits>
#include <utility>

#include <pugixml.hpp>

#include "aws/base/checksum.h"
#include "aws/client/query_protocol.h"

namespace aws {

namespace {

using protocol::QueryBuilder;
using protocol::text;

// ---- Request building ----------------------------------------------------

QueryBuilder query(const char* action) {
  return QueryBuilder(action, Ec2Client::kApiVersion);
}

void addIfSet(QueryBuilder& q, const std::string& name, const std::string& value) {
  if (!value.empty()) q.add(name, value);
}

void addIfSet(QueryBuilder& q, const std::string& name, const std::optional<bool>& value) {
  if (value) q.add(name, *value);
}

void addIfSet(QueryBuilder& q, const std::string& name, const std::optional<int>& value) {
  if (value) q.add(name, static_cast<long long>(*value));
}

// DryRun is sent only when asked for: "false" is what EC2 assumes anyway.
void addDryRun(QueryBuilder& q, bool dry_run) {
  if (dry_run) q.add("DryRun", true);
}

void addList(QueryBuilder& q, const std::string& prefix, const std::vector<std::string>& values) {
  if (!values.empty()) q.addEc2List(prefix, values);
}

void addTags(QueryBuilder& q, const std::string& prefix, const std::vector<ec2::Tag>& tags) {
  for (std::size_t i = 0; i < tags.size(); ++i) {
    const std::string item = prefix + "." + std::to_string(i + 1);
    q.add(item + ".Key", tags[i].key);
    q.add(item + ".Value", tags[i].value);
  }
}

void addFilters(QueryBuilder& q, const std::vector<ec2::Filter>& filters) {
  for (std::size_t i = 0; i < filters.size(); ++i) {
    const std::string item = "Filter." + std::to_string(i + 1);
    q.add(item + ".Name", filters[i].name);
    addList(q, item + ".Value", filters[i].values);
  }
}

void addTagSpecifications(QueryBuilder& q, const std::vector<ec2::TagSpecification>& specs) {
  for (std::size_t i = 0; i < specs.size(); ++i) {
    const std::string item = "TagSpecification." + std::to_string(i + 1);
    addIfSet(q, item + ".ResourceType", specs[i].resource_type);
    addTags(q, item + ".Tag", specs[i].tags);
  }
}

void addIpPermissions(QueryBuilder& q, const std::vector<ec2::IpPermission>& permissions) {
  for (std::size_t i = 0; i < permissions.size(); ++i) {
    const ec2::IpPermission& p = permissions[i];
    const std::string item = "IpPermissions." + std::to_string(i + 1);
    addIfSet(q, item + ".IpProtocol", p.ip_protocol);
    addIfSet(q, item + ".FromPort", p.from_port);
    addIfSet(q, item + ".ToPort", p.to_port);
    for (std::size_t j = 0; j < p.ip_ranges.size(); ++j) {
      const std::string range = item + ".IpRanges." + std::to_string(j + 1);
      addIfSet(q, range + ".CidrIp", p.ip_ranges[j].cidr_ip);
      addIfSet(q, range + ".Description", p.ip_ranges[j].description);
    }
  }
}

void addInstanceNetworkInterfaces(
    QueryBuilder& q, const std::vector<ec2::InstanceNetworkInterfaceSpecification>& interfaces) {
  for (std::size_t i = 0; i < interfaces.size(); ++i) {
    const auto& n = interfaces[i];
    const std::string item = "NetworkInterface." + std::to_string(i + 1);
    addIfSet(q, item + ".AssociatePublicIpAddress", n.associate_public_ip_address);
    addIfSet(q, item + ".DeleteOnTermination", n.delete_on_termination);
    addIfSet(q, item + ".Description", n.description);
    addIfSet(q, item + ".DeviceIndex", n.device_index);
    addList(q, item + ".SecurityGroupId", n.groups);
    addIfSet(q, item + ".NetworkInterfaceId", n.network_interface_id);
    addIfSet(q, item + ".SubnetId", n.subnet_id);
  }
}

/// Sends one EC2 action and returns the answer's root element's document.
pugi::xml_document send(const ServiceClient& client, const QueryBuilder& q) {
  // EC2 meters each action on its own: so is each action paced.
  ServiceClient::Options options;
  options.rate_scope = q.action();
  HttpResponse response = client.invoke(q.toRequest(), protocol::parseEc2Error, options);
  pugi::xml_document document = protocol::parseXml(response, "EC2 " + q.action() + " answer");
  // An error in a 200 answer is still an error: read as an empty result it
  // would pass for "nothing found".
  const std::string root = document.document_element().name();
  if ((root == "Response" || root == "ErrorResponse") && document.select_node("//Error[Code]")) {
    throw protocol::parseEc2Error(response);
  }
  return document;
}

// ---- Answer parsing ------------------------------------------------------

/// The elements of an EC2 list: <set><item>...</item><item>...</item></set>.
template <class T, class Parse>
std::vector<T> items(const pugi::xml_node& node, const char* set, Parse parse) {
  std::vector<T> out;
  for (const pugi::xml_node& item : node.child(set).children("item")) out.push_back(parse(item));
  return out;
}

/// A Describe* answer: the items of `set` and the token of the next page.
template <class Result, class Parse>
Result page(const pugi::xml_document& doc, const char* set, Parse parse) {
  using Item = std::invoke_result_t<Parse, const pugi::xml_node&>;
  const pugi::xml_node root = doc.document_element();
  return {items<Item>(root, set, parse), text(root, "nextToken")};
}

std::vector<std::string> textItems(const pugi::xml_node& node, const char* set) {
  return items<std::string>(
      node, set, [](const pugi::xml_node& item) { return std::string(item.text().get()); });
}

std::optional<int> optionalInt(const pugi::xml_node& node, const char* name) {
  const pugi::xml_node child = node.child(name);
  if (!child) return std::nullopt;
  const std::string value = child.text().get();
  int n = 0;
  const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
  if (ec != std::errc() || end != value.data() + value.size()) {
    throw std::runtime_error(std::string("EC2 answer: <") + name + "> is not a number: " + value);
  }
  return n;
}

std::optional<bool> optionalBool(const pugi::xml_node& node, const char* name) {
  const pugi::xml_node child = node.child(name);
  if (!child) return std::nullopt;
  const std::string value = child.text().get();
  if (value == "true") return true;
  if (value == "false") return false;
  throw std::runtime_error(std::string("EC2 answer: <") + name + "> is not a boolean: " + value);
}

std::optional<std::string> optionalText(const pugi::xml_node& node, const char* name) {
  const pugi::xml_node child = node.child(name);
  if (!child) return std::nullopt;
  return std::string(child.text().get());
}

std::vector<ec2::Tag> parseTags(const pugi::xml_node& node) {
  return items<ec2::Tag>(node, "tagSet", [](const pugi::xml_node& item) {
    return ec2::Tag{text(item, "key"), text(item, "value")};
  });
}

std::vector<ec2::GroupIdentifier> parseGroups(const pugi::xml_node& node) {
  return items<ec2::GroupIdentifier>(node, "groupSet", [](const pugi::xml_node& item) {
    return ec2::GroupIdentifier{text(item, "groupId"), text(item, "groupName")};
  });
}

ec2::Image parseImage(const pugi::xml_node& n) {
  return ec2::Image{text(n, "imageId"),
                    text(n, "name"),
                    text(n, "creationDate"),
                    text(n, "architecture"),
                    text(n, "imageState"),
                    text(n, "imageOwnerId"),
                    optionalBool(n, "imageAllowed")};
}

ec2::InstanceTypeInfo parseInstanceType(const pugi::xml_node& n) {
  return ec2::InstanceTypeInfo{text(n, "instanceType"),
                               textItems(n.child("processorInfo"), "supportedArchitectures"),
                               optionalInt(n.child("vCpuInfo"), "defaultVCpus")};
}

ec2::InstanceTypeOffering parseOffering(const pugi::xml_node& n) {
  return ec2::InstanceTypeOffering{text(n, "instanceType"), text(n, "locationType"),
                                   text(n, "location")};
}

ec2::Vpc parseVpc(const pugi::xml_node& n) {
  return ec2::Vpc{text(n, "vpcId"), text(n, "cidrBlock"), text(n, "state"), parseTags(n)};
}

ec2::Subnet parseSubnet(const pugi::xml_node& n) {
  return ec2::Subnet{text(n, "subnetId"),
                     text(n, "vpcId"),
                     text(n, "cidrBlock"),
                     text(n, "availabilityZone"),
                     text(n, "state"),
                     parseTags(n),
                     optionalInt(n, "availableIpAddressCount")};
}

ec2::Route parseRoute(const pugi::xml_node& n) {
  ec2::Route r;
  r.destination_cidr_block = text(n, "destinationCidrBlock");
  r.destination_prefix_list_id = text(n, "destinationPrefixListId");
  r.gateway_id = text(n, "gatewayId");
  r.nat_gateway_id = text(n, "natGatewayId");
  r.transit_gateway_id = text(n, "transitGatewayId");
  // A gateway endpoint has no member of its own in a route: EC2 puts its id
  // where an internet gateway's would be.
  if (r.gateway_id.rfind("vpce-", 0) == 0) r.vpc_endpoint_id = r.gateway_id;
  r.state = text(n, "state");
  return r;
}

ec2::RouteTable parseRouteTable(const pugi::xml_node& n) {
  ec2::RouteTable t;
  t.route_table_id = text(n, "routeTableId");
  t.vpc_id = text(n, "vpcId");
  t.associations =
      items<ec2::RouteTableAssociation>(n, "associationSet", [](const pugi::xml_node& item) {
        return ec2::RouteTableAssociation{text(item, "subnetId"),
                                          optionalBool(item, "main").value_or(false)};
      });
  t.routes = items<ec2::Route>(n, "routeSet", parseRoute);
  return t;
}

ec2::VpcBlockPublicAccessExclusion parseExclusion(const pugi::xml_node& n) {
  return ec2::VpcBlockPublicAccessExclusion{text(n, "exclusionId"),
                                            text(n, "internetGatewayExclusionMode"),
                                            text(n, "resourceArn"), text(n, "state")};
}

ec2::IpPermission parseIpPermission(const pugi::xml_node& n) {
  ec2::IpPermission p;
  p.ip_protocol = text(n, "ipProtocol");
  p.from_port = optionalInt(n, "fromPort");
  p.to_port = optionalInt(n, "toPort");
  p.ip_ranges = items<ec2::IpRange>(n, "ipRanges", [](const pugi::xml_node& item) {
    return ec2::IpRange{text(item, "cidrIp"), text(item, "description")};
  });
  return p;
}

ec2::SecurityGroup parseSecurityGroup(const pugi::xml_node& n) {
  ec2::SecurityGroup g;
  g.group_id = text(n, "groupId");
  g.group_name = text(n, "groupName");
  g.description = text(n, "groupDescription");
  g.vpc_id = text(n, "vpcId");
  g.ip_permissions = items<ec2::IpPermission>(n, "ipPermissions", parseIpPermission);
  g.tags = parseTags(n);
  return g;
}

ec2::KeyPairInfo parseKeyPair(const pugi::xml_node& n) {
  return ec2::KeyPairInfo{text(n, "keyPairId"), text(n, "keyName"),   text(n, "keyFingerprint"),
                          text(n, "keyType"),   text(n, "publicKey"), parseTags(n),
                          text(n, "createTime")};
}

std::optional<ec2::Attachment> parseAttachment(const pugi::xml_node& parent) {
  const pugi::xml_node n = parent.child("attachment");
  if (!n) return std::nullopt;
  return ec2::Attachment{text(n, "attachmentId"), optionalInt(n, "deviceIndex"),
                         text(n, "instanceId"), text(n, "status")};
}

std::optional<ec2::Association> parseAssociation(const pugi::xml_node& parent) {
  const pugi::xml_node n = parent.child("association");
  if (!n) return std::nullopt;
  return ec2::Association{text(n, "publicIp"), text(n, "allocationId"), text(n, "associationId")};
}

ec2::NetworkInterface parseNetworkInterface(const pugi::xml_node& n) {
  ec2::NetworkInterface i;
  i.network_interface_id = text(n, "networkInterfaceId");
  i.subnet_id = text(n, "subnetId");
  i.vpc_id = text(n, "vpcId");
  i.private_ip_address = text(n, "privateIpAddress");
  i.description = text(n, "description");
  i.status = text(n, "status");
  i.groups = parseGroups(n);
  i.attachment = parseAttachment(n);
  i.association = parseAssociation(n);
  i.tags = parseTags(n);
  return i;
}

ec2::Instance parseInstance(const pugi::xml_node& n) {
  ec2::Instance i;
  i.instance_id = text(n, "instanceId");
  i.image_id = text(n, "imageId");
  i.instance_type = text(n, "instanceType");
  i.key_name = text(n, "keyName");
  i.state_name = text(n.child("instanceState"), "name");
  i.public_ip_address = text(n, "ipAddress");
  i.private_ip_address = text(n, "privateIpAddress");
  i.subnet_id = text(n, "subnetId");
  i.vpc_id = text(n, "vpcId");
  i.availability_zone = text(n.child("placement"), "availabilityZone");
  i.state_reason_code = text(n.child("stateReason"), "code");
  i.state_reason_message = text(n.child("stateReason"), "message");
  i.state_transition_reason = text(n, "reason");
  i.metadata_http_tokens = text(n.child("metadataOptions"), "httpTokens");
  i.launch_time = text(n, "launchTime");
  i.tags = parseTags(n);
  i.network_interfaces =
      items<ec2::NetworkInterface>(n, "networkInterfaceSet", parseNetworkInterface);
  return i;
}

ec2::Reservation parseReservation(const pugi::xml_node& n) {
  return ec2::Reservation{text(n, "reservationId"),
                          items<ec2::Instance>(n, "instancesSet", parseInstance)};
}

ec2::InstanceStatus parseInstanceStatus(const pugi::xml_node& n) {
  ec2::InstanceStatus s;
  s.instance_id = text(n, "instanceId");
  s.instance_state_name = text(n.child("instanceState"), "name");
  s.instance_status = optionalText(n.child("instanceStatus"), "status");
  s.system_status = optionalText(n.child("systemStatus"), "status");
  return s;
}

ec2::Address parseAddress(const pugi::xml_node& n) {
  ec2::Address a;
  a.public_ip = text(n, "publicIp");
  a.allocation_id = text(n, "allocationId");
  a.association_id = text(n, "associationId");
  a.instance_id = text(n, "instanceId");
  a.network_interface_id = text(n, "networkInterfaceId");
  a.private_ip_address = text(n, "privateIpAddress");
  a.domain = text(n, "domain");
  a.tags = parseTags(n);
  return a;
}

}  // namespace

std::string newClientToken() {
  unsigned char b[16];
  if (RAND_bytes(b, sizeof b) != 1) throw std::runtime_error("cannot draw random bytes");
  b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);  // version 4
  b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);  // RFC 4122 variant
  char out[37];
  std::snprintf(out, sizeof out,
                "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
                b[15]);
  return out;
}

Ec2Client::Ec2Client(ClientConfig config) : client_(std::move(config)) {}

ec2::DescribeImagesResult Ec2Client::describeImages(
    const ec2::DescribeImagesRequest& request) const {
  QueryBuilder q = query("DescribeImages");
  addList(q, "ExecutableBy", request.executable_users);
  addList(q, "ImageId", request.image_ids);
  addList(q, "Owner", request.owners);
  addIfSet(q, "IncludeDeprecated", request.include_deprecated);
  addIfSet(q, "NextToken", request.next_token);
  addFilters(q, request.filters);
  return page<ec2::DescribeImagesResult>(send(client_, q), "imagesSet", parseImage);
}

ec2::DescribeInstanceTypesResult Ec2Client::describeInstanceTypes(
    const ec2::DescribeInstanceTypesRequest& request) const {
  QueryBuilder q = query("DescribeInstanceTypes");
  addList(q, "InstanceType", request.instance_types);
  addFilters(q, request.filters);
  addIfSet(q, "NextToken", request.next_token);
  return page<ec2::DescribeInstanceTypesResult>(send(client_, q), "instanceTypeSet",
                                                parseInstanceType);
}

ec2::DescribeInstanceTypeOfferingsResult Ec2Client::describeInstanceTypeOfferings(
    const ec2::DescribeInstanceTypeOfferingsRequest& request) const {
  QueryBuilder q = query("DescribeInstanceTypeOfferings");
  addIfSet(q, "LocationType", request.location_type);
  addFilters(q, request.filters);
  addIfSet(q, "MaxResults", request.max_results);
  addIfSet(q, "NextToken", request.next_token);
  return page<ec2::DescribeInstanceTypeOfferingsResult>(send(client_, q), "instanceTypeOfferingSet",
                                                        parseOffering);
}

ec2::AllowedImagesSettings Ec2Client::getAllowedImagesSettings() const {
  const auto doc = send(client_, query("GetAllowedImagesSettings"));
  const pugi::xml_node root = doc.document_element();
  return {text(root, "state"), text(root, "managedBy")};
}

bool Ec2Client::getEbsEncryptionByDefault() const {
  const auto doc = send(client_, query("GetEbsEncryptionByDefault"));
  // An answer without the flag is broken, not "off": read as off it would
  // wave through the check that depends on it.
  const auto on = optionalBool(doc.document_element(), "ebsEncryptionByDefault");
  if (!on) throw std::runtime_error("EC2 GetEbsEncryptionByDefault answer has no flag");
  return *on;
}

std::string Ec2Client::getEbsDefaultKmsKeyId() const {
  const auto doc = send(client_, query("GetEbsDefaultKmsKeyId"));
  return text(doc.document_element(), "kmsKeyId");
}

ec2::DescribeSubnetsResult Ec2Client::describeSubnets(
    const ec2::DescribeSubnetsRequest& request) const {
  QueryBuilder q = query("DescribeSubnets");
  addFilters(q, request.filters);
  addList(q, "SubnetId", request.subnet_ids);
  addIfSet(q, "NextToken", request.next_token);
  return page<ec2::DescribeSubnetsResult>(send(client_, q), "subnetSet", parseSubnet);
}

ec2::Vpc Ec2Client::createVpc(const ec2::CreateVpcRequest& request) const {
  QueryBuilder q = query("CreateVpc");
  addIfSet(q, "CidrBlock", request.cidr_block);
  addTagSpecifications(q, request.tag_specifications);
  const auto doc = send(client_, q);
  return parseVpc(doc.document_element().child("vpc"));
}

ec2::Subnet Ec2Client::createSubnet(const ec2::CreateSubnetRequest& request) const {
  QueryBuilder q = query("CreateSubnet");
  addTagSpecifications(q, request.tag_specifications);
  addIfSet(q, "AvailabilityZone", request.availability_zone);
  addIfSet(q, "CidrBlock", request.cidr_block);
  addIfSet(q, "VpcId", request.vpc_id);
  const auto doc = send(client_, q);
  return parseSubnet(doc.document_element().child("subnet"));
}

ec2::DescribeRouteTablesResult Ec2Client::describeRouteTables(
    const ec2::DescribeRouteTablesRequest& request) const {
  QueryBuilder q = query("DescribeRouteTables");
  addFilters(q, request.filters);
  addList(q, "RouteTableId", request.route_table_ids);
  addIfSet(q, "NextToken", request.next_token);
  return page<ec2::DescribeRouteTablesResult>(send(client_, q), "routeTableSet", parseRouteTable);
}

ec2::VpcBlockPublicAccessOptions Ec2Client::describeVpcBlockPublicAccessOptions() const {
  const auto doc = send(client_, query("DescribeVpcBlockPublicAccessOptions"));
  const pugi::xml_node options = doc.document_element().child("vpcBlockPublicAccessOptions");
  return {text(options, "state"), text(options, "internetGatewayBlockMode"),
          text(options, "exclusionsAllowed")};
}

std::vector<ec2::VpcBlockPublicAccessExclusion> Ec2Client::describeVpcBlockPublicAccessExclusions(
    const std::vector<ec2::Filter>& filters) const {
  std::vector<ec2::VpcBlockPublicAccessExclusion> all;
  std::set<std::string> seen;
  std::string token;
  do {
    QueryBuilder q = query("DescribeVpcBlockPublicAccessExclusions");
    addFilters(q, filters);
    addIfSet(q, "NextToken", token);
    const auto doc = send(client_, q);
    const pugi::xml_node root = doc.document_element();
    for (auto& exclusion : items<ec2::VpcBlockPublicAccessExclusion>(
             root, "vpcBlockPublicAccessExclusionSet", parseExclusion)) {
      all.push_back(std::move(exclusion));
    }
    token = text(root, "nextToken");
    // A token that comes back again would page forever.
    if (!token.empty() && !seen.insert(token).second) {
      throw std::runtime_error("EC2 DescribeVpcBlockPublicAccessExclusions repeats page token " +
                               token);
    }
  } while (!token.empty());
  return all;
}

ec2::DescribeSecurityGroupsResult Ec2Client::describeSecurityGroups(
    const ec2::DescribeSecurityGroupsRequest& request) const {
  QueryBuilder q = query("DescribeSecurityGroups");
  addList(q, "GroupId", request.group_ids);
  addList(q, "GroupName", request.group_names);
  addIfSet(q, "NextToken", request.next_token);
  addFilters(q, request.filters);
  return page<ec2::DescribeSecurityGroupsResult>(send(client_, q), "securityGroupInfo",
                                                 parseSecurityGroup);
}

std::string Ec2Client::createSecurityGroup(const ec2::CreateSecurityGroupRequest& request) const {
  QueryBuilder q = query("CreateSecurityGroup");
  q.add("GroupDescription", request.description);
  q.add("GroupName", request.group_name);
  addIfSet(q, "VpcId", request.vpc_id);
  addTagSpecifications(q, request.tag_specifications);
  addDryRun(q, request.dry_run);
  const auto doc = send(client_, q);
  return text(doc.document_element(), "groupId");
}

void Ec2Client::authorizeSecurityGroupIngress(
    const ec2::AuthorizeSecurityGroupIngressRequest& request) const {
  QueryBuilder q = query("AuthorizeSecurityGroupIngress");
  addIfSet(q, "GroupId", request.group_id);
  addIpPermissions(q, request.ip_permissions);
  addTagSpecifications(q, request.tag_specifications);
  send(client_, q);
}

void Ec2Client::deleteSecurityGroup(const std::string& group_id) const {
  QueryBuilder q = query("DeleteSecurityGroup");
  q.add("GroupId", group_id);
  send(client_, q);
}

std::vector<ec2::KeyPairInfo> Ec2Client::describeKeyPairs(
    const ec2::DescribeKeyPairsRequest& request) const {
  QueryBuilder q = query("DescribeKeyPairs");
  addList(q, "KeyName", request.key_names);
  addList(q, "KeyPairId", request.key_pair_ids);
  addIfSet(q, "IncludePublicKey", request.include_public_key);
  addFilters(q, request.filters);
  const auto doc = send(client_, q);
  return items<ec2::KeyPairInfo>(doc.document_element(), "keySet", parseKeyPair);
}

ec2::CreatedKeyPair Ec2Client::createKeyPair(const ec2::CreateKeyPairRequest& request) const {
  QueryBuilder q = query("CreateKeyPair");
  q.add("KeyName", request.key_name);
  addIfSet(q, "KeyType", request.key_type);
  addTagSpecifications(q, request.tag_specifications);
  addIfSet(q, "KeyFormat", request.key_format);
  addDryRun(q, request.dry_run);
  const auto doc = send(client_, q);
  const pugi::xml_node root = doc.document_element();
  return ec2::CreatedKeyPair{text(root, "keyPairId"), text(root, "keyName"),
                             text(root, "keyFingerprint"), text(root, "keyMaterial")};
}

void Ec2Client::deleteKeyPair(const ec2::DeleteKeyPairRequest& request) const {
  QueryBuilder q = query("DeleteKeyPair");
  addIfSet(q, "KeyName", request.key_name);
  addIfSet(q, "KeyPairId", request.key_pair_id);
  send(client_, q);
}

ec2::DescribeInstancesResult Ec2Client::describeInstances(
    const ec2::DescribeInstancesRequest& request) const {
  QueryBuilder q = query("DescribeInstances");
  addList(q, "InstanceId", request.instance_ids);
  addFilters(q, request.filters);
  addIfSet(q, "NextToken", request.next_token);
  addIfSet(q, "MaxResults", request.max_results);
  return page<ec2::DescribeInstancesResult>(send(client_, q), "reservationSet", parseReservation);
}

ec2::RunInstancesResult Ec2Client::runInstances(const ec2::RunInstancesRequest& request) const {
  QueryBuilder q = query("RunInstances");
  addIfSet(q, "ImageId", request.image_id);
  addIfSet(q, "InstanceType", request.instance_type);
  addIfSet(q, "KeyName", request.key_name);
  q.add("MaxCount", static_cast<long long>(request.max_count));
  q.add("MinCount", static_cast<long long>(request.min_count));
  addList(q, "SecurityGroupId", request.security_group_ids);
  addIfSet(q, "SubnetId", request.subnet_id);
  if (!request.user_data.empty())
    q.add("UserData", base64Encode(request.user_data.data(), request.user_data.size()));
  addTagSpecifications(q, request.tag_specifications);
  // Generated here, once per call: ServiceClient resends this very request
  // on a retry, so every attempt carries the same token.
  q.add("ClientToken", request.client_token.empty() ? newClientToken() : request.client_token);
  addInstanceNetworkInterfaces(q, request.network_interfaces);
  if (request.iam_instance_profile) {
    addIfSet(q, "IamInstanceProfile.Arn", request.iam_instance_profile->arn);
    addIfSet(q, "IamInstanceProfile.Name", request.iam_instance_profile->name);
  }
  if (request.metadata_options) {
    addIfSet(q, "MetadataOptions.HttpTokens", request.metadata_options->http_tokens);
    addIfSet(q, "MetadataOptions.HttpEndpoint", request.metadata_options->http_endpoint);
  }
  addIfSet(q, "InstanceInitiatedShutdownBehavior", request.instance_initiated_shutdown_behavior);
  addDryRun(q, request.dry_run);
  const auto doc = send(client_, q);
  const pugi::xml_node root = doc.document_element();
  return {text(root, "reservationId"), items<ec2::Instance>(root, "instancesSet", parseInstance)};
}

ec2::DescribeInstanceStatusResult Ec2Client::describeInstanceStatus(
    const ec2::DescribeInstanceStatusRequest& request) const {
  QueryBuilder q = query("DescribeInstanceStatus");
  addList(q, "InstanceId", request.instance_ids);
  addIfSet(q, "NextToken", request.next_token);
  addFilters(q, request.filters);
  addIfSet(q, "IncludeAllInstances", request.include_all_instances);
  return page<ec2::DescribeInstanceStatusResult>(send(client_, q), "instanceStatusSet",
                                                 parseInstanceStatus);
}

std::vector<ec2::InstanceStateChange> Ec2Client::terminateInstances(
    const std::vector<std::string>& instance_ids) const {
  QueryBuilder q = query("TerminateInstances");
  q.addEc2List("InstanceId", instance_ids);
  const auto doc = send(client_, q);
  return items<ec2::InstanceStateChange>(
      doc.document_element(), "instancesSet", [](const pugi::xml_node& n) {
        return ec2::InstanceStateChange{text(n, "instanceId"),
                                        text(n.child("currentState"), "name"),
                                        text(n.child("previousState"), "name")};
      });
}

ec2::NetworkInterface Ec2Client::createNetworkInterface(
    const ec2::CreateNetworkInterfaceRequest& request) const {
  QueryBuilder q = query("CreateNetworkInterface");
  addTagSpecifications(q, request.tag_specifications);
  q.add("ClientToken", request.client_token.empty() ? newClientToken() : request.client_token);
  q.add("SubnetId", request.subnet_id);
  addIfSet(q, "Description", request.description);
  addIfSet(q, "PrivateIpAddress", request.private_ip_address);
  addList(q, "SecurityGroupId", request.groups);
  addDryRun(q, request.dry_run);
  const auto doc = send(client_, q);
  return parseNetworkInterface(doc.document_element().child("networkInterface"));
}

std::string Ec2Client::attachNetworkInterface(
    const ec2::AttachNetworkInterfaceRequest& request) const {
  QueryBuilder q = query("AttachNetworkInterface");
  q.add("NetworkInterfaceId", request.network_interface_id);
  q.add("InstanceId", request.instance_id);
  q.add("DeviceIndex", static_cast<long long>(request.device_index));
  const auto doc = send(client_, q);
  return text(doc.document_element(), "attachmentId");
}

void Ec2Client::detachNetworkInterface(const ec2::DetachNetworkInterfaceRequest& request) const {
  QueryBuilder q = query("DetachNetworkInterface");
  q.add("AttachmentId", request.attachment_id);
  addIfSet(q, "Force", request.force);
  send(client_, q);
}

void Ec2Client::deleteNetworkInterface(const std::string& network_interface_id) const {
  QueryBuilder q = query("DeleteNetworkInterface");
  q.add("NetworkInterfaceId", network_interface_id);
  send(client_, q);
}

ec2::DescribeNetworkInterfacesResult Ec2Client::describeNetworkInterfaces(
    const ec2::DescribeNetworkInterfacesRequest& request) const {
  QueryBuilder q = query("DescribeNetworkInterfaces");
  addIfSet(q, "NextToken", request.next_token);
  addList(q, "NetworkInterfaceId", request.network_interface_ids);
  addFilters(q, request.filters);
  return page<ec2::DescribeNetworkInterfacesResult>(send(client_, q), "networkInterfaceSet",
                                                    parseNetworkInterface);
}

ec2::AllocateAddressResult Ec2Client::allocateAddress(
    const ec2::AllocateAddressRequest& request) const {
  QueryBuilder q = query("AllocateAddress");
  addIfSet(q, "Domain", request.domain);
  addTagSpecifications(q, request.tag_specifications);
  addDryRun(q, request.dry_run);
  const auto doc = send(client_, q);
  const pugi::xml_node root = doc.document_element();
  return {text(root, "allocationId"), text(root, "publicIp"), text(root, "domain")};
}

std::string Ec2Client::associateAddress(const ec2::AssociateAddressRequest& request) const {
  QueryBuilder q = query("AssociateAddress");
  addIfSet(q, "AllocationId", request.allocation_id);
  addIfSet(q, "InstanceId", request.instance_id);
  addIfSet(q, "NetworkInterfaceId", request.network_interface_id);
  addIfSet(q, "AllowReassociation", request.allow_reassociation);
  const auto doc = send(client_, q);
  return text(doc.document_element(), "associationId");
}

std::vector<ec2::Address> Ec2Client::describeAddresses(
    const ec2::DescribeAddressesRequest& request) const {
  QueryBuilder q = query("DescribeAddresses");
  addList(q, "PublicIp", request.public_ips);
  addFilters(q, request.filters);
  addList(q, "AllocationId", request.allocation_ids);
  const auto doc = send(client_, q);
  return items<ec2::Address>(doc.document_element(), "addressesSet", parseAddress);
}

void Ec2Client::releaseAddress(const ec2::ReleaseAddressRequest& request) const {
  QueryBuilder q = query("ReleaseAddress");
  addIfSet(q, "AllocationId", request.allocation_id);
  addIfSet(q, "PublicIp", request.public_ip);
  send(client_, q);
}

std::vector<std::string> Ec2Client::describeRegions() const {
  const auto doc = send(client_, query("DescribeRegions"));
  std::vector<std::string> names;
  for (const pugi::xml_node& item : doc.document_element().child("regionInfo").children("item")) {
    names.push_back(text(item, "regionName"));
  }
  return names;
}

ec2::AccountAttributes Ec2Client::describeAccountAttributes(
    const std::vector<std::string>& names) const {
  QueryBuilder q = query("DescribeAccountAttributes");
  addList(q, "AttributeName", names);
  const auto doc = send(client_, q);
  ec2::AccountAttributes attributes;
  for (const pugi::xml_node& item :
       doc.document_element().child("accountAttributeSet").children("item")) {
    std::vector<std::string>& values = attributes[text(item, "attributeName")];
    for (const pugi::xml_node& value : item.child("attributeValueSet").children("item")) {
      values.push_back(text(value, "attributeValue"));
    }
  }
  return attributes;
}

void Ec2Client::createTags(const ec2::CreateTagsRequest& request) const {
  QueryBuilder q = query("CreateTags");
  q.addEc2List("ResourceId", request.resources);
  addTags(q, "Tag", request.tags);
  send(client_, q);
}

}  // namespace aws
