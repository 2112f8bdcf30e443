#pragma once
// Region and endpoint resolution as the SDKs do it.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "aws/base/environment.h"
#include "aws/http/http.h"

namespace aws {

/// Shared config/credentials files, parsed. Keys are lower-case; profile
/// names are as written ("[profile x]" in the config file becomes "x").
/// A value indented under a key ("s3 =\n  addressing_style = path") is kept
/// as "s3.addressing_style". Parse failures throw ConfigError naming the file.
struct ProfileFiles {
  using Section = std::map<std::string, std::string>;
  std::map<std::string, std::map<std::string, std::string>> config;       // by profile
  std::map<std::string, std::map<std::string, std::string>> credentials;  // by profile
  /// "[services name]" sections of the config file, by name.
  std::map<std::string, Section> services;
  /// "[sso-session name]" sections of the config file, by name.
  std::map<std::string, Section> sso_sessions;
  std::string config_path, credentials_path;
  /// Reads AWS_CONFIG_FILE (~/.aws/config) and AWS_SHARED_CREDENTIALS_FILE
  /// (~/.aws/credentials); missing files are empty.
  static ProfileFiles load(const Environment& env);
  /// Parses INI text. `config_style`: "[profile x]" sections (and "[default]").
  static std::map<std::string, std::map<std::string, std::string>> parseIni(const std::string& text,
                                                                            bool config_style);
  /// A profile value: credentials file first, then config file.
  std::optional<std::string> value(const std::string& profile, const std::string& key) const;
  bool hasProfile(const std::string& profile) const;
  /// The profile's settings with the credentials file's values over the
  /// config file's (the view the SDKs resolve profile settings from).
  Section merged(const std::string& profile) const;
};

/// Splits a command line into words as POSIX shells quote them (no
/// expansion): '...' literal, "..." with \" and \\ escapes, \x outside
/// quotes. nullopt when a quote is not closed or a backslash ends the text.
std::optional<std::vector<std::string>> shellSplit(const std::string& text);

/// The profile in effect: explicit name (even ""), else AWS_DEFAULT_PROFILE,
/// else AWS_PROFILE (botocore's order), else "default".
std::string effectiveProfile(const Environment& env, const std::optional<std::string>& profile);

/// AWS_REGION, AWS_DEFAULT_REGION, then the profile's `region`. nullopt when none.
/// Throws ConfigError naming the variable or profile when the region found
/// is not a region name (as botocore's InvalidRegionError).
std::optional<std::string> resolveRegion(const Environment& env,
                                         const std::optional<std::string>& profile);

/// "aws", "aws-cn", "aws-us-gov" (or one of the isolated partitions,
/// "aws-iso", "aws-iso-b", "aws-iso-e", "aws-iso-f", "aws-eusc"); "aws" for
/// a region that matches none.
std::string partitionOf(const std::string& region);

/// Which of a service's endpoints a client asks for: FIPS 140 validated,
/// dual-stack (IPv4 and IPv6), both or neither.
struct EndpointVariant {
  bool fips = false;
  bool dualstack = false;
  bool operator==(const EndpointVariant&) const = default;
};

struct ResolvedEndpoint {
  Endpoint endpoint;
  std::string signing_region;
  /// True when AWS_ENDPOINT_URL[_<SERVICE>] (or a profile's endpoint_url) set it.
  bool overridden = false;
  /// The variant the endpoint serves (none when overridden: a configured
  /// endpoint wins over the FIPS and dual-stack settings, as in botocore).
  EndpointVariant variant{};
};

/// Endpoint of `service` ("ec2", "iam", "sts", "ssm", "kms",
/// "servicequotas", "s3", "sso" (the portal), "sso-oidc") in `region`
/// ("" when no region is known: only global services resolve then, else
/// ConfigError). A configured endpoint is looked up by the SDKs' service id
/// (AWS_ENDPOINT_URL_SERVICE_QUOTAS and "service_quotas =" for
/// "servicequotas"). IAM is global per partition; STS is regional, with the
/// global endpoint when AWS_STS_REGIONAL_ENDPOINTS=legacy or no region.
/// The FIPS and dual-stack settings (AWS_USE_FIPS_ENDPOINT, else the
/// profile's use_fips_endpoint; AWS_USE_DUALSTACK_ENDPOINT, else the profile's
/// use_dualstack_endpoint, for S3 after its "s3 = use_dualstack_endpoint";
/// a variable that is set decides even when empty; "true" in any case is on)
/// choose the host as the SDKs' endpoint rules do; where AWS has no such
/// endpoint (FIPS S3 in China, dual-stack in a partition without it) it
/// throws ConfigError naming the service, the region and the setting, before
/// any request is sent.
ResolvedEndpoint resolveEndpoint(const Environment& env, const std::optional<std::string>& profile,
                                 const std::string& service, const std::string& region);

/// The endpoint AWS serves `service` at in `region` with `variant`, ignoring
/// configured endpoints (S3 in us-east-1 gets its regional host). Throws
/// ConfigError as resolveEndpoint when there is none.
Endpoint serviceEndpoint(const std::string& service, const std::string& region,
                         const EndpointVariant& variant);

}  // namespace aws
