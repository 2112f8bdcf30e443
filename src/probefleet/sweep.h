#pragma once
// Finding and removing what probefleet made in a region when no test
// configuration says where it is: a pipeline that died before its revert.
// Everything is found by the names and Name tags the program gives its
// resources; what does not carry them is never listed, let alone touched.

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "aws/services/ec2.h"
#include "aws/services/iam.h"
#include "aws/services/s3.h"
#include "probefleet/fleet_lookup.h"
#include "probefleet/run_lock.h"

namespace probefleet {

/// One resource of ours, as the sweep lists it.
struct Leftover {
  /// "instance", "network-interface", "elastic-ip", "security-group",
  /// "key-pair", "iam-role", "iam-policy", "iam-instance-profile".
  std::string kind;
  std::string id;      // the resource's id (an IAM policy: its ARN)
  std::string name;    // its Name tag, or its own name
  std::string vpc_id;  // "" when it lies in no VPC (IAM, an unassociated address)
  std::string state;   // instance state, interface status, "associated", ...
  /// When it was made, when AWS tells (instances, key pairs, IAM).
  std::optional<std::chrono::system_clock::time_point> created;
  /// An instance's kExpiresTagKey, when it has a readable one.
  std::optional<std::chrono::system_clock::time_point> expires;
  std::vector<aws::ec2::Tag> tags;
  /// The instance an interface is attached to or an address associated with.
  std::string instance_id;
  std::string attachment_id;  // an interface's attachment
  int device_index = -1;      // an attached interface's device index
  std::string subnet_id;      // an instance's or an interface's subnet
  std::string public_ip;      // an address's
};

/// What to sweep. Every given criterion must hold.
struct SweepFilter {
  std::optional<std::string> vpc_id;
  /// Tags the resource must carry, each with this very value.
  std::vector<aws::ec2::Tag> tags;
  /// Older than this. What AWS gives no age for (groups, interfaces,
  /// addresses) counts as old only when no instance of ours younger than
  /// this stands in its VPC (or, for one attached, when its instance is old);
  /// the IAM trio, when IAM tells no age, when none stands in the region.
  std::optional<std::chrono::seconds> older_than;
  /// Only instances whose kExpiresTagKey lies in the past.
  bool expired = false;
};

/// Every resource of ours in the region of `ec2` (instances not yet
/// terminated) and the IAM role, policy and instance profile of the account.
/// Throttling and passing failures are waited out; other failures are
/// thrown.
std::vector<Leftover> findLeftovers(const aws::Ec2Client& ec2, const aws::IamClient& iam);

/// Those of `all` that `filter` selects at `now`, in the order of `all`.
std::vector<Leftover> selectLeftovers(const std::vector<Leftover>& all, const SweepFilter& filter,
                                      std::chrono::system_clock::time_point now);

/// A run's lock on a VPC, as found in the bucket.
struct VpcLock {
  std::string vpc_id;
  LockHolder holder;
  bool readable = true;  // false: the object is there but not a lock we can read
};

/// The live locks of `bucket` (objects "locks/<vpc>.json" whose last
/// change plus their lease lies after S3's now, or `local_now` when S3 gives
/// no time), by VPC. A lock object that cannot be understood counts as live:
/// sweeping under a run is worse than leaving a VPC for the next sweep. S3's
/// failures are thrown.
std::vector<VpcLock> liveLocks(const aws::S3Client& s3, const std::string& bucket,
                               std::chrono::system_clock::time_point local_now);

/// Answers whether an instance of ours stands outside the swept region; the
/// IAM trio serves the whole account. It should answer true when it cannot
/// tell.
using ElsewhereCheck = std::function<bool()>;

/// Removes `selected` in the order a revert does: instances (their second
/// interfaces detached first, their Elastic IPs looked up while they hold
/// them), waited for until terminated, then those addresses; then
/// interfaces attached to nothing, unassociated addresses, then the groups
/// and key pair of each VPC where no instance of ours is left; the IAM
/// role, policy and profile last, only when every one of them present is
/// selected, no instance of ours is left in the region and `elsewhere`
/// answers false. Anything in a
/// VPC of `held` is skipped. Logs each step through the program's logger;
/// a step that fails is logged and the others go on. Returns what of
/// `selected` is left afterwards, as a fresh look with `filter` finds it.
/// Throws only what that look throws, and aws::Interrupted.
std::vector<Leftover> deleteLeftovers(const aws::Ec2Client& ec2, const aws::IamClient& iam,
                                      const std::vector<Leftover>& selected,
                                      const SweepFilter& filter,
                                      const std::vector<std::string>& held,
                                      const ElsewhereCheck& elsewhere);

}  // namespace probefleet
