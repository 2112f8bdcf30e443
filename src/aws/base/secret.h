#pragma once
// Secrets (private keys, SecureString values, credentials) are wiped from
// memory as soon as they are no longer needed, so that a core dump or a
// reused allocation does not carry them.

#include <string>

namespace aws {

/// Overwrites the text's bytes with zeros in a way the compiler cannot drop;
/// the size is kept.
void wipeSecret(std::string& text);

/// Wipes the text it watches when the scope ends, however it ends.
class SecretWiper {
 public:
  explicit SecretWiper(std::string& text) : text_(text) {}
  ~SecretWiper() { wipeSecret(text_); }
  SecretWiper(const SecretWiper&) = delete;
  SecretWiper& operator=(const SecretWiper&) = delete;

 private:
  std::string& text_;
};

}  // namespace aws
