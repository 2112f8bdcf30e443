#pragma once

// The sandbox (tests/sandbox/sandbox.py) as a child process of a test binary,
// and a helper that runs a command with a given environment.

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "aws/base/clock.h"
#include "aws/client/client.h"

namespace testing_support {

/// An environment override with this value removes the variable instead of
/// setting it.
inline constexpr std::string_view kUnsetEnv{"\x01(unset)"};

/// Runs argv (argv[0] looked up on PATH) with the inherited environment plus
/// env_overrides (kUnsetEnv removes a variable), stdin from /dev/null.
/// Captures stdout into *out and stderr into *err when they are not null
/// (otherwise the output is discarded). Returns the exit status, or 128 +
/// the signal number when the command was killed by a signal. Throws
/// std::system_error when the command cannot be started or waited for.
/// `meanwhile`, when given, runs on a thread of its own with the child's pid
/// while the command runs (to signal it, say) and is joined before this
/// returns.
int runProcess(const std::vector<std::string>& argv,
               const std::map<std::string, std::string>& env_overrides, std::string* out,
               std::string* err, const std::function<void(pid_t)>& meanwhile = nullptr);

/// What a program run left: its exit status and its two output streams.
struct RunResult {
  int status = -1;
  std::string out, err;
};

/// Runs `binary` with `arguments` from inside `folder`, the environment as
/// runProcess makes it.
RunResult runIn(const std::filesystem::path& folder, const std::string& binary,
                const std::vector<std::string>& arguments,
                const std::map<std::string, std::string>& env_overrides,
                const std::function<void(pid_t)>& meanwhile = nullptr);

/// One sandbox process: moto's server with our wrapper on an ephemeral
/// loopback port, with a seeded world. Started by the constructor (which
/// waits until it is ready), stopped by the destructor.
class Sandbox {
 public:
  /// Starts the sandbox, with signature checking when auth is true. Throws
  /// std::runtime_error, with the tail of the sandbox's log, when it exits
  /// or is not ready within 30 seconds.
  explicit Sandbox(bool auth = true);
  /// A sandbox seeded from `world` (a file of tests/sandbox, such as
  /// "world-gov.json") instead of the default world.
  Sandbox(bool auth, const std::string& world);
  ~Sandbox();
  Sandbox(const Sandbox&) = delete;
  Sandbox& operator=(const Sandbox&) = delete;

  /// The sandbox of this test binary (one per value of auth), started on
  /// first use and stopped at exit.
  static Sandbox& shared(bool auth = true);

  /// A client of `service` talking to this sandbox in the world's region,
  /// signed as the world's user, with one attempt per call (every answer
  /// reaches the test as sent), pausing through `clock`, sending through
  /// `transport` (the process's curl transport when null).
  aws::ClientConfig clientConfig(const std::string& service,
                                 std::shared_ptr<aws::Clock> clock = aws::systemClock(),
                                 std::shared_ptr<aws::HttpTransport> transport = nullptr);

  /// "http://127.0.0.1:PORT".
  const std::string& endpoint() const { return endpoint_; }

  /// The ids of the seeded world (vpc_id, subnet_ids, bucket, user keys,
  /// roles, images, test_config, ...), as the sandbox reports them now.
  nlohmann::ordered_json world();

  /// Every request the sandbox answered, oldest first; optionally only those
  /// of one service and action.
  nlohmann::json journal(const std::string& service = "", const std::string& action = "");
  /// The journal's entries that may have changed something: all but DryRun requests.
  nlohmann::json changes(const std::string& service, const std::string& action);
  void clearJournal();

  /// Adds fault rules and settings (see tests/sandbox/README.md).
  void setFaults(const nlohmann::json& faults);
  void clearFaults();

  /// Instance metadata settings: mode, latency_ms, identity, ...
  void imds(const nlohmann::json& settings);
  /// Container credentials settings: authorization, mode.
  void container(const nlohmann::json& settings);
  /// The address the echo answers.
  void echo(const std::string& ip);
  /// Resets every service and seeds the world afresh; returns the new ids.
  nlohmann::ordered_json reset();
  /// Caps ListObjectsV2 pages at max_keys keys; a value below 1 removes the cap.
  void s3MaxKeys(int max_keys);

  /// A call of the control API (method "GET", "POST", "DELETE"; path below
  /// /_sandbox/, such as "journal"); returns the parsed answer. Throws
  /// std::runtime_error on a failed call or an error status.
  nlohmann::json control(const std::string& method, const std::string& path,
                         const nlohmann::json& body = nullptr);

  /// The environment a client run needs to reach the sandbox as the world's
  /// user and nothing else: endpoint, metadata endpoint, keys, region, echo
  /// URL, empty AWS config files; variables that would point elsewhere are
  /// mapped to kUnsetEnv.
  std::map<std::string, std::string> awsEnv();

  /// Runs a boto3 snippet (json and boto3 imported) against the sandbox as
  /// the world's user and returns what it printed, parsed as JSON. Throws
  /// std::runtime_error with its standard error when it fails.
  nlohmann::json boto3(const std::string& code);

  /// The sandbox's own temporary directory (log, world file, empty AWS files).
  const std::string& tempDir() const { return dir_; }
  /// The last lines of the sandbox's log.
  std::string logTail(std::size_t lines = 40) const;

 private:
  void start(bool auth, const std::string& world);
  void stop();
  // The raw answer of a control call (see control()).
  std::string controlText(const std::string& method, const std::string& path,
                          const nlohmann::json& body = nullptr);
  // Empty AWS files, no proxy for loopback, and every AWS variable of the
  // inherited environment mapped to kUnsetEnv.
  std::map<std::string, std::string> isolatedAwsEnv() const;

  std::string dir_;
  std::string endpoint_;
  pid_t pid_ = -1;
};

}  // namespace testing_support
