#pragma once
// The fingerprint EC2 gives a key pair whose private key it generated: the
// SHA-1 of the private key as unencrypted PKCS#8 DER, in lower-case hex with a
// colon between every two digits. Computed here for a PEM key kept in a
// bucket, so that the two can be compared as text.

#include <optional>
#include <string>
#include <string_view>

#include <openssl/types.h>
#include <nlohmann/json.hpp>

#include "aws/services/s3.h"

namespace s3lib {

/// {"fingerprint": text, "key_type": text, "key_size": bits or null,
///  "algorithm": "SHA-1"}, or the empty result {"fingerprint": ""}. Callers
/// test "fingerprint" against "" and read nothing else then.
using FingerprintResult = nlohmann::ordered_json;
/// {"type": "RSA" | "EC" | "DSA" | "Unknown", "size": bits or null}.
using KeyInfo = nlohmann::ordered_json;

/// {"fingerprint": ""}.
FingerprintResult emptyFingerprintResult();

/// The kind and size of a parsed private key: RSA (modulus bits), EC (curve
/// bits), DSA (bits), else "Unknown" with a null size (e.g. Ed25519).
KeyInfo get_key_info(const EVP_PKEY* private_key);

/// "1f51ae28" -> "1f:51:ae:28": pieces of two characters joined by ":".
std::string colonSeparated(const std::string& hex);

/// The fingerprint result of PEM private-key text (any type OpenSSL knows,
/// traditional or PKCS#8, encrypted ones with `password`; an absent or empty
/// password means none). Throws std::runtime_error with OpenSSL's reason when
/// the text holds no private key it can load, the pass phrase is missing or
/// wrong, or re-encoding or hashing fails. Key material never reaches the
/// message.
FingerprintResult fingerprintOfPem(std::string_view pem,
                                   const std::optional<std::string>& password = std::nullopt);

/// What reading a private key kept in a bucket told.
struct StoredKey {
  enum class State {
    kFound,       // read and fingerprinted
    kAbsent,      // S3 says there is no such key
    kUnreadable,  // the read failed: nothing is known about the key
    kNotAKey,     // read, but it holds no private key
  };
  State state = State::kUnreadable;
  std::string fingerprint;                              // kFound: as fingerprintOfPem gives it
  FingerprintResult result = emptyFingerprintResult();  // kFound: fingerprintOfPem's whole
  std::string error;  // kUnreadable, kNotAKey: why, as S3 or OpenSSL said it
};

/// Reads s3://bucket_name/key_name whole and fingerprints it, logging as
/// get_private_key_fingerprint_from_s3 does. Only S3's word that the key
/// does not exist (NoSuchKey, or a 404 without a code) is kAbsent; any other
/// failure of the read (denied, a 5xx after the retries, no answer, no
/// client) is kUnreadable. Throws only aws::Interrupted.
StoredKey readStoredKeyFingerprint(const aws::S3Client* s3_client, const std::string& bucket_name,
                                   const std::string& key_name,
                                   const std::optional<std::string>& password = std::nullopt);

/// Reads s3://bucket_name/key_name whole and returns fingerprintOfPem of it.
/// Never throws: a missing object logs "  <key> not found in <bucket>" (info),
/// another failed download logs "  **Error** <reason>", a failure after the
/// download "  **Error**: <reason>" (both at error level); each returns the
/// empty result. A download logs "  Found <key> in <bucket>" first. A null
/// client counts as a failed download.
FingerprintResult get_private_key_fingerprint_from_s3(
    const aws::S3Client* s3_client, const std::string& bucket_name, const std::string& key_name,
    const std::optional<std::string>& password = std::nullopt);

}  // namespace s3lib
