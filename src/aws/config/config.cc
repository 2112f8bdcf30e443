#include "aws/config/config.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "aws/base/config_error.h"
#include "aws/base/strings.h"

namespace aws {

namespace {

bool isTrue(const std::optional<std::string>& value) {
  return value.has_value() && lower(*value) == "true";
}

// One section of an INI file in file order, the way Python's configparser
// reads the shared files: keys lower-cased, values trimmed, indented lines
// continuing the value above them.
struct RawSection {
  std::string name;
  std::vector<std::pair<std::string, std::string>> values;
};

class IniReader {
 public:
  std::vector<RawSection> read(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    int line_number = 0;
    while (std::getline(in, line)) {
      ++line_number;
      if (!line.empty() && line.back() == '\r') line.pop_back();
      readLine(line, line_number);
    }
    return std::move(sections_);
  }

 private:
  void readLine(const std::string& line, int line_number) {
    const std::string stripped = trim(line);
    const bool comment = !stripped.empty() && (stripped[0] == '#' || stripped[0] == ';');
    if (stripped.empty() || comment) {
      // An empty line inside a multi-line value is kept (and trimmed off its
      // end later); a comment line is not.
      if (stripped.empty() && value_ != nullptr) value_->append("\n");
      return;
    }
    const std::size_t indent = line.find_first_not_of(" \t");
    if (value_ != nullptr && indent > indent_) {
      value_->append("\n" + stripped);
      return;
    }
    indent_ = indent;
    if (stripped.front() == '[' && stripped.find(']') != std::string::npos) {
      // As configparser's pattern: everything between "[" and the last "]".
      const std::size_t close = stripped.rfind(']');
      if (close > 1) {
        sections_.push_back(RawSection{stripped.substr(1, close - 1), {}});
        value_ = nullptr;
        return;
      }
    }
    if (sections_.empty()) {
      throw ConfigError("line " + std::to_string(line_number) + " comes before any [section]");
    }
    const std::size_t delimiter = stripped.find_first_of("=:");
    const std::string key =
        delimiter == std::string::npos ? "" : lower(trim(stripped.substr(0, delimiter)));
    if (key.empty()) {
      // The line is not echoed: it may hold a secret.
      throw ConfigError("line " + std::to_string(line_number) +
                        " is neither a [section] nor a key = value pair");
    }
    auto& values = sections_.back().values;
    values.emplace_back(key, trim(stripped.substr(delimiter + 1)));
    value_ = &values.back().second;
  }

  std::vector<RawSection> sections_;
  std::string* value_ = nullptr;  // the value continuation lines append to
  std::size_t indent_ = 0;
};

// "key =\n  a = 1\n  b = 2" becomes "key.a" and "key.b"; other values are
// trimmed of the empty lines a multi-line value may end with.
void addValue(ProfileFiles::Section& section, const std::string& key, std::string value) {
  if (!value.empty() && value.front() == '\n') {
    std::istringstream lines(value);
    std::string line;
    while (std::getline(lines, line)) {
      line = trim(line);
      if (line.empty()) continue;
      const std::size_t equals = line.find('=');
      if (equals == std::string::npos) {
        throw ConfigError("the settings under \"" + key + "\" must be key = value pairs");
      }
      section[key + "." + trim(line.substr(0, equals))] = trim(line.substr(equals + 1));
    }
    return;
  }
  section[key] = trim(value);
}

// Sections of the same name merge, later values winning (configparser's
// non-strict reading).
std::vector<std::pair<std::string, ProfileFiles::Section>> parseSections(const std::string& text) {
  std::vector<std::pair<std::string, ProfileFiles::Section>> out;
  for (RawSection& raw : IniReader().read(text)) {
    auto it = std::find_if(out.begin(), out.end(),
                           [&](const auto& entry) { return entry.first == raw.name; });
    if (it == out.end()) it = out.insert(out.end(), {raw.name, {}});
    for (auto& [key, value] : raw.values) addValue(it->second, key, std::move(value));
  }
  return out;
}

// "profile x" -> "x" (shell quoting allowed, exactly one name) as botocore
// reads "[profile x]" and "[services x]" headers; nullopt for anything else.
std::optional<std::string> prefixedName(const std::string& section, const std::string& prefix) {
  if (section.rfind(prefix, 0) != 0) return std::nullopt;
  auto words = shellSplit(section);
  if (!words || words->size() != 2) return std::nullopt;
  return (*words)[1];
}

std::string expandHome(const Environment& env, const std::string& path) {
  if (path == "~" || path.rfind("~/", 0) == 0) return env.home() + path.substr(1);
  return path;
}

std::optional<std::string> fileSetting(const Environment& env, const char* variable,
                                       const std::string& fallback) {
  if (auto value = env.nonEmpty(variable)) return expandHome(env, *value);
  const std::string home = env.home();
  if (home.empty()) return std::nullopt;
  return home + fallback;
}

// An SDK setting: the environment variable, else the profile's key.
std::optional<std::string> setting(const Environment& env, const ProfileFiles& files,
                                   const std::string& profile, const std::string& variable,
                                   const std::string& key) {
  if (auto value = env.nonEmpty(variable)) return value;
  auto value = files.value(profile, key);
  if (value && value->empty()) return std::nullopt;
  return value;
}

struct Partition {
  const char* id;
  const char* pattern;
  const char* dns_suffix;
  const char* dualstack_suffix;
  const char* implicit_global_region;
  // IAM is global: one endpoint per partition. The endpoint rules name some
  // of its hosts outright (signed for iam_region); "" means the rules' generic
  // "iam[-fips].<suffix>", signed for the implicit global region.
  const char* iam_host;
  const char* iam_region;
  const char* iam_fips_host;
  const char* iam_dualstack_host;
  const char* iam_fips_dualstack_host;
  // botocore's endpoint list (consulted when a client is made, before the
  // rules) has dual-stack hosts for this partition.
  bool lists_dualstack;
};

// From the SDKs' partition table and the services' endpoint rules; the
// isolated partitions are checked before "aws" only for clarity (the patterns
// do not overlap).
const std::array<Partition, 8>& partitions() {
  static const std::array<Partition, 8> table{{
      {"aws-cn", R"(^cn-\w+-\d+$)", "amazonaws.com.cn", "api.amazonwebservices.com.cn",
       "cn-northwest-1", "iam.cn-north-1.amazonaws.com.cn", "cn-north-1", "",
       "iam.global.api.amazonwebservices.com.cn", "", true},
      {"aws-us-gov", R"(^us-gov-\w+-\d+$)", "amazonaws.com", "api.aws", "us-gov-west-1",
       "iam.us-gov.amazonaws.com", "us-gov-west-1", "iam.us-gov.amazonaws.com",
       "iam.us-gov.api.aws", "iam.us-gov.api.aws", true},
      {"aws-iso", R"(^us-iso-\w+-\d+$)", "c2s.ic.gov", "api.aws.ic.gov", "us-iso-east-1",
       "iam.us-iso-east-1.c2s.ic.gov", "us-iso-east-1", "iam-fips.us-iso-east-1.c2s.ic.gov", "", "",
       true},
      {"aws-iso-b", R"(^us-isob-\w+-\d+$)", "sc2s.sgov.gov", "api.aws.scloud", "us-isob-east-1",
       "iam.us-isob-east-1.sc2s.sgov.gov", "us-isob-east-1",
       "iam-fips.us-isob-east-1.sc2s.sgov.gov", "", "", true},
      {"aws-iso-e", R"(^eu-isoe-\w+-\d+$)", "cloud.adc-e.uk", "api.cloud-aws.adc-e.uk",
       "eu-isoe-west-1", "iam.eu-isoe-west-1.cloud.adc-e.uk", "eu-isoe-west-1", "", "", "", false},
      {"aws-iso-f", R"(^us-isof-\w+-\d+$)", "csp.hci.ic.gov", "api.aws.hci.ic.gov",
       "us-isof-south-1", "iam.us-isof-south-1.csp.hci.ic.gov", "us-isof-south-1", "", "", "",
       false},
      {"aws-eusc", R"(^eusc-(de)-\w+-\d+$)", "amazonaws.eu", "api.amazonwebservices.eu",
       "eusc-de-east-1", "iam.eusc-de-east-1.amazonaws.eu", "eusc-de-east-1", "", "", "", true},
      {"aws", R"(^(us|eu|ap|sa|ca|me|af|il|mx)-\w+-\d+$)", "amazonaws.com", "api.aws", "us-east-1",
       "iam.amazonaws.com", "us-east-1", "iam-fips.amazonaws.com", "iam.global.api.aws",
       "iam-fips.global.api.aws", true},
  }};
  return table;
}

const Partition& partitionFor(const std::string& region) {
  for (const Partition& partition : partitions()) {
    if (std::regex_match(region, std::regex(partition.pattern))) return partition;
  }
  return partitions().back();
}

// The regions whose STS calls went to the global endpoint before regional
// endpoints became the default ("legacy" mode).
bool isLegacyGlobalStsRegion(const std::string& region) {
  static const std::array<const char*, 16> regions{
      "ap-northeast-1", "ap-south-1",   "ap-southeast-1", "ap-southeast-2",
      "aws-global",     "ca-central-1", "eu-central-1",   "eu-north-1",
      "eu-west-1",      "eu-west-2",    "eu-west-3",      "sa-east-1",
      "us-east-1",      "us-east-2",    "us-west-1",      "us-west-2"};
  return std::find(regions.begin(), regions.end(), region) != regions.end();
}

bool isGlobalCapable(const std::string& service) {
  return service == "iam" || service == "sts" || service == "s3";
}

ConfigError noRegion(const std::string& service) {
  return ConfigError("no AWS region for " + service +
                     ": set AWS_REGION (or AWS_DEFAULT_REGION) or the profile's region, "
                     "or pass --region");
}

// A region becomes part of a host name, so only what the SDKs accept passes.
// `origin` names where it came from, for the message.
const std::string& validateRegion(const std::string& region, const std::string& origin = "") {
  static const std::regex valid(R"(^[a-zA-Z0-9](?:[a-zA-Z0-9-]{0,61}[a-zA-Z0-9])?$)");
  if (!region.empty() && !std::regex_match(region, valid)) {
    throw ConfigError("invalid AWS region \"" + region + "\"" +
                      (origin.empty() ? "" : " in " + origin));
  }
  return region;
}

struct ConfiguredUrl {
  std::string url;
  std::string origin;
};

// AWS_ENDPOINT_URL_<ID>, AWS_ENDPOINT_URL, the profile's services section,
// the profile's endpoint_url: the first that is set and not empty.
std::optional<ConfiguredUrl> configuredEndpoint(const Environment& env, const ProfileFiles& files,
                                                const std::string& profile,
                                                const std::string& service) {
  if (isTrue(setting(env, files, profile, "AWS_IGNORE_CONFIGURED_ENDPOINT_URLS",
                     "ignore_configured_endpoint_urls"))) {
    return std::nullopt;
  }
  // The SDKs name a service by its hyphenated id with "_" for "-":
  // AWS_ENDPOINT_URL_SSO_OIDC and "sso_oidc = ..." in a services section.
  // Service Quotas' id ("Service Quotas") is not its endpoint prefix.
  std::string service_id = service == "servicequotas" ? "service-quotas" : lower(service);
  std::replace(service_id.begin(), service_id.end(), '-', '_');
  const std::string service_variable = "AWS_ENDPOINT_URL_" + upper(service_id);
  if (auto url = env.nonEmpty(service_variable)) return ConfiguredUrl{*url, service_variable};
  if (auto url = env.nonEmpty("AWS_ENDPOINT_URL")) return ConfiguredUrl{*url, "AWS_ENDPOINT_URL"};
  const std::string origin = "profile \"" + profile + "\" in " + files.config_path;
  if (auto section_name = files.value(profile, "services")) {
    auto section = files.services.find(*section_name);
    if (section == files.services.end()) {
      throw ConfigError("the " + origin + " names the services section \"" + *section_name +
                        "\", which does not exist");
    }
    auto url = section->second.find(service_id + ".endpoint_url");
    if (url != section->second.end() && !url->second.empty()) {
      return ConfiguredUrl{url->second, "services section \"" + *section_name + "\""};
    }
  }
  if (auto url = files.value(profile, "endpoint_url"); url && !url->empty()) {
    return ConfiguredUrl{*url, origin};
  }
  return std::nullopt;
}

// The FIPS and dual-stack settings with where each came from, for messages.
struct VariantSettings {
  EndpointVariant variant;
  std::string fips_origin;
  std::string dualstack_origin;
};

// A boolean SDK setting as botocore's config chain reads it: a variable that
// is set decides, even when empty; then the profile; "true" in any case is on.
bool booleanSetting(const Environment& env, const ProfileFiles& files, const std::string& profile,
                    const std::string& variable, const std::string& key, std::string* origin) {
  if (auto value = env.get(variable)) {
    *origin = variable + "=" + *value;
    return lower(*value) == "true";
  }
  if (auto value = files.value(profile, key)) {
    *origin = key + " = " + *value + " in profile \"" + profile + "\"";
    return lower(*value) == "true";
  }
  return false;
}

VariantSettings variantSettings(const Environment& env, const ProfileFiles& files,
                                const std::string& profile, const std::string& service) {
  VariantSettings settings;
  settings.variant.fips = booleanSetting(env, files, profile, "AWS_USE_FIPS_ENDPOINT",
                                         "use_fips_endpoint", &settings.fips_origin);
  // S3's own profile setting turns dual-stack on (only on: botocore reads a
  // false there as "not set") ahead of the general one.
  if (service == "s3") {
    auto s3 = files.value(profile, "s3.use_dualstack_endpoint");
    if (s3 && lower(*s3) == "true") {
      settings.variant.dualstack = true;
      settings.dualstack_origin =
          "s3 use_dualstack_endpoint = " + *s3 + " in profile \"" + profile + "\"";
      return settings;
    }
  }
  settings.variant.dualstack = booleanSetting(env, files, profile, "AWS_USE_DUALSTACK_ENDPOINT",
                                              "use_dualstack_endpoint", &settings.dualstack_origin);
  return settings;
}

// AWS has no endpoint of the asked variant: the message names the service,
// the region, the variant and the settings that asked for it.
[[noreturn]] void noSuchEndpoint(const std::string& service, const std::string& region,
                                 const Partition& partition, const VariantSettings& settings,
                                 bool fips, bool dualstack) {
  std::string what = fips && dualstack ? "FIPS dual-stack" : fips ? "FIPS" : "dual-stack";
  std::string message = "AWS has no " + what + " endpoint for " + service + " in " +
                        (region.empty() ? std::string("the default region") : region) +
                        " (partition " + partition.id + ")";
  std::vector<std::string> origins;
  if (fips && !settings.fips_origin.empty()) origins.push_back(settings.fips_origin);
  if (dualstack && !settings.dualstack_origin.empty()) origins.push_back(settings.dualstack_origin);
  if (!origins.empty()) {
    message += ", which " + origins[0] + (origins.size() > 1 ? " and " + origins[1] : "") + " ask" +
               (origins.size() > 1 ? "" : "s") +
               " for: turn the setting off or choose another region";
  }
  throw ConfigError(message);
}

ResolvedEndpoint made(const std::string& host, const std::string& signing_region,
                      const EndpointVariant& variant) {
  ResolvedEndpoint resolved;
  resolved.endpoint.scheme = "https";
  resolved.endpoint.host = host;
  resolved.signing_region = signing_region;
  resolved.variant = variant;
  return resolved;
}

// A regional service's host under the endpoint rules: "<name>[-fips].<region>.
// <suffix>", where GovCloud's plain hosts already are its FIPS ones for most
// services (`gov_plain_is_fips`); KMS keeps a FIPS host of its own there.
ResolvedEndpoint regionalEndpoint(const std::string& prefix, const std::string& name,
                                  const std::string& region, const std::string& signing_region,
                                  const Partition& partition, const EndpointVariant& variant,
                                  bool gov_plain_is_fips = true) {
  const bool gov = std::string(partition.id) == "aws-us-gov";
  const bool fips_label = variant.fips && (variant.dualstack || !gov || !gov_plain_is_fips);
  const std::string suffix = variant.dualstack ? partition.dualstack_suffix : partition.dns_suffix;
  return made(prefix + name + (fips_label ? "-fips" : "") + "." + region + "." + suffix,
              signing_region, variant);
}

ResolvedEndpoint iamEndpoint(const Partition& partition, const EndpointVariant& variant) {
  const char* named =
      variant.fips
          ? (variant.dualstack ? partition.iam_fips_dualstack_host : partition.iam_fips_host)
          : (variant.dualstack ? partition.iam_dualstack_host : partition.iam_host);
  if (*named != '\0') return made(named, partition.iam_region, variant);
  return made(std::string(variant.fips ? "iam-fips." : "iam.") +
                  (variant.dualstack ? partition.dualstack_suffix : partition.dns_suffix),
              partition.implicit_global_region, variant);
}

ResolvedEndpoint s3Endpoint(const std::string& region, const Partition& partition,
                            const EndpointVariant& variant, bool us_east_1_global,
                            const VariantSettings& settings) {
  if (variant.fips && std::string(partition.id) == "aws-cn") {
    noSuchEndpoint("s3", region, partition, settings, true, false);
  }
  // No region is us-east-1, where the original global host stays unless
  // asked otherwise (only for the plain endpoint).
  const std::string where = region.empty() ? "us-east-1" : region;
  if (!variant.fips && !variant.dualstack && where == "us-east-1" && us_east_1_global) {
    return made("s3.amazonaws.com", "us-east-1", variant);
  }
  return made(std::string(variant.fips ? "s3-fips." : "s3.") +
                  (variant.dualstack ? "dualstack." : "") + where + "." + partition.dns_suffix,
              where, variant);
}

ResolvedEndpoint variantEndpoint(const std::string& service, const std::string& region,
                                 const EndpointVariant& variant, bool sts_global,
                                 bool s3_us_east_1_global, const VariantSettings& settings) {
  const Partition& partition = partitionFor(region.empty() ? "us-east-1" : region);
  // A client is first given an endpoint from botocore's endpoint list, which
  // has no dual-stack hosts in some partitions: botocore stops there.
  if (variant.dualstack && !partition.lists_dualstack) {
    noSuchEndpoint(service, region, partition, settings, variant.fips, true);
  }
  const bool plain = !variant.fips && !variant.dualstack;
  if (service == "iam") return iamEndpoint(partition, variant);
  if (service == "s3") {
    return s3Endpoint(region, partition, variant, s3_us_east_1_global, settings);
  }
  if (service == "sts") {
    if (plain && (region.empty() || sts_global)) {
      return made("sts.amazonaws.com", "us-east-1", variant);
    }
    // With no region, STS's variants are those of its "aws-global" region.
    if (region.empty()) {
      return regionalEndpoint("", "sts", "aws-global", "us-east-1", partition, variant);
    }
  }
  if (region.empty()) throw noRegion(service);
  // The identity center's hosts do not follow the service's name.
  if (service == "sso")
    return regionalEndpoint("portal.", "sso", region, region, partition, variant);
  if (service == "sso-oidc")
    return regionalEndpoint("", "oidc", region, region, partition, variant);
  if (service == "kms")
    return regionalEndpoint("", "kms", region, region, partition, variant, false);
  return regionalEndpoint("", service, region, region, partition, variant);
}

ResolvedEndpoint defaultEndpoint(const Environment& env, const ProfileFiles& files,
                                 const std::string& profile, const std::string& service,
                                 const std::string& region, const VariantSettings& settings) {
  bool sts_global = false;
  if (service == "sts") {
    const std::string mode =
        setting(env, files, profile, "AWS_STS_REGIONAL_ENDPOINTS", "sts_regional_endpoints")
            .value_or("regional");
    if (mode != "regional" && mode != "legacy") {
      throw ConfigError("invalid STS regional endpoints setting \"" + mode +
                        "\": expected \"legacy\" or \"regional\"");
    }
    sts_global = mode == "legacy" && isLegacyGlobalStsRegion(region);
  }
  bool s3_us_east_1_global = true;
  if (service == "s3") {
    s3_us_east_1_global = setting(env, files, profile, "AWS_S3_US_EAST_1_REGIONAL_ENDPOINT",
                                  "s3.us_east_1_regional_endpoint")
                              .value_or("legacy") != "regional";
  }
  return variantEndpoint(service, region, settings.variant, sts_global, s3_us_east_1_global,
                         settings);
}

}  // namespace

std::optional<std::vector<std::string>> shellSplit(const std::string& text) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      if (in_word) words.push_back(std::move(word));
      word.clear();
      in_word = false;
    } else if (c == '\'') {
      const std::size_t close = text.find('\'', i + 1);
      if (close == std::string::npos) return std::nullopt;
      word += text.substr(i + 1, close - i - 1);
      i = close;
      in_word = true;
    } else if (c == '"') {
      std::size_t j = i + 1;
      for (; j < text.size() && text[j] != '"'; ++j) {
        if (text[j] == '\\' && j + 1 < text.size() && (text[j + 1] == '"' || text[j + 1] == '\\')) {
          ++j;
        }
        word += text[j];
      }
      if (j >= text.size()) return std::nullopt;
      i = j;
      in_word = true;
    } else if (c == '\\') {
      if (i + 1 >= text.size()) return std::nullopt;
      word += text[++i];
      in_word = true;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (in_word) words.push_back(std::move(word));
  return words;
}

std::map<std::string, std::map<std::string, std::string>> ProfileFiles::parseIni(
    const std::string& text, bool config_style) {
  std::map<std::string, Section> profiles;
  for (auto& [name, section] : parseSections(text)) {
    if (!config_style) {
      profiles[name] = std::move(section);
    } else if (name == "default") {
      profiles["default"] = std::move(section);
    } else if (auto profile = prefixedName(name, "profile")) {
      // "[profile default]" and "[default]" name the same profile; the later
      // section in the file wins, as in botocore.
      profiles[*profile] = std::move(section);
    }
  }
  return profiles;
}

ProfileFiles ProfileFiles::load(const Environment& env) {
  ProfileFiles files;
  files.config_path = fileSetting(env, "AWS_CONFIG_FILE", "/.aws/config").value_or("");
  files.credentials_path =
      fileSetting(env, "AWS_SHARED_CREDENTIALS_FILE", "/.aws/credentials").value_or("");
  auto parse = [&](const std::string& path, auto&& use) {
    if (path.empty()) return;
    auto text = env.readFile(path);
    if (!text) return;
    try {
      use(*text);
    } catch (const ConfigError& error) {
      throw ConfigError("cannot parse " + path + ": " + error.what());
    }
  };
  parse(files.config_path, [&](const std::string& text) {
    files.config = parseIni(text, true);
    for (auto& [name, section] : parseSections(text)) {
      if (auto services = prefixedName(name, "services")) files.services[*services] = section;
      if (auto sso = prefixedName(name, "sso-session")) files.sso_sessions[*sso] = section;
    }
  });
  parse(files.credentials_path,
        [&](const std::string& text) { files.credentials = parseIni(text, false); });
  return files;
}

std::optional<std::string> ProfileFiles::value(const std::string& profile,
                                               const std::string& key) const {
  for (const auto* source : {&credentials, &config}) {
    auto section = source->find(profile);
    if (section == source->end()) continue;
    auto found = section->second.find(key);
    if (found != section->second.end()) return found->second;
  }
  return std::nullopt;
}

bool ProfileFiles::hasProfile(const std::string& profile) const {
  return config.count(profile) > 0 || credentials.count(profile) > 0;
}

ProfileFiles::Section ProfileFiles::merged(const std::string& profile) const {
  Section out;
  if (auto it = config.find(profile); it != config.end()) out = it->second;
  if (auto it = credentials.find(profile); it != credentials.end()) {
    for (const auto& [key, value] : it->second) out[key] = value;
  }
  return out;
}

std::string effectiveProfile(const Environment& env, const std::optional<std::string>& profile) {
  if (profile) return *profile;
  if (auto name = env.nonEmpty("AWS_DEFAULT_PROFILE")) return *name;
  if (auto name = env.nonEmpty("AWS_PROFILE")) return *name;
  return "default";
}

std::optional<std::string> resolveRegion(const Environment& env,
                                         const std::optional<std::string>& profile) {
  for (const char* variable : {"AWS_REGION", "AWS_DEFAULT_REGION"}) {
    if (auto region = env.nonEmpty(variable)) return validateRegion(*region, variable);
  }
  const std::string name = effectiveProfile(env, profile);
  auto region = ProfileFiles::load(env).value(name, "region");
  if (!region || region->empty()) return std::nullopt;
  return validateRegion(*region, "the region of profile " + name);
}

std::string partitionOf(const std::string& region) {
  return partitionFor(region).id;
}

ResolvedEndpoint resolveEndpoint(const Environment& env, const std::optional<std::string>& profile,
                                 const std::string& service, const std::string& region) {
  validateRegion(region);
  const ProfileFiles files = ProfileFiles::load(env);
  const std::string name = effectiveProfile(env, profile);
  if (auto configured = configuredEndpoint(env, files, name, service)) {
    // A configured endpoint replaces the host only: the client's region
    // still scopes the signature, and a regional service still needs one.
    if (region.empty() && !isGlobalCapable(service)) throw noRegion(service);
    ResolvedEndpoint resolved;
    try {
      resolved.endpoint = Endpoint::parse(configured->url);
    } catch (const std::invalid_argument& error) {
      throw ConfigError("invalid endpoint URL in " + configured->origin + ": " + error.what());
    }
    resolved.signing_region = region.empty() ? "us-east-1" : region;
    resolved.overridden = true;
    return resolved;
  }
  return defaultEndpoint(env, files, name, service, region,
                         variantSettings(env, files, name, service));
}

Endpoint serviceEndpoint(const std::string& service, const std::string& region,
                         const EndpointVariant& variant) {
  validateRegion(region);
  VariantSettings settings;
  settings.variant = variant;
  return variantEndpoint(service, region, variant, false, false, settings).endpoint;
}

}  // namespace aws
