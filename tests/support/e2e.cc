#include "support/e2e.h"

#include <cstdlib>

#include "support/build_paths.h"

namespace testing_support {

std::string programPath(const std::string& program) {
  const char* variable = program == "probefleet"      ? "PROBEFLEET_BIN"
                         : program == "probefleet-s3" ? "PROBEFLEET_S3_BIN"
                                                      : nullptr;
  const char* set = variable ? std::getenv(variable) : nullptr;
  if (set && *set) return set;
  return std::string(testing_support::binaryDir()) + "/" + program;
}

void E2eTest::SetUp() {
  sandbox_.clearFaults();
  world_ = sandbox_.world();
  env_ = sandbox_.awsEnv();
  env_["PROBEFLEET_TIME_SCALE"] = kE2eTimeScale;
}

void E2eTest::TearDown() {
  sandbox_.clearFaults();
}

void E2eTest::resetWorld() {
  world_ = sandbox_.reset();
  env_ = sandbox_.awsEnv();  // the reseeded user has new keys
  env_["PROBEFLEET_TIME_SCALE"] = kE2eTimeScale;
}

void E2eTest::writeTestConfig(const std::string& relative) const {
  writeFile(dir_ / relative, world_["test_config"].dump(2) + "\n");
}

void E2eTest::useFleetWorld(const std::string& time_scale) {
  resetWorld();
  env_["PROBEFLEET_TIME_SCALE"] = time_scale;
  writeTestConfig();
}

RunResult E2eTest::runFleet(const std::vector<std::string>& extra,
                            const std::function<void(pid_t)>& meanwhile,
                            const std::string& config) const {
  std::vector<std::string> argv = {"--test_config", config, "--backup_folder", "keys",
                                   "--s3_bucket", world_["bucket"].get<std::string>()};
  argv.insert(argv.end(), extra.begin(), extra.end());
  return runProgram("probefleet", argv, {}, meanwhile);
}

RunResult E2eTest::runProgram(const std::string& program, const std::vector<std::string>& arguments,
                              const std::map<std::string, std::string>& extra_env,
                              const std::function<void(pid_t)>& meanwhile) const {
  std::map<std::string, std::string> env = env_;
  for (const auto& [name, value] : extra_env) env[name] = value;
  return runIn(dir_, programPath(program), arguments, env, meanwhile);
}

}  // namespace testing_support
