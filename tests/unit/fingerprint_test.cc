// Private-key fingerprints against openssl's own command line: the SHA-1 of
// the unencrypted PKCS#8 DER that `openssl pkcs8 -topk8 -nocrypt` writes.

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "s3/fingerprint.h"
#include "support/files.h"
#include "support/sandbox.h"

namespace s3lib {
namespace {

namespace fs = std::filesystem;

using testing_support::readFile;

// Runs a shell command line; its standard output, or a test failure.
std::string shell(const std::string& command) {
  std::string out, err;
  const int status = testing_support::runProcess({"sh", "-c", command}, {}, &out, &err);
  if (status != 0) throw std::runtime_error(command + " failed: " + err);
  return out;
}

// What `openssl pkcs8 ... | openssl sha1 -c` prints after "= ".
std::string opensslFingerprint(const fs::path& key, const std::string& passin = "") {
  std::string out =
      shell("openssl pkcs8 -in '" + key.string() + "' -inform PEM -outform DER -topk8 -nocrypt" +
            (passin.empty() ? "" : " -passin pass:" + passin) + " | openssl sha1 -c");
  const std::size_t equals = out.find("= ");
  if (equals == std::string::npos) throw std::runtime_error("unexpected openssl output: " + out);
  out = out.substr(equals + 2);
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
  return out;
}

constexpr const char* kPass = "s3cret-phrase";

struct KeyCase {
  std::string name;
  std::string generate;  // shell command writing the PEM to $K
  std::string type;
  std::optional<int> size;
  std::string passin;  // pass phrase of an encrypted key
};

class FingerprintTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { scratch_ = std::make_unique<testing_support::ScratchDir>(); }
  static void TearDownTestSuite() { scratch_.reset(); }

  static fs::path make(const KeyCase& key) {
    const fs::path path = scratch_->path() / (key.name + ".pem");
    if (!fs::exists(path)) shell("K='" + path.string() + "'; " + key.generate);
    return path;
  }

  static inline std::unique_ptr<testing_support::ScratchDir> scratch_;
};

const std::vector<KeyCase>& keyCases() {
  static const std::vector<KeyCase> cases = {
      // Traditional "BEGIN RSA PRIVATE KEY" and PKCS#8 "BEGIN PRIVATE KEY".
      {"rsa2048_traditional", "openssl genrsa -traditional -out \"$K\" 2048 2>/dev/null", "RSA",
       2048, ""},
      {"rsa2048_pkcs8", "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out \"$K\"",
       "RSA", 2048, ""},
      {"rsa4096_traditional", "openssl genrsa -traditional -out \"$K\" 4096 2>/dev/null", "RSA",
       4096, ""},
      {"rsa4096_pkcs8", "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:4096 -out \"$K\"",
       "RSA", 4096, ""},
      // ecparam writes an "EC PARAMETERS" block before the key.
      {"ec_p256_traditional", "openssl ecparam -name prime256v1 -genkey -out \"$K\"", "EC", 256,
       ""},
      {"ec_p384_pkcs8",
       "openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-384 -out \"$K\"", "EC", 384, ""},
      {"dsa1024",
       "openssl dsaparam -out \"$K.param\" 1024 2>/dev/null && openssl gendsa -out \"$K\" "
       "\"$K.param\" 2>/dev/null",
       "DSA", 1024, ""},
      {"ed25519", "openssl genpkey -algorithm ED25519 -out \"$K\"", "Unknown", std::nullopt, ""},
      {"rsa_encrypted_pkcs8",
       std::string("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -aes-256-cbc "
                   "-pass pass:") +
           kPass + " -out \"$K\"",
       "RSA", 2048, kPass},
      {"rsa_encrypted_traditional",
       std::string("openssl genrsa -traditional 2048 2>/dev/null | openssl rsa -traditional "
                   "-aes128 -passout pass:") +
           kPass + " -out \"$K\" 2>/dev/null",
       "RSA", 2048, kPass},
      {"ec_encrypted_pkcs8",
       std::string("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -aes-128-cbc "
                   "-pass pass:") +
           kPass + " -out \"$K\"",
       "EC", 256, kPass},
  };
  return cases;
}

TEST_F(FingerprintTest, EqualsOpensslPkcs8Sha1ForEveryKeyKind) {
  for (const KeyCase& key : keyCases()) {
    SCOPED_TRACE(key.name);
    const fs::path path = make(key);
    const std::optional<std::string> password =
        key.passin.empty() ? std::nullopt : std::optional<std::string>(key.passin);
    const FingerprintResult result = fingerprintOfPem(readFile(path), password);

    const std::string expected = opensslFingerprint(path, key.passin);
    ASSERT_EQ(expected.size(), 59u);
    FingerprintResult want = FingerprintResult::object();
    want["fingerprint"] = expected;
    want["key_type"] = key.type;
    want["key_size"] = key.size ? nlohmann::ordered_json(*key.size) : nlohmann::ordered_json();
    want["algorithm"] = "SHA-1";
    EXPECT_EQ(result.dump(), want.dump());
  }
}

TEST_F(FingerprintTest, TraditionalAndPkcs8FormsOfOneKeyAgree) {
  const fs::path traditional = make(keyCases()[0]);
  const fs::path pkcs8 = scratch_->path() / "rsa2048_same_as_pkcs8.pem";
  shell("openssl pkey -in '" + traditional.string() + "' -out '" + pkcs8.string() + "'");
  ASSERT_NE(readFile(traditional), readFile(pkcs8));
  EXPECT_EQ(fingerprintOfPem(readFile(traditional))["fingerprint"],
            fingerprintOfPem(readFile(pkcs8))["fingerprint"]);
}

TEST_F(FingerprintTest, RefusesWhatIsNotAnUnlockedPrivateKey) {
  const std::string encrypted = readFile(make(keyCases()[8]));
  const std::string plain = readFile(make(keyCases()[1]));
  const fs::path public_key = scratch_->path() / "public.pem";
  shell("openssl pkey -in '" + (scratch_->path() / "rsa2048_pkcs8.pem").string() + "' -pubout -out '" +
        public_key.string() + "'");
  struct Case {
    const char* name;
    std::string pem;
    std::optional<std::string> password;
  };
  const std::vector<Case> cases = {
      {"encrypted, no pass phrase", encrypted, std::nullopt},
      {"encrypted, empty pass phrase", encrypted, std::string()},
      {"encrypted, wrong pass phrase", encrypted, std::string("wrong-phrase")},
      {"public key", readFile(public_key), std::nullopt},
      {"plain text", "just some notes, not a key\n", std::nullopt},
      {"empty object", "", std::nullopt},
      {"truncated key", plain.substr(0, plain.size() / 2), std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      fingerprintOfPem(c.pem, c.password);
      ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& error) {
      const std::string text = error.what();
      EXPECT_FALSE(text.empty());
      // Neither key material nor the pass phrase may reach a log line.
      EXPECT_EQ(text.find("wrong-phrase"), std::string::npos) << text;
      EXPECT_EQ(text.find("MII"), std::string::npos) << text;
    }
  }
}

TEST(ColonSeparatedTest, PairsJoinedByColons) {
  EXPECT_EQ(colonSeparated("1f51ae28"), "1f:51:ae:28");
  EXPECT_EQ(colonSeparated(""), "");
  EXPECT_EQ(colonSeparated("ab"), "ab");
}

}  // namespace
}  // namespace s3lib
