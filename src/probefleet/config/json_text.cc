#include "probefleet/config/json_text.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace probefleet {

namespace {

using Json = TestConfig;

// Builds the document from parser events. Unlike the library's own builder
// it keeps integers that do not fit 64 bits as their digits instead of
// turning them into lossy doubles.
class DocumentBuilder {
 public:
  using number_integer_t = Json::number_integer_t;
  using number_unsigned_t = Json::number_unsigned_t;
  using number_float_t = Json::number_float_t;
  using string_t = Json::string_t;
  using binary_t = Json::binary_t;

  explicit DocumentBuilder(Json& root) : root_(root) {}

  bool null() { return put(nullptr); }
  bool boolean(bool value) { return put(value); }
  bool number_integer(number_integer_t value) { return put(value); }
  bool number_unsigned(number_unsigned_t value) { return put(value); }
  bool number_float(number_float_t value, const string_t& literal) {
    if (literal.find_first_of(".eE") == string_t::npos) {
      // An integer literal reaches this event only when it overflowed.
      return put(Json::binary(binary_t::container_type(literal.begin(), literal.end()),
                              kBigIntegerSubtype));
    }
    return put(value);
  }
  bool string(string_t& value) { return put(std::move(value)); }
  bool binary(binary_t& value) { return put(Json::binary(std::move(value))); }
  bool start_object(std::size_t) {
    if (tooDeep()) return false;
    stack_.push_back(put(Json::object()) ? last_ : nullptr);
    return true;
  }
  bool key(string_t& name) {
    pending_key_ = std::move(name);
    return true;
  }
  bool end_object() {
    stack_.pop_back();
    return true;
  }
  bool start_array(std::size_t) {
    if (tooDeep()) return false;
    stack_.push_back(put(Json::array()) ? last_ : nullptr);
    return true;
  }
  bool end_array() {
    stack_.pop_back();
    return true;
  }
  bool parse_error(std::size_t position, const std::string&,
                   const nlohmann::detail::exception& error) {
    error_position_ = position;
    error_text_ = error.what();
    return false;
  }

  std::size_t errorPosition() const { return error_position_; }
  const std::string& errorText() const { return error_text_; }
  bool nestedTooDeep() const { return nested_too_deep_; }

  // Writing and comparing documents recurses once per level: deeper ones
  // would overflow the stack. Python's json module refuses them too.
  static constexpr std::size_t kMaxDepth = 512;

 private:
  bool tooDeep() {
    nested_too_deep_ = stack_.size() >= kMaxDepth;
    return nested_too_deep_;
  }

  // Stores `value` where the parser stands and remembers where it went.
  bool put(Json value) {
    if (stack_.empty()) {
      root_ = std::move(value);
      last_ = &root_;
    } else if (stack_.back()->is_array()) {
      stack_.back()->push_back(std::move(value));
      last_ = &stack_.back()->back();
    } else {
      // A repeated key keeps its first place and takes the last value, as
      // Python's json module does.
      Json& slot = (*stack_.back())[pending_key_];
      slot = std::move(value);
      last_ = &slot;
    }
    return true;
  }

  Json& root_;
  std::vector<Json*> stack_;
  Json* last_ = nullptr;
  string_t pending_key_;
  std::size_t error_position_ = 0;
  std::string error_text_;
  bool nested_too_deep_ = false;
};

// The library's message without its "[json.exception...] parse error at
// line L, column C: " preamble, which the caller words itself.
std::string errorDetail(const std::string& what) {
  std::string detail = what;
  if (auto bracket = detail.find("] ");
      detail.rfind("[json.exception", 0) == 0 && bracket != std::string::npos) {
    detail.erase(0, bracket + 2);
  }
  if (auto column = detail.find("column ");
      detail.rfind("parse error at", 0) == 0 && column != std::string::npos) {
    if (auto colon = detail.find(": ", column); colon != std::string::npos) {
      detail.erase(0, colon + 2);
    }
  }
  return detail;
}

// Line and column (both from 1) of the byte at which the parser stopped:
// `position` bytes were read, the last of them the offending one. At the end
// of the input just after a line feed, the column is 1 of the empty line.
std::pair<std::size_t, std::size_t> lineAndColumn(const std::string& text, std::size_t position) {
  position = std::min(position, text.size());
  std::size_t line = 1, line_start = 0;
  for (std::size_t i = 0; i < position; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return {line, std::max<std::size_t>(1, position - line_start)};
}

void appendHex4(std::string& out, unsigned value) {
  static const char kDigits[] = "0123456789abcdef";
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kDigits[(value >> shift) & 0xF];
}

// Decodes one UTF-8 sequence starting at text[i]; advances i past it.
unsigned decodeUtf8(const std::string& text, std::size_t& i) {
  const auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  const unsigned lead = byte(i);
  int extra = 0;
  unsigned code = 0, minimum = 0;
  if (lead < 0x80) {
    ++i;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    extra = 1, code = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, code = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, code = lead & 0x07, minimum = 0x10000;
  } else {
    throw TestConfigError("text is not valid UTF-8");
  }
  if (i + extra >= text.size()) throw TestConfigError("text is not valid UTF-8");
  for (int k = 1; k <= extra; ++k) {
    const unsigned next = byte(i + k);
    if ((next & 0xC0) != 0x80) throw TestConfigError("text is not valid UTF-8");
    code = (code << 6) | (next & 0x3F);
  }
  if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
    throw TestConfigError("text is not valid UTF-8");
  }
  i += extra + 1;
  return code;
}

// A JSON string as Python writes it with ensure_ascii: printable ASCII as
// is, the usual short escapes, everything else as \uXXXX.
void appendString(std::string& out, const std::string& text) {
  static constexpr std::pair<unsigned, const char*> kShortEscapes[] = {
      {'"', "\\\""}, {'\\', "\\\\"}, {'\n', "\\n"}, {'\r', "\\r"},
      {'\t', "\\t"}, {'\b', "\\b"},  {'\f', "\\f"}};
  out += '"';
  for (std::size_t i = 0; i < text.size();) {
    const unsigned code = decodeUtf8(text, i);
    const auto* escape = std::find_if(std::begin(kShortEscapes), std::end(kShortEscapes),
                                      [&](const auto& e) { return e.first == code; });
    if (escape != std::end(kShortEscapes)) {
      out += escape->second;
    } else if (code >= 0x20 && code <= 0x7E) {
      out += static_cast<char>(code);
    } else if (code < 0x10000) {
      appendHex4(out, code);
    } else {
      const unsigned v = code - 0x10000;
      appendHex4(out, 0xD800 + (v >> 10));
      appendHex4(out, 0xDC00 + (v & 0x3FF));
    }
  }
  out += '"';
}

// A double as Python's repr() writes it: the shortest digits that read back
// to the same value, positional notation for decimal exponents -4 to 15
// (always with a fractional part), scientific with a signed exponent of at
// least two digits otherwise.
void appendFloat(std::string& out, double value) {
  if (!std::isfinite(value)) throw TestConfigError("a number is not finite");
  char buffer[64];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  std::string sci(buffer, result.ptr);  // e.g. "-1.2345e+17"
  std::string sign;
  if (sci[0] == '-') {
    sign = "-";
    sci.erase(0, 1);
  }
  const auto e_at = sci.find('e');
  const int exponent = std::stoi(sci.substr(e_at + 1));
  std::string digits = sci.substr(0, e_at);
  if (digits.size() > 1) digits.erase(1, 1);  // drop the decimal point

  out += sign;
  if (exponent >= -4 && exponent < 16) {
    if (exponent < 0) {
      out += "0." + std::string(-exponent - 1, '0') + digits;
    } else if (static_cast<int>(digits.size()) <= exponent + 1) {
      out += digits + std::string(exponent + 1 - digits.size(), '0') + ".0";
    } else {
      out += digits.substr(0, exponent + 1) + "." + digits.substr(exponent + 1);
    }
    return;
  }
  out += digits.substr(0, 1);
  if (digits.size() > 1) out += "." + digits.substr(1);
  const int magnitude = exponent < 0 ? -exponent : exponent;
  out += exponent < 0 ? "e-" : "e+";
  if (magnitude < 10) out += '0';
  out += std::to_string(magnitude);
}

void appendValue(std::string& out, const Json& value, int depth);

void newline(std::string& out, int level) {
  out += '\n';
  out.append(static_cast<std::size_t>(level) * 2, ' ');
}

// A big integer kept as its digits goes out as it came in.
void appendBinary(std::string& out, const Json::binary_t& bytes) {
  if (!bytes.has_subtype() || bytes.subtype() != kBigIntegerSubtype) {
    throw TestConfigError("binary data cannot be written as JSON");
  }
  out.append(bytes.begin(), bytes.end());
}

// An array or object: "[]" or "{}" when empty, else its members one per
// line, indented one level deeper than its brackets. `appendMember` writes
// one member.
template <class Members, class AppendMember>
void appendContainer(std::string& out, const Members& members, int depth, std::string_view brackets,
                     AppendMember appendMember) {
  if (members.begin() == members.end()) {
    out += brackets;
    return;
  }
  out += brackets[0];
  bool first = true;
  for (const auto& member : members) {
    if (!first) out += ',';
    first = false;
    newline(out, depth + 1);
    appendMember(member);
  }
  newline(out, depth);
  out += brackets[1];
}

void appendValue(std::string& out, const Json& value, int depth) {
  switch (value.type()) {
    case Json::value_t::null:
      out += "null";
      break;
    case Json::value_t::boolean:
      out += value.get<bool>() ? "true" : "false";
      break;
    case Json::value_t::number_integer:
      out += std::to_string(value.get<Json::number_integer_t>());
      break;
    case Json::value_t::number_unsigned:
      out += std::to_string(value.get<Json::number_unsigned_t>());
      break;
    case Json::value_t::number_float:
      appendFloat(out, value.get<double>());
      break;
    case Json::value_t::string:
      appendString(out, value.get_ref<const std::string&>());
      break;
    case Json::value_t::binary:
      appendBinary(out, value.get_binary());
      break;
    case Json::value_t::array:
      appendContainer(out, value, depth, "[]",
                      [&](const Json& element) { appendValue(out, element, depth + 1); });
      break;
    case Json::value_t::object:
      appendContainer(out, value.items(), depth, "{}", [&](const auto& member) {
        appendString(out, member.key());
        out += ": ";
        appendValue(out, member.value(), depth + 1);
      });
      break;
    case Json::value_t::discarded:
      throw TestConfigError("a discarded value cannot be written");
  }
}

}  // namespace

TestConfig parseJsonText(const std::string& text, const std::string& source) {
  Json document;
  DocumentBuilder builder(document);
  if (!Json::sax_parse(text, &builder)) {
    if (builder.nestedTooDeep()) {
      throw TestConfigError("test config " + source + " is not usable: values nested deeper than " +
                            std::to_string(DocumentBuilder::kMaxDepth) + " levels");
    }
    const auto [line, column] = lineAndColumn(text, builder.errorPosition());
    throw TestConfigError("test config " + source + " is not valid JSON: line " +
                          std::to_string(line) + ", column " + std::to_string(column) + ": " +
                          errorDetail(builder.errorText()));
  }
  return document;
}

std::string formatTestConfig(const TestConfig& document) {
  std::string out;
  appendValue(out, document, 0);
  out += '\n';
  return out;
}

}  // namespace probefleet
