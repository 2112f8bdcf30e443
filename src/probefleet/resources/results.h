#pragma once
// Collecting the verdict the instance-side ping and traceroute tests leave in
// the bucket: per gateway a log object "log-<test tag>.txt" and a result
// object "result-<test tag>.txt" whose text is "PASS" when the tests passed.

#include <optional>
#include <string>
#include <vector>

#include "aws/services/s3.h"
#include "probefleet/core/options.h"

namespace probefleet {

/// Where the last gateway's log and result objects are left for inspection.
inline constexpr const char* kTestLogFile = "/tmp/log.txt";
inline constexpr const char* kTestResultFile = "/tmp/result.txt";

/// Fetches the log and result objects of the gateways from `args.s3_bucket`
/// (top level, no prefix), logs both texts and judges the result.
///
/// `run_tag` is the run tag the test objects were named with ("" for none);
/// the options record carries no such field. The test tag is deduceTag's:
/// gw_name + "-" + run_tag per entry, "-" + run_tag without one.
///
/// With a non-empty `args.test_config`, every entry of that test
/// configuration is collected in file order; otherwise one gateway, named in
/// the log by `args.private_subnet_id`. A gateway's log object is fetched
/// before its result object, and the result object only when the log object
/// could be had.
///
/// Returns 0 when every gateway's result text, with white space removed at
/// both ends, is exactly "PASS"; else 1. An error S3 reports for a gateway's
/// objects is logged at info level and counts as a failed gateway; the other
/// gateways are still collected.
///
/// Each object is downloaded to a private file, judged from those bytes, and
/// then renamed over kTestLogFile or kTestResultFile, so a collection running
/// at the same time on this machine can replace those files but never change
/// this one's verdict.
///
/// Throws TestConfigError for a test configuration that cannot be read or
/// used (an entry without "private_subnet_id" or "gw_name" included),
/// aws::TransportError when S3 cannot be reached, std::invalid_argument for a
/// missing bucket name, and std::filesystem::filesystem_error or
/// std::system_error when a local file cannot be written or read.
int getS3TestResults(const aws::S3Client& s3_client, const Args& args,
                     const std::string& run_tag = "");

/// How one gateway's collection went.
struct GatewayResult {
  std::optional<std::string> gw_name;  // the entry's; absent without a test configuration
  std::string private_subnet_id;       // the entry's, or args.private_subnet_id
  std::string log_key;
  std::string result_key;
  /// The result object's text as downloaded; absent when it could not be had.
  std::optional<std::string> result;
  bool passed = false;
  /// Why the gateway did not pass ("" when it did): the key and the error
  /// S3 reported for it, or that the result text is not PASS.
  std::string reason;
};

/// getS3TestResults with the outcome of each gateway, in collection order:
/// the same requests, log records, files and exceptions; the verdict is 0
/// exactly when every record has `passed`.
std::vector<GatewayResult> collectS3TestResults(const aws::S3Client& s3_client, const Args& args,
                                                const std::string& run_tag = "");

}  // namespace probefleet
