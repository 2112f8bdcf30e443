#include "testlib/common.h"

#include <filesystem>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <vector>

#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/sinks/dist_sink.h>
#include <spdlog/sinks/stdout_sinks.h>

namespace testlib {

namespace {

constexpr const char* kPattern = "%Y-%m-%d %H:%M:%S.%e %l [%n] %v";

// Both loggers write to the one console sink and to a distributing sink that
// holds the file sink once initLogLocation has run. dist_sink swaps its sinks
// under its own lock, so loggers handed out earlier follow the move. The two
// sit behind one more distributing sink, whose lock hands each record to both
// before the next: records of several threads reach the console and the file
// in the same order.
struct Loggers {
  std::shared_ptr<spdlog::sinks::dist_sink_mt> console =
      std::make_shared<spdlog::sinks::dist_sink_mt>(
          std::vector<std::shared_ptr<spdlog::sinks::sink>>{
              std::make_shared<spdlog::sinks::stderr_sink_mt>()});
  std::shared_ptr<spdlog::sinks::dist_sink_mt> file =
      std::make_shared<spdlog::sinks::dist_sink_mt>();
  std::shared_ptr<spdlog::sinks::dist_sink_mt> both = std::make_shared<spdlog::sinks::dist_sink_mt>(
      std::vector<std::shared_ptr<spdlog::sinks::sink>>{console, file});
  std::shared_ptr<spdlog::logger> program = make(kLoggerName);
  std::shared_ptr<spdlog::logger> s3 = make(kS3LoggerName);

  std::shared_ptr<spdlog::logger> make(const char* name) {
    auto made = std::make_shared<spdlog::logger>(name, both);
    made->set_pattern(kPattern);
    made->set_level(spdlog::level::info);
    // The file is uploaded at the end of a run and the process may end
    // through exit(): every record must already be on disk.
    made->flush_on(spdlog::level::info);
    if (!spdlog::get(name)) spdlog::register_logger(made);
    return made;
  }
};

Loggers& loggers() {
  static Loggers instance;
  return instance;
}

}  // namespace

std::shared_ptr<spdlog::logger> logger() {
  return loggers().program;
}

std::shared_ptr<spdlog::logger> s3Logger() {
  return loggers().s3;
}

std::string Common::logFilePath(const std::string& backup_folder) {
  return backup_folder + "/log/corvanta_testlibs.log";
}

void Common::initLogLocation(const std::string& backup_folder) {
  const std::string path = logFilePath(backup_folder);
  std::error_code error;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
  if (error) {
    throw std::runtime_error("cannot create the log folder of " + path + ": " + error.message());
  }
  std::shared_ptr<spdlog::sinks::basic_file_sink_mt> sink;
  try {
    // Appended, never truncated: a revert uploads no log, so the next run in
    // the same folder must not erase the only record of the teardown.
    sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(path, /*truncate=*/false);
  } catch (const spdlog::spdlog_ex& e) {
    throw std::runtime_error("cannot open the log file " + path + ": " + e.what());
  }
  sink->set_formatter(std::make_unique<spdlog::pattern_formatter>(kPattern));
  loggers().file->set_sinks({sink});
}

std::shared_ptr<spdlog::sinks::sink> Common::setConsoleSink(
    std::shared_ptr<spdlog::sinks::sink> sink) {
  if (!sink) sink = std::make_shared<spdlog::sinks::stderr_sink_mt>();
  sink->set_formatter(std::make_unique<spdlog::pattern_formatter>(kPattern));
  Loggers& all = loggers();
  std::shared_ptr<spdlog::sinks::sink> previous;
  if (!all.console->sinks().empty()) previous = all.console->sinks().front();
  all.console->set_sinks({std::move(sink)});
  return previous;
}

void Common::logCommandOptions(const std::string& command) {
  logger()->info(command);
}

std::string Common::remove_prefix(const std::string& path, const std::string& prefix) {
  if (path.compare(0, prefix.size(), prefix) == 0) return path.substr(prefix.size());
  return path;
}

}  // namespace testlib
