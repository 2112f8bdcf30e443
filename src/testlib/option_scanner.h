#pragma once
// Walking a command line of long options, shared by the program's parser and
// the companion commands' one: each keeps its own option table, its own
// rules about what may stand as a value, and its own messages, while the
// splitting of "--name=value", the matching of names and the taking of a
// separated value happen here once.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace testlib {

/// An option of a table, by its name without the leading "--".
struct OptionRule {
  std::string name;
  bool takes_value = false;
};

/// How a name on the command line is matched against a table.
enum class NameMatching {
  kExact,        // only the full name
  kUnambiguous,  // the full name, else the one name it is a prefix of
};

/// What a name matched.
struct NameMatch {
  /// The index in the table of the option the name stands for; nullopt when
  /// none or several do.
  std::optional<std::size_t> option;
  /// kUnambiguous: the indexes of every option the name is a prefix of, in
  /// table order, when no name equals it; more than one means ambiguous.
  std::vector<std::size_t> candidates;
};

/// Matches `name` against `rules`: an exact name wins over prefixes; the
/// empty name matches nothing.
NameMatch matchOptionName(const std::vector<OptionRule>& rules, const std::string& name,
                          NameMatching matching);

/// A cursor over the arguments after the program name.
class OptionScanner {
 public:
  OptionScanner(const std::vector<std::string>& arguments, const std::vector<OptionRule>& rules,
                NameMatching matching);

  /// Moves to the next word; false when none is left.
  bool next();
  /// The current word (after a next() that returned true).
  const std::string& word() const { return arguments_[at_]; }
  /// Whether the current word is a long option, "--name" or "--name=value"
  /// with a non-empty name ("--" alone is not).
  bool isLongOption() const;
  /// The current word's name: after "--", before the first '='.
  std::string name() const;
  /// The current word's value after the first '='; nullopt without one.
  std::optional<std::string> joinedValue() const;
  /// matchOptionName of the current word's name.
  NameMatch match() const { return matchOptionName(rules_, name(), matching_); }
  /// The word after the current one; nullptr at the end. Not consumed.
  const std::string* following() const;
  /// Consumes the following word (which must exist) and returns it, for an
  /// option's separated value.
  const std::string& takeFollowing();
  /// Every word after the current one; the scan ends.
  std::vector<std::string> takeRest();

 private:
  const std::vector<std::string>& arguments_;
  const std::vector<OptionRule>& rules_;
  NameMatching matching_;
  std::size_t at_ = 0;    // the current word
  std::size_t next_ = 0;  // the word next() moves to
};

}  // namespace testlib
