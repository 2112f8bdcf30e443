#pragma once
// The global AWS options every companion command takes, as the SDKs' own
// tools take them: --profile, --region, --endpoint-url.

#include <string>
#include <vector>

#include "aws/base/environment.h"
#include "aws/client/client.h"
#include "cli/command_line.h"

namespace cli {

/// --profile NAME, --region REGION and --endpoint-url URL, none of them
/// allowed empty.
const std::vector<OptionSpec>& awsOptions();

/// Whether `name` is one of awsOptions().
bool isAwsOption(const std::string& name);

/// The configuration of a `service` client ("s3", "ec2", "ssm", ...) for
/// `line`: credentials of --profile (else the default chain), in --region
/// (else the configured region), sent to --endpoint-url when given (signed
/// for the client's region, us-east-1 when none is known), else where the
/// environment and profile point the service (AWS_ENDPOINT_URL_<SERVICE>,
/// AWS_ENDPOINT_URL, the profile's endpoint_url) or its AWS endpoint.
/// Throws UsageError for an --endpoint-url that is not a URL, and
/// aws::ConfigError for a profile that does not exist or a regional service
/// without a region.
aws::ClientConfig clientConfig(const CommandLine& line, const std::string& service);

/// The transfers a folder command keeps in flight, as the AWS CLI settles
/// its max_concurrent_requests: --concurrency N, else the profile's
/// "s3 =\n  max_concurrent_requests = N" (the profile of --profile or the
/// environment), else `fallback`. A value must be a whole number from 1 to
/// 1000: UsageError for the option, aws::ConfigError naming the profile for
/// the setting.
int transferConcurrency(const CommandLine& line, const aws::Environment& env, int fallback);

}  // namespace cli
