#pragma once
// Resource tags: the user's --tag_resource pairs as EC2 tag entries, and the
// test tag that names a gateway entry's result objects in the bucket.

#include <optional>
#include <string>
#include <vector>

#include "aws/services/ec2_types.h"
#include "probefleet/config/test_config.h"

namespace probefleet {

/// Appends the pairs of `rt_tags` ("key,value,key,value,...", split at every
/// comma, pieces taken exactly as written, empty pieces included) to `data`,
/// after the entries it already holds. A key that `data` already has (even
/// "Name") is added again, not merged. A final key without its value, which
/// the run flow rejects before any resource is made, is ignored.
void populateTags(std::vector<aws::ec2::Tag>& data, const std::string& rt_tags);

/// Why EC2 or IAM would refuse the user's pairs `rt_tags` beside each
/// resource's own Name tag, or nullopt when they would not. Checked against
/// AWS's documented limits: at most 50 tags on a resource (Name included),
/// keys of 1 to 128 characters, values of at most 256, no key beginning
/// with "aws:" (any case), no key twice and no "Name" (the fixed Name is
/// what reruns and teardown find resources by). With `for_iam` (the run
/// makes IAM resources too), keys and values may hold only IAM's
/// characters: letters, digits, spaces and _ . : / = + - @. The reason names
/// the offending pair. An incomplete last pair is not this check's concern.
std::optional<std::string> tagPairsProblem(const std::string& rt_tags, bool for_iam);

/// The test tag of a gateway entry: its `gw_name` as text (a string as is,
/// any other JSON value in its JSON form), "-", then `run_tag`. Without an
/// entry (nullptr) it is "-" + `run_tag`. Throws TestConfigError when the
/// entry has no `gw_name`.
std::string deduceTag(const std::string& run_tag, const TestConfig* test_config = nullptr);

/// deduceTag for an options record that carries the run tag in a field
/// `tag` (text, or absent); absent and empty both mean no run tag.
template <class Options>
requires requires(const Options& options) {
  options.tag;
}
std::string deduceTag(const Options& args, const TestConfig* test_config = nullptr) {
  if constexpr (requires { args.tag.value_or(std::string()); }) {
    return deduceTag(std::string(args.tag.value_or(std::string())), test_config);
  } else {
    return deduceTag(std::string(args.tag), test_config);
  }
}

}  // namespace probefleet
