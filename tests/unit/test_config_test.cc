#include "probefleet/config/test_config.h"
#include "support/build_paths.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/files.h"

namespace probefleet {
namespace {

namespace fs = std::filesystem;

using TempDir = testing_support::ScratchDir;

using testing_support::readFile;

using testing_support::writeFile;

struct Assignment {
  int entry;
  std::string key;
  std::string value;
};

struct LayoutCase {
  std::string name;
  std::string text;
  std::vector<Assignment> set;
};

// Python's json module writes each document: the reference for the layout.
std::vector<std::string> pythonLayouts(const std::vector<LayoutCase>& cases) {
  nlohmann::json batch = nlohmann::json::array();
  for (const auto& c : cases) {
    nlohmann::json set = nlohmann::json::array();
    for (const auto& a : c.set) set.push_back({a.entry, a.key, a.value});
    batch.push_back({{"text", c.text}, {"set", set}});
  }
  TempDir dir;
  writeFile(dir / "in.json", batch.dump());
  const std::string command = std::string(testing_support::pythonPath()) + " " +
                              testing_support::sourceDir() +
                              "/tests/oracles/json_layout_oracle.py < " +
                              (dir / "in.json").string() + " > " + (dir / "out.json").string();
  if (std::system(command.c_str()) != 0) throw std::runtime_error("oracle failed: " + command);
  return nlohmann::json::parse(readFile(dir / "out.json")).get<std::vector<std::string>>();
}

TEST(TestConfigLayout, MatchesPythonJsonDumpsByteForByte) {
  const std::vector<LayoutCase> cases = {
      {"entries with extra keys, added keys after them, an existing key replaced in place",
       R"([{"gw_name": "spoke1", "gw_subnet_id": "subnet-1", "ec2_ip": "old",
            "private_subnet_id": "subnet-2", "gw_private_ip": "10.0.0.4", "extra": {"k": [1, 2]}},
           {"gw_subnet_id": "subnet-3", "private_subnet_id": "", "nat_gw_id": "gw-9"}])",
       {{0, "ec2_2nd_private_ip", "10.1.0.7"},
        {0, "ec2_ip", "54.1.2.3"},
        {1, "zz", "new"},
        {1, "ec2_ip", "3.3.3.3"}}},
      {"nested containers and empty ones",
       R"([{"a": [], "b": {}, "c": [[], {}, [[]], {"d": {}}], "e": [{"f": [1, {"g": null}]}]}])",
       {}},
      {"non-ASCII text, keys and characters beyond the Basic Multilingual Plane",
       "[{\"caf\xC3\xA9\": \"\xC3\xA9t\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80 "
       "\xF0\x90\x80\x80 \xE2\x80\xA8 \xEF\xBF\xBF\"}]",
       {}},
      {"escapes and control characters",
       R"([{"s": "q\" b\\ s\/ \b\f\n\r\t \u0001 \u001f \u007f \u00ff \ud83d\ude00 end"}])",
       {}},
      {"integers inside and beyond 64 bits",
       R"([0, -0, 1, -1, 9007199254740993, -9007199254740993, 9223372036854775807,
           -9223372036854775808, 18446744073709551615, 18446744073709551616,
           -9223372036854775809, 123456789012345678901234567890])",
       {}},
      {"floats as Python's repr writes them",
       R"([1.0, -0.0, 0.0, 1e100, 1E2, 2.50, 100.0e-2, 0.1, 0.30000000000000004, 1e15, 1e16,
           123456789012345678.0, 1e-4, 1e-5, 0.00012345, 1.5e-7, 5e-324, 2.2250738585072014e-308,
           1.7976931348623157e308, 3.141592653589793, 1e22, 9007199254740993.0, -2.5e-10])",
       {}},
      {"booleans and null", R"([true, false, null, {"t": true, "f": false, "n": null}])", {}},
      {"a repeated key keeps its first place and its last value",
       R"([{"a": 1, "b": 2, "a": 3}])",
       {}},
      {"whitespace of the input does not carry over", "[\n\t{ \"a\" :1 ,\"b\":[ ]\r\n}  ]", {}},
      {"top-level values other than an array", R"({"x": []})", {}},
      {"an empty array", "[]", {}},
      {"a bare string", R"("text")", {}},
      {"a bare float", "2.5e20", {}},
  };
  const auto expected = pythonLayouts(cases);
  ASSERT_EQ(expected.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].name);
    TestConfig document = parseJsonText(cases[i].text, "case");
    for (const auto& a : cases[i].set) document[a.entry][a.key] = a.value;
    EXPECT_EQ(formatTestConfig(document), expected[i]);
  }
}

TEST(TestConfigLayout, RefusesValuesJsonCannotHold) {
  EXPECT_THROW(formatTestConfig(TestConfig::array({std::string("bad \xC3 utf8")})),
               TestConfigError);
  EXPECT_THROW(formatTestConfig(TestConfig::array({std::string("\xED\xA0\x80")})),
               TestConfigError);  // an encoded surrogate
  EXPECT_THROW(formatTestConfig(TestConfig::array({std::numeric_limits<double>::infinity()})),
               TestConfigError);
  EXPECT_THROW(formatTestConfig(TestConfig::binary({1, 2})), TestConfigError);
}

// ---- validation ------------------------------------------------------------

TEST(TestConfigValidation, NamesFileEntryAndKey) {
  const std::string kGood =
      R"({"gw_subnet_id": "s1", "private_subnet_id": "s2", "gw_private_ip": "10.0.0.1",)"
      R"( "private_subnet_cidr": "10.0.2.0/24"})";
  const std::string kSkipped =
      R"({"gw_subnet_id": "s1", "private_subnet_id": "", "nat_gw_id": "n"})";
  struct Case {
    std::string text;
    std::string message;  // "" = valid
  };
  const std::vector<Case> cases = {
      {"[" + kGood + "]", ""},
      {"[" + kGood + ", " + kSkipped + "]", ""},
      {R"({"gw_subnet_id": "s1"})", "test config cfg.json: the top-level value is not an array"},
      {R"("text")", "the top-level value is not an array"},
      {"[]", "test config cfg.json: the array holds no entry"},
      {"[" + kGood + ", 7]", "test config cfg.json: entry 2 is not an object"},
      {"[" + kGood + ", []]", "entry 2 is not an object"},
      {R"([{"private_subnet_id": "s2", "gw_private_ip": "ip"}])",
       "test config cfg.json: entry 1 lacks the key \"gw_subnet_id\""},
      {R"([{"gw_subnet_id": "s1", "gw_private_ip": "ip"}])",
       "entry 1 lacks the key \"private_subnet_id\""},
      {"[" + kGood + R"(, {"gw_subnet_id": "s1", "private_subnet_id": "s2"}])",
       "entry 2 lacks the key \"gw_private_ip\""},
      // The second interface's network must be one, before anything launches.
      {R"([{"gw_subnet_id": "s1", "private_subnet_id": "s2", "gw_private_ip": "ip"}])",
       "entry 1 lacks the key \"private_subnet_cidr\""},
      {R"([{"gw_subnet_id": "s1", "private_subnet_id": "s2", "gw_private_ip": "ip",)"
       R"( "private_subnet_cidr": "10.0.2.5/24"}])",
       "entry 1: private_subnet_cidr \"10.0.2.5/24\" has host bits set"},
      {R"([{"gw_subnet_id": "s1", "private_subnet_id": "", "gw_private_ip": "ip"}])",
       "entry 1 lacks the key \"nat_gw_id\" (required when private_subnet_id is empty)"},
      {R"([{"gw_subnet_id": 12, "private_subnet_id": "s2", "gw_private_ip": "ip"}])",
       "entry 1: the value of \"gw_subnet_id\" is not a string"},
      {R"([{"gw_subnet_id": "s1", "private_subnet_id": null, "nat_gw_id": "n"}])",
       "entry 1: the value of \"private_subnet_id\" is not a string"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const TestConfig document = parseJsonText(c.text, "cfg.json");
    if (c.message.empty()) {
      EXPECT_NO_THROW(validateTestConfig(document, "cfg.json"));
      continue;
    }
    try {
      validateTestConfig(document, "cfg.json");
      ADD_FAILURE() << "accepted";
    } catch (const TestConfigError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
    }
  }
}

TEST(TestConfigValidation, EachUseChecksOnlyWhatItReads) {
  using U = ConfigUse;
  // A worker entry without gw_private_ip, and without gw_name.
  const std::string kBare = R"([{"gw_subnet_id": "s1", "private_subnet_id": "p1"}])";
  const std::string kTwin = R"([{"gw_subnet_id": "s1", "private_subnet_id": "p1", "gw_name": "g"},
                                {"gw_subnet_id": "s1", "private_subnet_id": "p2", "gw_name": "g"}])";
  const std::string kResultsOnly = R"([{"private_subnet_id": "p1", "gw_name": "g"}])";
  struct Case {
    std::string text;
    ConfigUse use;
    bool valid;
  };
  const std::vector<Case> cases = {
      {kBare, U::kDeploy, false},          {kBare, U::kTeardown, true},
      {kBare, U::kResults, false},         {kTwin, U::kTeardown, false},
      {kTwin, U::kResults, true},          {kResultsOnly, U::kResults, true},
      {kResultsOnly, U::kTeardown, false}, {"[]", U::kTeardown, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text + " for use " + std::to_string(static_cast<int>(c.use)));
    const TestConfig document = parseJsonText(c.text, "cfg.json");
    if (c.valid) {
      EXPECT_NO_THROW(validateTestConfig(document, "cfg.json", c.use));
    } else {
      EXPECT_THROW(validateTestConfig(document, "cfg.json", c.use), TestConfigError);
    }
  }
}

// Writing and comparing recurse once per level; a document nested deeper
// than the reader's limit is refused before anything recurses on it.
TEST(TestConfigValidation, NestingDeeperThanTheLimitIsRefused) {
  const auto nested = [](std::size_t depth) {
    return "[{\"gw\": " + std::string(depth, '[') + std::string(depth, ']') + "}]";
  };
  EXPECT_NO_THROW(parseJsonText(nested(500), "cfg.json"));
  EXPECT_THROW(parseJsonText(nested(100000), "cfg.json"), TestConfigError);
}

TEST(TestConfigValidation, TextThatIsNotJsonNamesLineAndColumn) {
  struct Case {
    std::string text;
    std::string where;
  };
  const std::vector<Case> cases = {
      {"[\n  {\"a\": 1,}\n]", "line 2, column 11"},
      {"[\n  {\"a\": 1}\n", "line 3, column 1"},  // ends inside the array
      {"[{\"a\": tru}]", "line 1, column 11"},
      {"", "line 1, column 1"},
      {"[{\"a\": 1e400}]", "line 1, column 12"},  // overflows a double
      {"[1] 2", "line 1, column 5"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    try {
      parseJsonText(c.text, "dir/cfg.json");
      ADD_FAILURE() << "parsed";
    } catch (const TestConfigError& e) {
      const std::string message = e.what();
      EXPECT_EQ(message.rfind("test config dir/cfg.json is not valid JSON: " + c.where + ": ", 0),
                0u)
          << message;
      EXPECT_EQ(message.find("json.exception"), std::string::npos) << message;
    }
  }
}

TEST(TestConfigFile, ReadsValidatesAndReportsUnreadableFiles) {
  TempDir dir;
  const auto path = (dir / "config.json").string();
  writeFile(path, R"([{"gw_subnet_id": "s1", "private_subnet_id": "", "nat_gw_id": "n", "x": 1}])");
  const TestConfig document = readTestConfig(path);
  EXPECT_EQ(document[0]["x"], 1);

  writeFile(path, R"([{"gw_subnet_id": "s1"}])");
  EXPECT_THROW(readTestConfig(path), TestConfigError);

  try {
    readTestConfig((dir / "missing.json").string());
    ADD_FAILURE() << "read a missing file";
  } catch (const TestConfigError& e) {
    EXPECT_NE(std::string(e.what()).find("missing.json cannot be read: No such file"),
              std::string::npos)
        << e.what();
  }
}

// ---- atomic replacement ----------------------------------------------------

const char kDocument[] =
    R"([{"gw_subnet_id": "s1", "private_subnet_id": "s2", "gw_private_ip": "i", "ec2_ip": "1.2.3.4"}])";

TEST(TestConfigFile, WriteReplacesTheFileAndKeepsItsPermissions) {
  TempDir dir;
  const auto path = dir / "out.json";
  const TestConfig document = parseJsonText(kDocument, "doc");

  writeTestConfig(path.string(), document);
  EXPECT_EQ(readFile(path), formatTestConfig(document));

  writeFile(path,
            "old content that is longer than the new document, much longer indeed ...........");
  ::chmod(path.c_str(), 0640);
  writeTestConfig(path.string(), document);
  EXPECT_EQ(readFile(path), formatTestConfig(document));
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0640u);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.json"});  // no temporary left
}

TEST(TestConfigFile, FailedWriteLeavesTheOldFileAndNoTemporary) {
  TempDir dir;
  const auto path = dir / "out.json";
  const std::string good = "[\n  \"the good file\"\n]\n";
  writeFile(path, good);

  // A document larger than the file-size limit: the write itself fails.
  TestConfig big = TestConfig::array();
  for (int i = 0; i < 2000; ++i) big.push_back("entry number " + std::to_string(i));
  struct rlimit saved {};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto* previous = ::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = saved;
  small.rlim_cur = 4096;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  std::string message;
  try {
    writeTestConfig(path.string(), big);
  } catch (const TestConfigError& e) {
    message = e.what();
  }
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, previous);
  EXPECT_NE(message.find("output test config " + path.string() + ": cannot write"),
            std::string::npos)
      << message;
  EXPECT_EQ(readFile(path), good);
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"out.json"});

  // The target cannot be replaced (it is a folder): the temporary goes too.
  fs::create_directory(dir / "taken");
  EXPECT_THROW(writeTestConfig((dir / "taken").string(), big), TestConfigError);
  EXPECT_EQ(dir.entries(), (std::vector<std::string>{"out.json", "taken"}));

  EXPECT_THROW(writeTestConfig((dir / "no-such-folder" / "out.json").string(), big),
               TestConfigError);
}

TEST(TestConfigFile, WriteGoesThroughSymlinksAndPipes) {
  TempDir dir;
  const TestConfig document = parseJsonText(kDocument, "doc");
  const std::string expected = formatTestConfig(document);
  writeFile(dir / "real.json", "old");
  fs::create_symlink("real.json", dir / "link.json");
  fs::create_symlink("made.json", dir / "dangling.json");
  for (const char* link : {"link.json", "dangling.json"}) {
    SCOPED_TRACE(link);
    writeTestConfig((dir / link).string(), document);
    EXPECT_TRUE(fs::is_symlink(dir / link));
    EXPECT_EQ(readFile(dir / link), expected);
  }
  // A pipe is written through, not replaced by a file (held open for reading
  // here so that the writer's open does not wait).
  const auto fifo = dir / "pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int reader = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  writeTestConfig(fifo.string(), document);
  std::string got(expected.size() + 16, '\0');
  const ssize_t n = ::read(reader, got.data(), got.size());
  ::close(reader);
  EXPECT_TRUE(fs::is_fifo(fifo));
  EXPECT_EQ(got.substr(0, n < 0 ? 0 : static_cast<std::size_t>(n)), expected);
}

}  // namespace
}  // namespace probefleet
