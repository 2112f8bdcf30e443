#include "probefleet/tags.h"

namespace probefleet {

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
