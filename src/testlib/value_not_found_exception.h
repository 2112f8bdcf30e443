#pragma once
// The failure kind of a lookup that found no value yet, e.g. an interface
// without its private address; retry wrappers catch exactly this kind.

#include <stdexcept>
#include <string>

namespace testlib {

class ValueNotFoundException : public std::runtime_error {
 public:
  explicit ValueNotFoundException(const std::string& message) : std::runtime_error(message) {}
};

}  // namespace testlib
