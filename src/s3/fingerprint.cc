#include "s3/fingerprint.h"

#include <algorithm>

#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include "aws/base/interrupt.h"
#include "aws/base/secret.h"
#include "aws/client/error.h"
#include "testlib/common.h"

namespace s3lib {

namespace {

struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct Pkcs8Free {
  void operator()(PKCS8_PRIV_KEY_INFO* info) const { PKCS8_PRIV_KEY_INFO_free(info); }
};
// The DER form holds the key itself: wiped before it is freed.
struct DerFree {
  int length;
  void operator()(unsigned char* der) const { OPENSSL_clear_free(der, length); }
};

// OpenSSL's reason for the latest failure (its error queue emptied), or
// `fallback` when it recorded none.
std::string opensslReason(const std::string& fallback) {
  unsigned long last = 0;
  while (unsigned long code = ERR_get_error()) last = code;
  if (last == 0) return fallback;
  char text[256];
  ERR_error_string_n(last, text, sizeof text);
  return fallback + " (" + text + ")";
}

// Hands the pass phrase to the PEM reader. Without one the read fails at
// once: OpenSSL's default would prompt on the terminal.
int passPhrase(char* buffer, int size, int /*rwflag*/, void* user) {
  const auto* password = static_cast<const std::string*>(user);
  if (password == nullptr || password->empty()) return -1;
  if (password->size() > static_cast<std::size_t>(size)) return -1;
  std::memcpy(buffer, password->data(), password->size());
  return static_cast<int>(password->size());
}

std::unique_ptr<EVP_PKEY, KeyFree> loadPrivateKey(std::string_view pem,
                                                  const std::optional<std::string>& password) {
  ERR_clear_error();
  // BIO_new_mem_buf takes an int, and reads a negative length as "up to the
  // first NUL byte", past the end of the data.
  if (pem.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    throw std::runtime_error("could not load a PEM private key (the text is too large)");
  }
  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  if (!bio) throw std::runtime_error(opensslReason("cannot read the key data"));
  const std::string* phrase = password && !password->empty() ? &*password : nullptr;
  std::unique_ptr<EVP_PKEY, KeyFree> key(
      PEM_read_bio_PrivateKey(bio.get(), nullptr, passPhrase, const_cast<std::string*>(phrase)));
  if (!key) {
    // What the armour says it holds, when it is not a private key at all.
    const std::string_view armour = pem.substr(0, std::min<std::size_t>(pem.size(), 4096));
    for (const char* label : {"CERTIFICATE", "PUBLIC KEY"}) {
      const std::string begin = std::string("-----BEGIN ") + label + "-----";
      const auto at = armour.find(begin);
      if (at != std::string_view::npos &&
          (armour.find("PRIVATE KEY-----") == std::string_view::npos)) {
        ERR_clear_error();
        throw std::runtime_error(
            std::string("could not load a PEM private key: the text holds a ") +
            (std::string_view(label) == "CERTIFICATE" ? "certificate" : "public key") +
            ", not a private key");
      }
    }
    throw std::runtime_error(opensslReason(
        phrase ? "could not load a PEM private key with the given pass phrase"
               : "could not load a PEM private key (not a private key, or encrypted)"));
  }
  return key;
}

std::string pkcs8Sha1Hex(EVP_PKEY* key) {
  std::unique_ptr<PKCS8_PRIV_KEY_INFO, Pkcs8Free> info(EVP_PKEY2PKCS8(key));
  if (!info) throw std::runtime_error(opensslReason("cannot encode the key as PKCS#8"));
  unsigned char* raw = nullptr;
  const int length = i2d_PKCS8_PRIV_KEY_INFO(info.get(), &raw);
  if (length <= 0) throw std::runtime_error(opensslReason("cannot encode the key as DER"));
  std::unique_ptr<unsigned char, DerFree> der(raw, DerFree{length});

  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int digest_length = 0;
  if (EVP_Digest(der.get(), static_cast<std::size_t>(length), digest, &digest_length, EVP_sha1(),
                 nullptr) != 1) {
    throw std::runtime_error(opensslReason("cannot compute SHA-1"));
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned int i = 0; i < digest_length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 0x0f];
  }
  return hex;
}

}  // namespace

FingerprintResult emptyFingerprintResult() {
  FingerprintResult result = FingerprintResult::object();
  result["fingerprint"] = "";
  return result;
}

KeyInfo get_key_info(const EVP_PKEY* private_key) {
  KeyInfo info = KeyInfo::object();
  const char* type = "Unknown";
  if (EVP_PKEY_is_a(private_key, "RSA") || EVP_PKEY_is_a(private_key, "RSA-PSS")) {
    type = "RSA";
  } else if (EVP_PKEY_is_a(private_key, "EC")) {
    type = "EC";
  } else if (EVP_PKEY_is_a(private_key, "DSA")) {
    type = "DSA";
  }
  info["type"] = type;
  if (std::strcmp(type, "Unknown") == 0) {
    info["size"] = nullptr;
  } else {
    info["size"] = EVP_PKEY_get_bits(private_key);
  }
  return info;
}

std::string colonSeparated(const std::string& hex) {
  std::string text;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    if (i > 0) text += ':';
    text += hex.substr(i, 2);
  }
  return text;
}

FingerprintResult fingerprintOfPem(std::string_view pem,
                                   const std::optional<std::string>& password) {
  auto key = loadPrivateKey(pem, password);
  const std::string fingerprint = colonSeparated(pkcs8Sha1Hex(key.get()));
  const KeyInfo info = get_key_info(key.get());
  FingerprintResult result = FingerprintResult::object();
  result["fingerprint"] = fingerprint;
  result["key_type"] = info["type"];
  result["key_size"] = info["size"];
  result["algorithm"] = "SHA-1";
  return result;
}

StoredKey readStoredKeyFingerprint(const aws::S3Client* s3_client, const std::string& bucket_name,
                                   const std::string& key_name,
                                   const std::optional<std::string>& password) {
  auto log = testlib::s3Logger();
  aws::GetObjectResult object;
  aws::SecretWiper wipe(object.body);
  StoredKey stored;
  try {
    if (s3_client == nullptr) throw std::invalid_argument("no S3 client to read " + key_name);
    object = s3_client->getObject(bucket_name, key_name);
  } catch (const aws::Interrupted&) {
    throw;
  } catch (const aws::ServiceError& error) {
    stored.error = error.what();
    if (error.code() == "NoSuchKey" || (error.httpStatus() == 404 && error.code().empty())) {
      log->info("  " + key_name + " not found in " + bucket_name);
      stored.state = StoredKey::State::kAbsent;
    } else {
      log->error(std::string("  **Error** ") + error.what());
    }
    return stored;
  } catch (const std::exception& error) {
    log->error(std::string("  **Error** ") + error.what());
    stored.error = error.what();
    return stored;
  }
  try {
    log->info("  Found " + key_name + " in " + bucket_name);
    stored.result = fingerprintOfPem(object.body, password);
    stored.fingerprint = stored.result.at("fingerprint").get<std::string>();
    stored.state = StoredKey::State::kFound;
  } catch (const std::exception& error) {
    log->error(std::string("  **Error**: ") + error.what());
    stored.state = StoredKey::State::kNotAKey;
    stored.error = error.what();
  }
  return stored;
}

FingerprintResult get_private_key_fingerprint_from_s3(const aws::S3Client* s3_client,
                                                      const std::string& bucket_name,
                                                      const std::string& key_name,
                                                      const std::optional<std::string>& password) {
  try {
    StoredKey stored = readStoredKeyFingerprint(s3_client, bucket_name, key_name, password);
    if (stored.state == StoredKey::State::kFound) return std::move(stored.result);
  } catch (const aws::Interrupted& stop) {
    testlib::s3Logger()->error(std::string("  **Error** ") + stop.what());
  }
  return emptyFingerprintResult();
}

}  // namespace s3lib
