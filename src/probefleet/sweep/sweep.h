#pragma once
// Finding and removing what probefleet made in a region when no test
// configuration says where it is: a pipeline that died before its revert.
// Everything is found by the names and Name tags the program gives its
// resources; what does not carry them is never listed, let alone touched.
// What it deletes in a VPC it deletes under that VPC's lock, so that a run
// working there meanwhile keeps what it uses.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "aws/services/ec2.h"
#include "aws/services/iam.h"
#include "aws/services/s3.h"
#include "probefleet/resources/fleet_lookup.h"
#include "probefleet/guard/run_lock.h"
#include "probefleet/guard/vpc_lock.h"

namespace probefleet {

/// A resource that carries this tag, whatever its value, is listed by a
/// sweep and never deleted by it.
inline constexpr const char* kKeepTagKey = "probefleet:keep";

/// One resource of ours, as the sweep lists it.
struct Leftover {
  /// "instance", "network-interface", "elastic-ip", "security-group",
  /// "key-pair", "iam-role", "iam-policy", "iam-instance-profile".
  std::string kind;
  std::string id;    // the resource's id (an IAM policy: its ARN)
  std::string name;  // its Name tag, or its own name
  /// "" when it lies in no VPC: IAM, an address associated with nothing and
  /// carrying no VPC tag (made before addresses carried one).
  std::string vpc_id;
  std::string state;  // instance state, interface status, "associated", ...
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
  /// After a sweep's deletions, what became of it: "left" (it was to go and
  /// could not), or why it was kept: "kept (in use)", "kept (probefleet:keep)",
  /// "kept (no --s3_bucket)", "kept (partly selected)".
  std::string outcome;
  /// Why it was left, in AWS's words, when the sweep knows.
  std::string reason;
};

/// Whether it carries kKeepTagKey.
bool keptByTag(const Leftover& item);

/// Whether it serves the whole region rather than one VPC: the IAM trio, and
/// an address associated with nothing that names no VPC.
bool regionWide(const Leftover& item);

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
  /// Only instances whose kExpiresTagKey lies in the past, and addresses
  /// associated with nothing (what ended instances leave).
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
struct LiveLock {
  std::string vpc_id;
  LockHolder holder;
  bool readable = true;  // false: the object is there but not a lock we can read
};

/// The live locks of `bucket` (objects "locks/<vpc>.json" whose last
/// change plus their lease lies after S3's now, or `local_now` when S3 gives
/// no time), by VPC. A lock object that cannot be understood counts as live:
/// sweeping under a run is worse than leaving a VPC for the next sweep. S3's
/// failures are thrown.
std::vector<LiveLock> liveLocks(const aws::S3Client& s3, const std::string& bucket,
                                std::chrono::system_clock::time_point local_now);

/// Answers whether an instance of ours stands outside the swept region; the
/// IAM trio serves the whole account. It should answer true when it cannot
/// tell.
using ElsewhereCheck = std::function<bool()>;

/// What decides whether a selected resource may go, as a look taken under
/// the lock of its VPC shows the region.
struct KeepFacts {
  /// VPCs where an instance of ours stands.
  std::set<std::string> vpcs_with_instances;
  /// Instances the sweep has just seen terminated.
  std::set<std::string> terminated;
  /// The sweep reads the runs' locks (it was given a bucket).
  bool locks_seen = false;
  /// A run other than a sweep holds a live lock on some VPC.
  bool lock_live = false;
  /// Every one of the role, policy and profile present is selected.
  bool trio_whole = true;
};

/// Why `item` stays although selected ("kept (...)", as Leftover::outcome
/// says), or "" when it may go. An address associated with something stays
/// unless its instance was terminated; what lies in a VPC stays while an
/// instance of ours stands there; an address associated with nothing and
/// the IAM trio stay without a bucket (a run at work cannot be seen) and
/// while a run holds a lock; the trio also while an instance of ours stands
/// in the region. Whether one stands in another region is the caller's to
/// ask.
std::string whyKept(const Leftover& item, const KeepFacts& facts);

/// How a sweep guards what it deletes.
struct SweepGuards {
  /// Takes the lock of a VPC for the time the sweep deletes there (given
  /// back when the pointer goes). Throws LockHeld when a live run holds it,
  /// S3's failures otherwise. Empty: the sweep has no bucket and takes no
  /// locks.
  std::function<std::unique_ptr<VpcLock>(const std::string& vpc_id)> take_lock;
  /// The live locks of runs now, this sweep's own left out. Throws when
  /// they cannot be read. Empty: no bucket.
  std::function<std::vector<LiveLock>()> live_locks;
  /// Whether an instance of ours stands in another region.
  ElsewhereCheck elsewhere;
};

/// What a sweep's deletions came to.
struct SweepReport {
  /// What is still there of what was selected or tried, as a fresh look
  /// finds it, each with its outcome.
  std::vector<Leftover> remaining;
  /// The locks that kept the sweep out of a VPC.
  std::vector<LiveLock> held;
  /// Something it tried could not be done (a deletion, a lock or the locks
  /// that could not be read), or it was interrupted.
  bool failed = false;
  /// The signal that stopped it; 0 when none did.
  int interrupted = 0;
};

/// Removes `selected`, one VPC at a time under that VPC's lock (a VPC whose
/// lock a live run holds is skipped and reported): with a look taken under
/// the lock, what `filter` still selects there goes, instances first
/// (TerminateInstances in batches, one instance at a time when a batch is
/// refused; those accepted waited for together, for at most
/// kTerminatePatience in all), then the addresses they held, interfaces
/// they or nobody holds, unassociated addresses, and the groups and key
/// pair once no instance of ours is left there. Then what serves the
/// region: unassociated addresses that name no VPC and the IAM role, policy
/// and profile, only when the locks can be read and none is live (the trio
/// also only when all of it is selected, no instance of ours is left in
/// the region and `guards.elsewhere` answers false). What carries
/// kKeepTagKey is never deleted. Logs each step through the program's
/// logger; a step that fails is logged and the others go on. An
/// interruption ends it after the step under way, and what is left is
/// looked up all the same. Throws only what the last look throws.
SweepReport deleteLeftovers(const aws::Ec2Client& ec2, const aws::IamClient& iam,
                            const std::vector<Leftover>& selected, const SweepFilter& filter,
                            const SweepGuards& guards);

}  // namespace probefleet
