#pragma once
// Small text helpers the whole code base shares. ASCII only: AWS names,
// settings and headers are ASCII, and locale-aware case mapping would make
// "I" and "i" differ between machines.

#include <string>
#include <string_view>

namespace aws {

/// Whitespace as the shared AWS files and C's isspace know it.
inline constexpr std::string_view kAsciiSpace = " \t\r\n\f\v";

/// `text` without the leading and trailing characters of `chars`.
std::string trim(std::string_view text, std::string_view chars = kAsciiSpace);
/// `text` with A-Z turned to a-z; other bytes as they are.
std::string lower(std::string text);
/// `text` with a-z turned to A-Z; other bytes as they are.
std::string upper(std::string text);
/// `text` between double quotes, for messages that name a value.
std::string inQuotes(std::string_view text);

}  // namespace aws
