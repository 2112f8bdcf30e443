#include "probefleet/core/launch_plan.h"

#include <algorithm>
#include <stdexcept>

#include "aws/base/strings.h"
#include "probefleet/core/sessions.h"

namespace probefleet {

namespace {

// "t3.micro", "m7i-flex.large", "u-6tb1.metal": a family, a dot, a size.
bool looksLikeType(const std::string& name) {
  const auto dot = name.find('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == name.size() ||
      name.find('.', dot + 1) != std::string::npos) {
    return false;
  }
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
  });
}

}  // namespace

std::vector<std::string> instanceTypeList(const std::string& value) {
  std::vector<std::string> types;
  for (const std::string& piece : splitAll(value, ',')) {
    const std::string type = aws::trim(piece);
    if (type.empty())
      throw std::invalid_argument("an empty instance type in " + aws::inQuotes(value));
    if (!looksLikeType(type)) {
      throw std::invalid_argument(aws::inQuotes(type) +
                                  " is not an instance type (such as t3.micro)");
    }
    if (std::find(types.begin(), types.end(), type) != types.end()) {
      throw std::invalid_argument(type + " is listed twice");
    }
    types.push_back(type);
  }
  return types;
}

std::vector<std::string> LaunchPlan::typesFor(const std::string& zone) const {
  if (!offered) return types;
  const auto found = offered->find(zone);
  if (found == offered->end()) return {};
  std::vector<std::string> here;
  for (const std::string& type : types) {
    if (std::find(found->second.begin(), found->second.end(), type) != found->second.end()) {
      here.push_back(type);
    }
  }
  return here;
}

std::string LaunchPlan::imageFor(const std::string& type) const {
  const auto found = facts.find(type);
  return found == facts.end() ? std::string() : found->second.image_id;
}

std::string LaunchPlan::zoneOf(const std::string& subnet_id) const {
  const auto found = subnets.find(subnet_id);
  return found == subnets.end() ? std::string() : found->second.availability_zone;
}

LaunchPlan singleImagePlan(const std::string& instance_type, const std::string& image_id) {
  LaunchPlan plan;
  plan.types = {instance_type};
  plan.facts[instance_type].image_id = image_id;
  return plan;
}

bool isStandardFamily(const std::string& instance_type) {
  if (instance_type.empty() ||
      std::string_view("acdhimrtz").find(instance_type.front()) == std::string_view::npos) {
    return false;
  }
  // Families of those letters that have quotas of their own.
  for (const char* own : {"inf", "dl", "hpc", "trn", "mac"}) {
    if (instance_type.rfind(own, 0) == 0) return false;
  }
  return true;
}

std::vector<std::string> addressVerdicts(const std::vector<AddressNeed>& needs,
                                         const std::map<std::string, aws::ec2::Subnet>& subnets) {
  std::map<std::string, int> left;
  for (const auto& [id, subnet] : subnets) {
    if (subnet.available_ip_address_count) left[id] = *subnet.available_ip_address_count;
  }
  std::map<std::string, int> taken;  // by the entries that fitted so far
  std::vector<std::string> verdicts;
  for (const AddressNeed& need : needs) {
    std::map<std::string, int> wants;
    if (!need.launch_subnet.empty()) ++wants[need.launch_subnet];
    if (!need.private_subnet.empty()) ++wants[need.private_subnet];
    std::string verdict;
    for (const auto& [subnet, count] : wants) {
      const auto free = left.find(subnet);
      if (free == left.end() || free->second >= count) continue;
      const int before = free->second + taken[subnet];
      verdict = "subnet " + subnet + " has " + std::to_string(before) + " free address" +
                (before == 1 ? "" : "es") +
                (taken[subnet] > 0
                     ? ", " + std::to_string(taken[subnet]) + " of them for the entries before"
                     : "") +
                "; this entry needs " + std::to_string(count) + " there";
      break;
    }
    if (verdict.empty()) {
      for (const auto& [subnet, count] : wants) {
        if (left.count(subnet) == 0) continue;
        left[subnet] -= count;
        taken[subnet] += count;
      }
    }
    verdicts.push_back(verdict);
  }
  return verdicts;
}

}  // namespace probefleet
