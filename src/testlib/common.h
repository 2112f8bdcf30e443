#pragma once
// Logging set-up, command recording and the path helper shared by the program
// and the library s3.
//
// Two loggers exist for the whole process: "corvanta_testlibs" (the program)
// and "corvanta_testlibs.bin.lib.s3" (the library s3). Both write every
// record to standard error at once; after initLogLocation they also write to
// the run's log file. They are usable before initLogLocation (console only)
// and from any thread.

#include <memory>
#include <string>

#include <spdlog/spdlog.h>

namespace testlib {

inline constexpr const char* kLoggerName = "corvanta_testlibs";
inline constexpr const char* kS3LoggerName = "corvanta_testlibs.bin.lib.s3";

/// The program's logger, "corvanta_testlibs". Never null.
std::shared_ptr<spdlog::logger> logger();
/// The library's logger, "corvanta_testlibs.bin.lib.s3". Never null.
std::shared_ptr<spdlog::logger> s3Logger();

class Common {
 public:
  /// The run's log file for a backup folder: backup_folder + "/log/corvanta_testlibs.log".
  static std::string logFilePath(const std::string& backup_folder);

  /// Sends the records of both loggers to logFilePath(backup_folder) from now
  /// on, beside the console; creates the folders as needed and appends to a
  /// file left by earlier runs. A second call moves the file sink to the new place. Throws
  /// std::runtime_error naming the file when it cannot be opened.
  static void initLogLocation(const std::string& backup_folder);

  /// Puts `sink` in the place of the console (standard error) for both
  /// loggers, with the records' pattern; nullptr puts standard error back.
  /// Returns the sink it replaced. The log file is not affected.
  static std::shared_ptr<spdlog::sinks::sink> setConsoleSink(
      std::shared_ptr<spdlog::sinks::sink> sink);

  /// Records the invocation text ("probefleet " + arguments) at info level.
  static void logCommandOptions(const std::string& command);

  /// `path` without the leading `prefix`; `path` unchanged when it does not
  /// begin with `prefix`.
  static std::string remove_prefix(const std::string& path, const std::string& prefix);

  Common() = delete;
};

}  // namespace testlib
