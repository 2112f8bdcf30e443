#include "testlib/option_scanner.h"

namespace testlib {

NameMatch matchOptionName(const std::vector<OptionRule>& rules, const std::string& name,
                          NameMatching matching) {
  NameMatch match;
  for (std::size_t i = 0; i < rules.size(); ++i) {
    if (rules[i].name == name) {
      match.option = i;
      return match;
    }
  }
  if (name.empty() || matching == NameMatching::kExact) return match;
  for (std::size_t i = 0; i < rules.size(); ++i) {
    if (rules[i].name.starts_with(name)) match.candidates.push_back(i);
  }
  if (match.candidates.size() == 1) match.option = match.candidates.front();
  return match;
}

OptionScanner::OptionScanner(const std::vector<std::string>& arguments,
                             const std::vector<OptionRule>& rules, NameMatching matching)
    : arguments_(arguments), rules_(rules), matching_(matching) {}

bool OptionScanner::next() {
  if (next_ >= arguments_.size()) return false;
  at_ = next_++;
  return true;
}

bool OptionScanner::isLongOption() const {
  return word().starts_with("--") && word().size() > 2;
}

std::string OptionScanner::name() const {
  const std::size_t equals = word().find('=');
  return word().substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
}

std::optional<std::string> OptionScanner::joinedValue() const {
  const std::size_t equals = word().find('=');
  if (equals == std::string::npos) return std::nullopt;
  return word().substr(equals + 1);
}

const std::string* OptionScanner::following() const {
  return next_ < arguments_.size() ? &arguments_[next_] : nullptr;
}

const std::string& OptionScanner::takeFollowing() {
  return arguments_[next_++];
}

std::vector<std::string> OptionScanner::takeRest() {
  std::vector<std::string> rest(arguments_.begin() + static_cast<long>(next_), arguments_.end());
  next_ = arguments_.size();
  return rest;
}

}  // namespace testlib
