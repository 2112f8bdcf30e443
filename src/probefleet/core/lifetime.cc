#include "probefleet/core/lifetime.h"

#include <cctype>
#include <ctime>
#include <stdexcept>

#include "aws/base/clock.h"
#include "aws/client/query_protocol.h"

namespace probefleet {

namespace {

constexpr std::chrono::seconds kLongestDuration{366LL * 24 * 3600};

std::optional<long long> unitSeconds(char unit) {
  switch (unit) {
    case 's':
      return 1;
    case 'm':
      return 60;
    case 'h':
      return 3600;
    case 'd':
      return 86400;
    default:
      return std::nullopt;
  }
}

}  // namespace

std::optional<std::chrono::seconds> parseDuration(const std::string& text) {
  long long total = 0;
  std::size_t at = 0;
  if (text.empty()) return std::nullopt;
  while (at < text.size()) {
    const std::size_t digits_start = at;
    long long number = 0;
    while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) {
      number = number * 10 + (text[at] - '0');
      if (number > kLongestDuration.count()) return std::nullopt;
      ++at;
    }
    if (at == digits_start || at == text.size() || number == 0) return std::nullopt;
    const auto unit = unitSeconds(text[at++]);
    if (!unit) return std::nullopt;
    total += number * *unit;
    if (total > kLongestDuration.count()) return std::nullopt;
  }
  return std::chrono::seconds(total);
}

std::optional<std::chrono::system_clock::time_point> parseIsoUtc(const std::string& text) {
  try {
    return aws::protocol::parseIsoTime(text);
  } catch (const std::runtime_error&) {
    return std::nullopt;
  }
}

std::string withShutdownTimer(const std::optional<std::string>& script,
                              std::chrono::system_clock::time_point expires) {
  const long long epoch =
      std::chrono::duration_cast<std::chrono::seconds>(expires.time_since_epoch()).count();
  // Launched with InstanceInitiatedShutdownBehavior=terminate: powering off
  // ends the instance for good. cloud-init runs the user data once per
  // instance, and a scheduled shutdown lives under /run, so a reboot (by a
  // test, or AWS maintenance) would forget it: the timer is a per-boot script
  // that counts to the expiry itself, never from boot. It is run once now,
  // as this boot's per-boot scripts have run already.
  const std::string path = std::string(kPerBootDirectory) + "/" + kPerBootTimerName;
  const std::string timer = std::string("# ") + kExpiresTagKey + " " + aws::formatIsoTime(expires) +
                            ": power off then, which terminates this instance, on every boot\n"
                            "mkdir -p " +
                            kPerBootDirectory +
                            "\n"
                            "cat > " +
                            path +
                            " <<'PROBEFLEET_TIMER'\n"
                            "#!/bin/sh\n"
                            "# Powers this instance off at its " +
                            kExpiresTagKey + " time, " + aws::formatIsoTime(expires) +
                            ", at once when that is past.\n"
                            "probefleet_expires=" +
                            std::to_string(epoch) +
                            "\n"
                            "probefleet_left=$(( (probefleet_expires - $(date +%s) + 59) / 60 ))\n"
                            "if [ \"$probefleet_left\" -lt 1 ]; then shutdown -h now; "
                            "else shutdown -h \"+$probefleet_left\"; fi\n"
                            "PROBEFLEET_TIMER\n"
                            "chmod 755 " +
                            path + "\nsh " + path + "\n";
  if (!script) return "#!/bin/bash\n" + timer;
  const auto end_of_first = script->find('\n');
  if (!script->starts_with("#!") || end_of_first == std::string::npos) {
    throw std::invalid_argument("the start-up text is not a shell script: no timer can be added");
  }
  return script->substr(0, end_of_first + 1) + timer + script->substr(end_of_first + 1);
}

}  // namespace probefleet
