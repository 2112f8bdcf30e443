#include "probefleet/resources/tags.h"

#include <set>

#include "aws/base/strings.h"

namespace probefleet {

namespace {

// Characters, as AWS counts them: UTF-8 code points, not bytes.
std::size_t characters(const std::string& text) {
  std::size_t count = 0;
  for (const char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return count;
}

// IAM's tag alphabet: [\p{L}\p{Z}\p{N}_.:/=+\-@]. Beyond ASCII, letters and
// separators cannot be told apart here without Unicode tables; IAM itself
// judges those.
bool iamCharacters(const std::string& text) {
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    const bool ascii_ok = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') ||
                          (u >= '0' && u <= '9') ||
                          std::string_view(" _.:/=+-@").find(c) != std::string_view::npos;
    if (u < 0x80 && !ascii_ok) return false;
  }
  return true;
}

bool startsWithAws(const std::string& text) {
  if (text.size() < 4) return false;
  std::string head = text.substr(0, 4);
  for (char& c : head) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return head == "aws:";
}

}  // namespace

std::optional<std::string> tagPairsProblem(const std::string& rt_tags, bool for_iam) {
  // Each resource carries its Name beside the user's pairs.
  constexpr std::size_t kMaxTags = 50;
  std::vector<aws::ec2::Tag> pairs;
  populateTags(pairs, rt_tags);
  if (pairs.size() + 1 > kMaxTags) {
    return std::to_string(pairs.size()) + " tag pairs given: AWS allows " +
           std::to_string(kMaxTags) + " tags on a resource, its Name among them, so at most " +
           std::to_string(kMaxTags - 1);
  }
  std::set<std::string> keys;
  for (const aws::ec2::Tag& tag : pairs) {
    const std::string pair = "tag pair " + aws::inQuotes(tag.key + "," + tag.value) + ": ";
    if (tag.key.empty()) return pair + "the key is empty";
    if (characters(tag.key) > 128) return pair + "the key is longer than 128 characters";
    if (characters(tag.value) > 256) return pair + "the value is longer than 256 characters";
    if (startsWithAws(tag.key)) return pair + "keys beginning with \"aws:\" are AWS's own";
    if (tag.key == "Name") {
      return pair + "every resource gets its Name from probefleet, which finds it by that name";
    }
    if (!keys.insert(tag.key).second) return pair + "the key " + tag.key + " is given twice";
    if (for_iam && !(iamCharacters(tag.key) && iamCharacters(tag.value))) {
      return pair +
             "IAM (the instance role, policy and profile) allows only letters, digits, spaces "
             "and _ . : / = + - @ in tags";
    }
  }
  return std::nullopt;
}

void populateTags(std::vector<aws::ec2::Tag>& data, const std::string& rt_tags) {
  std::vector<std::string> pieces;
  std::string::size_type start = 0;
  for (;;) {
    const auto comma = rt_tags.find(',', start);
    pieces.push_back(rt_tags.substr(start, comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  for (std::size_t i = 0; i + 1 < pieces.size(); i += 2) {
    data.push_back(aws::ec2::Tag{pieces[i], pieces[i + 1]});
  }
}

std::string deduceTag(const std::string& run_tag, const TestConfig* test_config) {
  if (test_config == nullptr) return "-" + run_tag;
  const auto gw_name = test_config->find("gw_name");
  if (!test_config->is_object() || gw_name == test_config->end()) {
    throw TestConfigError("the test config entry has no \"gw_name\" to form the test tag from");
  }
  std::string name;
  if (gw_name->is_string()) {
    name = gw_name->get<std::string>();
  } else {
    name = formatTestConfig(*gw_name);
    if (!name.empty() && name.back() == '\n') name.pop_back();
  }
  return name + "-" + run_tag;
}

}  // namespace probefleet
