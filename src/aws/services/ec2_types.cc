#include "aws/services/ec2_types.h"

namespace aws::ec2 {

std::string tagValue(const std::vector<Tag>& tags, const std::string& key) {
  for (const Tag& tag : tags) {
    if (tag.key == key) return tag.value;
  }
  return "";
}

}  // namespace aws::ec2
