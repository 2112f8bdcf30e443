#pragma once
// The fixture of the end-to-end tests: the built programs, run as a user
// would inside a scratch folder, against the shared sandbox.

#include <sys/types.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "support/files.h"
#include "support/sandbox.h"

namespace testing_support {

/// The path of one of the built programs ("probefleet", "probefleet-s3",
/// "probefleet-image", ...): $PROBEFLEET_BIN / $PROBEFLEET_S3_BIN when set
/// for the first two, else the build folder's.
std::string programPath(const std::string& program);

/// Whether `piece` occurs in `text` (a program's output, a log).
inline bool contains(const std::string& text, const std::string& piece) {
  return text.find(piece) != std::string::npos;
}

/// The pace of the programs the e2e tests run: their pauses (status rounds,
/// retries' backoff) at a twentieth of AWS's, since the sandbox answers at
/// once. A test that needs another pace sets PROBEFLEET_TIME_SCALE itself.
inline constexpr const char* kE2eTimeScale = "0.05";

class E2eTest : public ::testing::Test {
 protected:
  /// Clears the sandbox's faults; reads its world and AWS environment, at
  /// kE2eTimeScale. A test that changes the world calls resetWorld().
  void SetUp() override;
  /// Clears the sandbox's faults, so that none outlives its test.
  void TearDown() override;

  /// Reseeds the sandbox's world (world_ and env_ follow).
  void resetWorld();
  /// Writes the world's test configuration to `relative` in the scratch folder.
  void writeTestConfig(const std::string& relative = "tc.json") const;
  /// A fresh world for probefleet runs: reseeded, its test configuration in
  /// tc.json, the program's waits scaled by `time_scale`.
  void useFleetWorld(const std::string& time_scale = kE2eTimeScale);
  /// Runs probefleet on `config` with the world's bucket and the backup
  /// folder "keys" (where the VPC's key is kept between runs), then `extra`.
  RunResult runFleet(const std::vector<std::string>& extra,
                     const std::function<void(pid_t)>& meanwhile = nullptr,
                     const std::string& config = "tc.json") const;
  /// Runs `program` (see programPath) in the scratch folder with env_ and
  /// `extra_env` on top; `meanwhile` runs while it does.
  RunResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                       const std::map<std::string, std::string>& extra_env = {},
                       const std::function<void(pid_t)>& meanwhile = nullptr) const;

  Sandbox& sandbox_ = Sandbox::shared();
  ScratchDir scratch_{"probefleet-e2e"};
  std::filesystem::path dir_ = scratch_.path();
  nlohmann::ordered_json world_;
  std::map<std::string, std::string> env_;
};

}  // namespace testing_support
