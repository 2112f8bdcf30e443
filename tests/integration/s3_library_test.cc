// The library s3 against the sandbox: uploads, the lazy listing, deletion,
// downloads of a VPC's backup folder, the dry-run forms, the stored key's
// fingerprint and S3BackupCmd's argument orders. Each test works under keys
// of its own in the world's bucket.

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "aws/services/s3_listing.h"
#include "integration/ops_sandbox.h"
#include "s3/bucket_transfers.h"
#include "s3/fingerprint.h"
#include "s3/s3_backup_cmd.h"
#include "support/files.h"
#include "testlib/common.h"
#include "testlib/globals.h"

namespace s3lib {
namespace {

namespace fs = std::filesystem;
using ops_sandbox::readFile;
using testing_support::Sandbox;
using Lines = std::vector<std::string>;

void writeFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

/// What the library's logger writes while it lives, as "level|message".
class S3LogCapture : public ops_sandbox::LogCapture {
 public:
  S3LogCapture() : LogCapture(testlib::s3Logger()) {}
};

class S3LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Sandbox& sandbox = Sandbox::shared();
    sandbox.clearFaults();
    sandbox.s3MaxKeys(0);
    bucket_ = sandbox.world().at("bucket").get<std::string>();
    client_ = std::make_unique<aws::S3Client>(ops_sandbox::clientConfig("s3"));

    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::random_device random;
    tag_ = name + "-" + std::to_string(random() % 1000000);
    old_cwd_ = fs::current_path();
    testlib::Globals::dry_run = false;
    journal_start_ = lastSeq();
  }
  void TearDown() override {
    testlib::Globals::dry_run = false;
    fs::current_path(old_cwd_);
    Sandbox::shared().clearFaults();
    Sandbox::shared().s3MaxKeys(0);
  }

  static long lastSeq() { return ops_sandbox::lastJournalSeq(); }
  /// This test's S3 requests of `action`.
  std::vector<nlohmann::json> requests(const std::string& action) const {
    return ops_sandbox::journalSince(journal_start_, "s3", action);
  }
  void restartJournal() { journal_start_ = lastSeq(); }

  void put(const std::string& key, const std::string& body = "x") {
    client_->putObject(bucket_, key, body);
  }
  /// The keys of the bucket under `prefix`, sorted.
  Lines keys(const std::string& prefix) const {
    Lines out;
    for (const auto& object : aws::S3ObjectRange(*client_, {bucket_, prefix, "", "", std::nullopt}))
      out.push_back(object.key);
    std::sort(out.begin(), out.end());
    return out;
  }
  /// Files below `folder`, relative to it, sorted.
  static Lines files(const fs::path& folder) {
    Lines out;
    if (!fs::exists(folder)) return out;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
      if (entry.is_regular_file()) out.push_back(fs::relative(entry.path(), folder).string());
    }
    std::sort(out.begin(), out.end());
    return out;
  }

  std::unique_ptr<aws::S3Client> client_;
  std::string bucket_, tag_;
  testing_support::ScratchDir scratch_;
  fs::path dir_ = scratch_.path(), old_cwd_;
  long journal_start_ = 0;
};

// ---- uploads -----------------------------------------------------------------

TEST_F(S3LibraryTest, UploadFileWithoutClientOrBucketSendsNothing) {
  writeFile(dir_ / "a.txt", "a");
  {
    S3LogCapture log;
    uploadFile(nullptr, dir_.string(), "a.txt", bucket_);
    EXPECT_EQ(log.lines(), Lines{});
  }
  {
    S3LogCapture log;
    uploadFile(client_.get(), dir_.string(), "a.txt", std::nullopt);
    EXPECT_EQ(log.lines(), (Lines{"info|- Upload " + dir_.string() + "/a.txt to S3",
                                  "info|  **Alert** failed to read S3 bucket name for upload"}));
  }
  EXPECT_TRUE(requests("").empty());
}

TEST_F(S3LibraryTest, UploadFileFromDotStoresTheRelativePathAsKey) {
  for (bool dry_run : {false, true}) {
    SCOPED_TRACE(dry_run ? "dry run" : "normal run");
    const std::string relative = tag_ + (dry_run ? "-dry" : "") + "/logs/run.log";
    writeFile(dir_ / relative, "log body");
    fs::current_path(dir_);
    testlib::Globals::dry_run = dry_run;
    restartJournal();
    S3LogCapture log;
    uploadFile(client_.get(), ".", relative, bucket_);
    EXPECT_EQ(log.lines(), (Lines{"info|- Upload ./" + relative + " to S3",
                                  "info|  ./" + relative + " to " + bucket_ + "/" + relative}));
    if (dry_run) {
      EXPECT_TRUE(requests("PutObject").empty());
      EXPECT_EQ(keys(relative), Lines{});
    } else {
      EXPECT_EQ(client_->getObject(bucket_, relative).body, "log body");
    }
  }
}

TEST_F(S3LibraryTest, UploadFileOfAMissingFileFails) {
  EXPECT_THROW(uploadFile(client_.get(), dir_.string(), "missing.txt", bucket_),
               std::filesystem::filesystem_error);
}

TEST_F(S3LibraryTest, UploadAllFilesWalksTopDownWithoutEmptyFoldersOrFolderLinks) {
  const fs::path root = dir_ / tag_;
  writeFile(root / "a.txt", "A");
  writeFile(root / "sub" / "b.txt", "B");
  writeFile(root / "sub" / "deeper" / "c.txt", "C");
  writeFile(root / "z.txt", "Z");
  fs::create_directories(root / "empty");
  fs::create_directory_symlink(root / "sub", root / "link-to-sub");
  fs::current_path(dir_);

  for (bool dry_run : {true, false}) {
    SCOPED_TRACE(dry_run ? "dry run" : "normal run");
    testlib::Globals::dry_run = dry_run;
    restartJournal();
    S3LogCapture log;
    uploadAllFiles(client_.get(), ".", tag_, bucket_);

    const Lines lines = log.lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "info|- Upload ./" + tag_ + " to S3");
    auto position = [&](const std::string& relative) {
      const std::string line = "info|  ./" + relative + " to " + bucket_ + "/" + relative;
      return std::find(lines.begin(), lines.end(), line) - lines.begin();
    };
    const long a = position(tag_ + "/a.txt"), z = position(tag_ + "/z.txt"),
               b = position(tag_ + "/sub/b.txt"), c = position(tag_ + "/sub/deeper/c.txt");
    for (long index : {a, z, b, c}) EXPECT_LT(index, 5);
    // A folder's own files come before those of its sub-folders.
    EXPECT_LT(std::max(a, z), b);
    EXPECT_LT(b, c);

    if (dry_run) {
      EXPECT_TRUE(requests("PutObject").empty());
    } else {
      EXPECT_EQ(keys(tag_ + "/"), (Lines{tag_ + "/a.txt", tag_ + "/sub/b.txt",
                                         tag_ + "/sub/deeper/c.txt", tag_ + "/z.txt"}));
      EXPECT_EQ(client_->getObject(bucket_, tag_ + "/sub/deeper/c.txt").body, "C");
    }
  }
}

TEST_F(S3LibraryTest, UploadAllFilesOfAMissingFolderOnlyAnnouncesIt) {
  S3LogCapture log;
  uploadAllFiles(client_.get(), dir_.string(), "no-such-folder", bucket_);
  EXPECT_EQ(log.lines(), Lines{"info|- Upload " + dir_.string() + "/no-such-folder to S3"});
  EXPECT_TRUE(requests("").empty());
}

// ---- listing and deletion -------------------------------------------------------

TEST_F(S3LibraryTest, ListAllFilesRequestsOnePageAtATimeAsConsumed) {
  const std::string prefix = tag_ + "/";
  Sandbox::shared().control("POST", "s3",
                            {{"fill", {{"bucket", bucket_}, {"prefix", prefix}, {"count", 6}}}});
  Sandbox::shared().s3MaxKeys(2);

  restartJournal();
  Lines listed;
  for (const ListingEntry& entry : listAllFiles(client_.get(), bucket_, prefix)) {
    listed.push_back(entry.key);
    EXPECT_FALSE(entry.last_modified.empty());
  }
  EXPECT_EQ(listed.size(), 6u);
  EXPECT_EQ(listed.front(), prefix + "00000");
  const auto pages = requests("ListObjectsV2");
  ASSERT_EQ(pages.size(), 3u);
  EXPECT_FALSE(pages[0]["params"].contains("continuation-token"));
  EXPECT_TRUE(pages[1]["params"].contains("continuation-token"));
  for (const auto& page : pages) EXPECT_FALSE(page["params"].contains("max-keys")) << page;

  restartJournal();
  FileListing listing = listAllFiles(client_.get(), bucket_, prefix);
  auto it = listing.begin();
  ASSERT_FALSE(it == listing.end());
  EXPECT_EQ(it->key, prefix + "00000");
  EXPECT_EQ(requests("ListObjectsV2").size(), 1u);
}

TEST_F(S3LibraryTest, ListAllFilesFiltersByContainedTextOnly) {
  const std::string p = tag_ + "/";
  for (const std::string key : {"backups/vpc-1/x", "logs/vpc-12.txt", "other/y.txt"}) put(p + key);
  Sandbox::shared().s3MaxKeys(1);  // matches spread over pages
  struct Case {
    std::string contains, suffix;
    Lines want;
  };
  const std::vector<Case> cases = {
      {"vpc-1", "", {p + "backups/vpc-1/x", p + "logs/vpc-12.txt"}},
      {"", ".json", {p + "backups/vpc-1/x", p + "logs/vpc-12.txt", p + "other/y.txt"}},
      {"nowhere", "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("contains '" + c.contains + "'");
    Lines listed;
    for (const auto& entry : listAllFiles(client_.get(), bucket_, p, c.suffix, c.contains))
      listed.push_back(entry.key);
    EXPECT_EQ(listed, c.want);
  }
}

TEST_F(S3LibraryTest, WithoutClientListingAndDeletionWarnAndDoNothing) {
  S3LogCapture log;
  int entries = 0;
  for (const auto& entry : listAllFiles(nullptr, bucket_, "")) entries += !entry.key.empty();
  deleteFolder(nullptr, bucket_, tag_);
  EXPECT_EQ(entries, 0);
  EXPECT_EQ(log.lines(),
            (Lines(2, "warning|  **Alert** failed to listAllFiles - no access to S3.")));
  EXPECT_TRUE(requests("").empty());
}

TEST_F(S3LibraryTest, DeleteFolderRemovesEveryKeyUnderThePrefixOnly) {
  const std::string f = tag_ + "/f";
  for (const std::string& key : {f + "/a", f + "/sub/b", f + "x", tag_ + "/g/c"}) put(key);
  Sandbox::shared().s3MaxKeys(2);

  for (bool dry_run : {true, false}) {
    SCOPED_TRACE(dry_run ? "dry run" : "normal run");
    testlib::Globals::dry_run = dry_run;
    restartJournal();
    S3LogCapture log;
    deleteFolder(client_.get(), bucket_, f + "/");
    EXPECT_EQ(log.lines(), (Lines{"info|  " + f + "/a", "info|  " + f + "/sub/b"}));
    EXPECT_EQ(requests("DeleteObjects").size(), dry_run ? 0u : 1u);
    EXPECT_TRUE(requests("DeleteObject").empty());
  }
  EXPECT_EQ(keys(tag_ + "/"), (Lines{tag_ + "/fx", tag_ + "/g/c"}));
}

TEST_F(S3LibraryTest, DeleteFolderSendsAThousandKeysPerRequest) {
  const std::string prefix = tag_ + "/";
  Sandbox::shared().control("POST", "s3",
                            {{"fill", {{"bucket", bucket_}, {"prefix", prefix}, {"count", 2100}}}});
  restartJournal();
  S3LogCapture log;
  deleteFolder(client_.get(), bucket_, prefix, TransferSettings{4});
  const Lines lines = log.lines();
  ASSERT_EQ(lines.size(), 2100u);
  EXPECT_EQ(lines.front(), "info|  " + prefix + "00000");
  EXPECT_EQ(lines.back(), "info|  " + prefix + "02099");
  EXPECT_EQ(requests("DeleteObjects").size(), 3u);
  EXPECT_TRUE(keys(prefix).empty());
}

// ---- downloads -----------------------------------------------------------------

TEST_F(S3LibraryTest, DownloadAllFilesMirrorsTheBackupFolderWithoutLogsOrState) {
  const std::string vpc = "vpc-" + tag_;
  const std::string p = "backups/" + vpc + "/";
  put(p + "a.json", "{\"a\": 1}");
  put(p + "sub/b.json", "{\"b\": 2}");
  for (const std::string skipped : {"c.tfstate", "run.log", "d.backup", "sub/e.log"})
    put(p + skipped);
  put("backups/" + vpc + "-other/f.json");  // a neighbour folder with a longer name
  const fs::path target = dir_ / "target";
  const Lines announced = {
      "info|- Download S3 " + bucket_ + "/" + vpc + " to " + target.string() + "/" + vpc,
      "info|  " + p + "a.json", "info|  " + p + "sub/b.json"};

  testlib::Globals::dry_run = true;
  {
    S3LogCapture log;
    downloadAllFiles(client_.get(), bucket_, vpc, target.string());
    EXPECT_EQ(log.lines(), announced);
    EXPECT_FALSE(fs::exists(target));
    EXPECT_TRUE(requests("GetObject").empty());
  }

  testlib::Globals::dry_run = false;
  S3LogCapture log;
  downloadAllFiles(client_.get(), bucket_, vpc, target.string());
  EXPECT_EQ(log.lines(), announced);
  EXPECT_EQ(files(target), (Lines{vpc + "/a.json", vpc + "/sub/b.json"}));
  EXPECT_EQ(readFile(target / vpc / "sub" / "b.json"), "{\"b\": 2}");
}

TEST_F(S3LibraryTest, FolderDownloadGoesOnPastFailedFilesAndNamesThem) {
  const std::string vpc = "vpc-" + tag_;
  const std::string p = "backups/" + vpc + "/";
  Sandbox::shared().control("POST", "s3",
                            {{"fill", {{"bucket", bucket_}, {"prefix", p}, {"count", 30}}}});
  Sandbox::shared().setFaults({{"rules",
                                {{{"service", "s3"},
                                  {"action", "GetObject"},
                                  {"skip", 5},
                                  {"count", 2},
                                  {"status", 403},
                                  {"code", "AccessDenied"},
                                  {"message", "no"}}}}});
  const fs::path target = dir_ / "target";
  S3LogCapture log;
  std::vector<TransferFailure> failures;
  try {
    downloadAllFiles(client_.get(), bucket_, vpc, target.string(), TransferSettings{8});
    ADD_FAILURE() << "the failed downloads were not reported";
  } catch (const FolderTransferError& error) {
    failures = error.failures();
  }
  ASSERT_EQ(failures.size(), 2u);
  Lines info, errors;
  for (const std::string& line : log.lines()) {
    (line.rfind("info|", 0) == 0 ? info : errors).push_back(line);
  }
  // The announcements keep the listing's order, whatever order the
  // downloads ended in; the failures follow, each naming its key.
  ASSERT_EQ(info.size(), 31u);
  for (int i = 0; i < 30; ++i) {
    EXPECT_EQ(info[i + 1],
              "info|  " + p + std::string(5 - std::to_string(i).size(), '0') + std::to_string(i));
  }
  ASSERT_EQ(errors.size(), 2u);
  Lines got = files(target / vpc);
  for (std::size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(errors[i], "error|  **Error** download of " + failures[i].name +
                             " failed: " + failures[i].reason);
    EXPECT_NE(failures[i].reason.find("AccessDenied"), std::string::npos);
    EXPECT_EQ(std::count(got.begin(), got.end(), failures[i].name.substr(p.size())), 0);
  }
  EXPECT_LT(failures[0].name, failures[1].name);
  EXPECT_EQ(got.size(), 28u);
}

TEST_F(S3LibraryTest, DownloadAllFilesWithoutBucketWarns) {
  S3LogCapture log;
  downloadAllFiles(client_.get(), std::nullopt, "vpc-1", dir_.string());
  EXPECT_EQ(log.lines(), Lines{"warning|  **Alert** failed to read S3 bucket name for download"});
  EXPECT_TRUE(requests("").empty());
}

TEST_F(S3LibraryTest, DownloadRefusesKeysThatWouldLeaveTheTargetFolder) {
  const std::string vpc = "vpc-" + tag_;
  const std::string p = "backups/" + vpc + "/";
  // The client would not send such keys as they are; the sandbox stores them
  // directly, as a hostile bucket could hold them (each gets "00000" added).
  const Lines hostile = {p + "../../escaped", p + "/absolute", p + "sub/../../../up"};
  for (const std::string& key : hostile) {
    Sandbox::shared().control("POST", "s3",
                              {{"fill", {{"bucket", bucket_}, {"prefix", key}, {"count", 1}}}});
  }
  put(p + "good.txt", "good");
  put(p + "dots..name.txt", "dots");  // ".." inside a name is harmless
  put(p + "marker/");                 // a folder marker, as the S3 console makes them
  const fs::path target = dir_ / "deep" / "target";

  S3LogCapture log;
  const DownloadSummary summary = downloadAllFiles(client_.get(), bucket_, vpc, target.string());
  EXPECT_EQ(summary.listed, hostile.size() + 3);
  EXPECT_EQ(summary.refused, hostile.size());
  Lines errors;
  for (const std::string& line : log.lines()) {
    if (line.rfind("error|", 0) == 0) errors.push_back(line);
  }
  ASSERT_EQ(errors.size(), hostile.size());
  for (const std::string& key : hostile) {
    EXPECT_EQ(std::count_if(errors.begin(), errors.end(),
                            [&](const std::string& line) {
                              return line.rfind("error|  **Error** ", 0) == 0 &&
                                     line.find(" " + key + "00000") != std::string::npos;
                            }),
              1)
        << key;
  }
  EXPECT_EQ(files(dir_),
            (Lines{"deep/target/" + vpc + "/dots..name.txt", "deep/target/" + vpc + "/good.txt"}));
  EXPECT_TRUE(fs::is_directory(target / vpc / "marker"));
  EXPECT_EQ(requests("GetObject").size(), 2u);
}

TEST_F(S3LibraryTest, DownloadBucketObjDropsThePrefixByLength) {
  put("p/" + tag_ + ".txt", "one");
  put("p/" + tag_ + "/nested/y.txt", "two");
  const fs::path dest = dir_ / "dest";
  fs::create_directories(dest);
  downloadBucketObj(client_.get(), bucket_, dest.string(), "p/", "p/" + tag_ + ".txt");
  // A dry run skips only the folder creation: the object is still fetched.
  testlib::Globals::dry_run = true;
  downloadBucketObj(client_.get(), bucket_, dest.string(), "p/" + tag_ + "/",
                    "p/" + tag_ + "/nested/y.txt");
  testlib::Globals::dry_run = false;
  Lines want = {"nested/y.txt", tag_ + ".txt"};
  std::sort(want.begin(), want.end());
  EXPECT_EQ(files(dest), want);
  EXPECT_EQ(readFile(dest / (tag_ + ".txt")), "one");
}

TEST_F(S3LibraryTest, FailedDownloadLeavesNoFileUnderItsName) {
  const std::string vpc = "vpc-" + tag_;
  put("backups/" + vpc + "/a.json", std::string(100000, 'a'));
  const fs::path target = dir_ / "target";
  fs::create_directories(target / vpc);
  Sandbox::shared().setFaults(
      {{"rules", {{{"service", "s3"}, {"action", "GetObject"}, {"drop", true}}}}});
  EXPECT_ANY_THROW(downloadAllFiles(client_.get(), bucket_, vpc, target.string()));
  EXPECT_TRUE(fs::is_empty(target / vpc));
}

// ---- fingerprints and the backup command ----------------------------------------

std::string openssl(const std::string& command) {
  std::string out, err;
  if (testing_support::runProcess({"sh", "-c", command}, {}, &out, &err) != 0) {
    throw std::runtime_error(command + ": " + err);
  }
  return out;
}

TEST_F(S3LibraryTest, StoredKeyFingerprintOrTheEmptyResult) {
  const fs::path key = dir_ / "key.pem", encrypted = dir_ / "enc.pem", pub = dir_ / "pub.pem";
  openssl("openssl genrsa -traditional -out '" + key.string() + "' 2048 2>/dev/null");
  openssl("openssl pkey -in '" + key.string() + "' -aes-128-cbc -passout pass:pw -out '" +
          encrypted.string() + "'");
  openssl("openssl pkey -in '" + key.string() + "' -pubout -out '" + pub.string() + "'");
  std::string expected = openssl("openssl pkcs8 -in '" + key.string() +
                                 "' -inform PEM -outform DER -topk8 -nocrypt | openssl sha1 -c");
  expected = expected.substr(expected.find("= ") + 2, 59);

  const std::string k = tag_ + "/keys/";
  put(k + "key.pem", readFile(key));
  put(k + "enc.pem", readFile(encrypted));
  put(k + "pub.pem", readFile(pub));
  put(k + "notes.txt", "not a key at all");
  const std::string found = "info|  Found ";
  const std::string in = " in " + bucket_;

  struct Case {
    std::string name, key;
    std::optional<std::string> password;
    bool fingerprinted;
    Lines log;  // exact lines, or for errors the prefix of the last line
  };
  const std::vector<Case> cases = {
      {"stored key", k + "key.pem", std::nullopt, true, {found + k + "key.pem" + in}},
      {"encrypted, right phrase", k + "enc.pem", "pw", true, {found + k + "enc.pem" + in}},
      {"encrypted, wrong phrase",
       k + "enc.pem",
       "nope",
       false,
       {found + k + "enc.pem" + in, "error|  **Error**: "}},
      {"encrypted, no phrase",
       k + "enc.pem",
       std::nullopt,
       false,
       {found + k + "enc.pem" + in, "error|  **Error**: "}},
      {"public key",
       k + "pub.pem",
       std::nullopt,
       false,
       {found + k + "pub.pem" + in, "error|  **Error**: "}},
      {"plain text",
       k + "notes.txt",
       std::nullopt,
       false,
       {found + k + "notes.txt" + in, "error|  **Error**: "}},
      {"missing object",
       k + "none.pem",
       std::nullopt,
       false,
       {"info|  " + k + "none.pem not found" + in}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    S3LogCapture log;
    const FingerprintResult result =
        get_private_key_fingerprint_from_s3(client_.get(), bucket_, c.key, c.password);
    if (c.fingerprinted) {
      EXPECT_EQ(result.dump(), FingerprintResult({{"fingerprint", expected},
                                                  {"key_type", "RSA"},
                                                  {"key_size", 2048},
                                                  {"algorithm", "SHA-1"}})
                                   .dump());
    } else {
      EXPECT_EQ(result.dump(), R"({"fingerprint":""})");
    }
    const Lines lines = log.lines();
    ASSERT_EQ(lines.size(), c.log.size());
    for (std::size_t i = 0; i < lines.size(); ++i) EXPECT_EQ(lines[i].rfind(c.log[i], 0), 0u);
    for (const std::string& line : lines) {
      EXPECT_EQ(line.find("MII"), std::string::npos);  // no key material in the log
      if (c.password) {
        EXPECT_EQ(line.find(*c.password + " "), std::string::npos);
      }
    }
  }
}

TEST_F(S3LibraryTest, UnreadableBucketGivesOneErrorLineWithoutColon) {
  Sandbox::shared().setFaults({{"rules",
                                {{{"service", "s3"},
                                  {"action", "GetObject"},
                                  {"status", 403},
                                  {"code", "AccessDenied"},
                                  {"message", "Access Denied"}}}}});
  S3LogCapture log;
  const FingerprintResult result =
      get_private_key_fingerprint_from_s3(client_.get(), bucket_, tag_ + "/key.pem");
  EXPECT_EQ(result.dump(), R"({"fingerprint":""})");
  const Lines lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("error|  **Error** ", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("AccessDenied"), std::string::npos) << lines[0];
}

TEST_F(S3LibraryTest, BackupCommandPassesItsValuesInEachOperationsOrder) {
  // uploadAFile: base ".", relative path p -> key p.
  const std::string relative = tag_ + "/keys/k.pem";
  writeFile(dir_ / relative, "k");
  fs::current_path(dir_);
  const S3BackupCmd upload(client_.get(), ".", bucket_, relative);
  EXPECT_EQ(*upload.backupdir, ".");
  EXPECT_EQ(*upload.relative_path, relative);
  upload.uploadAFile();
  EXPECT_EQ(client_->getObject(bucket_, relative).body, "k");

  // upload: the folder below the base, keyed relative to it.
  S3BackupCmd(client_.get(), dir_.string(), bucket_, tag_).upload();
  EXPECT_EQ(keys(tag_ + "/"), Lines{relative});

  // download: bucket, relative path as the VPC, base directory as target.
  const std::string vpc = "vpc-" + tag_;
  put("backups/" + vpc + "/state.json", "s");
  S3BackupCmd(client_.get(), (dir_ / "restore").string(), bucket_, vpc).download();
  EXPECT_EQ(files(dir_ / "restore"), Lines{vpc + "/state.json"});

  // getS3KeyFileFingerprint: no relative path, or none stored there.
  const S3BackupCmd no_key(client_.get(), std::nullopt, bucket_);
  EXPECT_FALSE(no_key.relative_path.has_value());
  EXPECT_EQ(no_key.getS3KeyFileFingerprint().dump(), R"({"fingerprint":""})");
  EXPECT_EQ(S3BackupCmd(client_.get(), std::nullopt, bucket_, tag_ + "/none.pem")
                .getS3KeyFileFingerprint()
                .dump(),
            R"({"fingerprint":""})");
}

}  // namespace
}  // namespace s3lib
