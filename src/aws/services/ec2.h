#pragma once
// The EC2 client: the actions the program sends, as small request structs in
// and typed results out (ec2_types.h). Requests are serialized with the member
// names of the EC2 query protocol (Filter.1.Value.1,
// TagSpecification.1.Tag.1.Key, ...); answers are read from the XML EC2
// returns (reservationSet/item, tagSet, ...).

#include <string>
#include <vector>

#include "aws/client/client.h"
#include "aws/services/ec2_types.h"

namespace aws {

/// A client of one region's EC2 endpoint. Every method sends one request
/// (retried by the ServiceClient as its retry policy says) and is safe to
/// call from several threads at once.
///
/// Every method throws ServiceError when EC2 answers with an error (its
/// code() is EC2's error code, e.g. "InvalidKeyPair.NotFound"),
/// TransportError when no answer was had, ConfigError when no credentials
/// can be found, and std::runtime_error when the answer is not XML.
///
/// A request sent with `dry_run` set is answered with an error whatever
/// happens: "DryRunOperation" (HTTP 412) when it would have been allowed,
/// "UnauthorizedOperation" when a policy denies it. Neither is retried.
/// "InsufficientInstanceCapacity" is not retried either (see isRetryable):
/// the caller is better served trying another instance type at once.
class Ec2Client {
 public:
  static constexpr const char* kApiVersion = "2016-11-15";

  explicit Ec2Client(ClientConfig config);

  const ClientConfig& config() const { return client_.config(); }
  /// The clock through which the client (and its waiters) pause.
  Clock& clock() const { return *client_.config().clock; }

  /// One page of images.
  ec2::DescribeImagesResult describeImages(const ec2::DescribeImagesRequest& request) const;
  /// One page of instance types.
  ec2::DescribeInstanceTypesResult describeInstanceTypes(
      const ec2::DescribeInstanceTypesRequest& request) const;
  /// One page of the instance types offered per location.
  ec2::DescribeInstanceTypeOfferingsResult describeInstanceTypeOfferings(
      const ec2::DescribeInstanceTypeOfferingsRequest& request) const;
  /// The account's Allowed AMIs setting in the region.
  ec2::AllowedImagesSettings getAllowedImagesSettings() const;

  /// Whether new EBS volumes of the region are encrypted by default.
  bool getEbsEncryptionByDefault() const;
  /// The key that default encryption uses: a key ARN, or "alias/aws/ebs"
  /// for the AWS managed key (as EC2 reports it, even while encryption by
  /// default is off).
  std::string getEbsDefaultKmsKeyId() const;

  /// One page of subnets.
  ec2::DescribeSubnetsResult describeSubnets(const ec2::DescribeSubnetsRequest& request) const;
  /// The new VPC.
  ec2::Vpc createVpc(const ec2::CreateVpcRequest& request) const;
  /// The new subnet.
  ec2::Subnet createSubnet(const ec2::CreateSubnetRequest& request) const;
  /// One page of route tables.
  ec2::DescribeRouteTablesResult describeRouteTables(
      const ec2::DescribeRouteTablesRequest& request) const;

  /// The account's VPC Block Public Access options in the region.
  ec2::VpcBlockPublicAccessOptions describeVpcBlockPublicAccessOptions() const;
  /// Every exclusion that matches `filters` (all when empty): the pages are
  /// followed here, since an account has few.
  std::vector<ec2::VpcBlockPublicAccessExclusion> describeVpcBlockPublicAccessExclusions(
      const std::vector<ec2::Filter>& filters) const;

  /// One page of security groups.
  ec2::DescribeSecurityGroupsResult describeSecurityGroups(
      const ec2::DescribeSecurityGroupsRequest& request) const;
  /// The new group's id.
  std::string createSecurityGroup(const ec2::CreateSecurityGroupRequest& request) const;
  void authorizeSecurityGroupIngress(
      const ec2::AuthorizeSecurityGroupIngressRequest& request) const;
  void deleteSecurityGroup(const std::string& group_id) const;

  /// The matching key pairs; a key name that does not exist makes EC2 answer
  /// InvalidKeyPair.NotFound (a filter that matches nothing does not).
  std::vector<ec2::KeyPairInfo> describeKeyPairs(const ec2::DescribeKeyPairsRequest& request) const;
  ec2::CreatedKeyPair createKeyPair(const ec2::CreateKeyPairRequest& request) const;
  void deleteKeyPair(const ec2::DeleteKeyPairRequest& request) const;

  /// One page of reservations; follow next_token for more.
  ec2::DescribeInstancesResult describeInstances(
      const ec2::DescribeInstancesRequest& request) const;
  ec2::RunInstancesResult runInstances(const ec2::RunInstancesRequest& request) const;
  /// One page of instance statuses.
  ec2::DescribeInstanceStatusResult describeInstanceStatus(
      const ec2::DescribeInstanceStatusRequest& request) const;
  std::vector<ec2::InstanceStateChange> terminateInstances(
      const std::vector<std::string>& instance_ids) const;

  /// The new interface.
  ec2::NetworkInterface createNetworkInterface(
      const ec2::CreateNetworkInterfaceRequest& request) const;
  /// The attachment id.
  std::string attachNetworkInterface(const ec2::AttachNetworkInterfaceRequest& request) const;
  void detachNetworkInterface(const ec2::DetachNetworkInterfaceRequest& request) const;
  void deleteNetworkInterface(const std::string& network_interface_id) const;
  /// One page of network interfaces.
  ec2::DescribeNetworkInterfacesResult describeNetworkInterfaces(
      const ec2::DescribeNetworkInterfacesRequest& request) const;

  ec2::AllocateAddressResult allocateAddress(const ec2::AllocateAddressRequest& request) const;
  /// The association id.
  std::string associateAddress(const ec2::AssociateAddressRequest& request) const;
  std::vector<ec2::Address> describeAddresses(const ec2::DescribeAddressesRequest& request) const;
  void releaseAddress(const ec2::ReleaseAddressRequest& request) const;
  /// The named account attributes (all of them when `names` is empty).
  /// The names of the regions enabled for the account.
  std::vector<std::string> describeRegions() const;
  ec2::AccountAttributes describeAccountAttributes(const std::vector<std::string>& names) const;

  void createTags(const ec2::CreateTagsRequest& request) const;

 private:
  ServiceClient client_;
};

/// A fresh idempotency token (a random UUID) for a mutating EC2 call.
std::string newClientToken();

}  // namespace aws
