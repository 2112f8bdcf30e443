#include "aws/base/clock.h"

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <string>

#include "aws/base/config_error.h"
#include "aws/base/environment.h"
#include "aws/base/interrupt.h"

namespace aws {

std::string formatIsoTime(std::chrono::system_clock::time_point time) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm tm{};
  gmtime_r(&seconds, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return text;
}

std::chrono::system_clock::time_point SystemClock::now() const {
  return std::chrono::system_clock::now();
}

void SystemClock::sleep(std::chrono::milliseconds duration) {
  Interruption::pause(duration);
}

std::shared_ptr<Clock> systemClock() {
  static const std::shared_ptr<Clock> clock = std::make_shared<SystemClock>();
  return clock;
}

std::chrono::system_clock::time_point ScaledClock::now() const {
  return std::chrono::system_clock::now();
}

void ScaledClock::sleep(std::chrono::milliseconds duration) {
  Interruption::pause(std::chrono::milliseconds(
      static_cast<long long>(std::llround(static_cast<double>(duration.count()) * scale_))));
}

std::shared_ptr<Clock> clockFromEnvironment(const Environment& env) {
  const auto text = env.nonEmpty(kTimeScaleVariable);
  if (!text) return systemClock();
  char* end = nullptr;
  const double scale = std::strtod(text->c_str(), &end);
  if (end != text->c_str() + text->size() || !std::isfinite(scale) || scale <= 0 || scale > 1) {
    throw ConfigError(std::string("invalid ") + kTimeScaleVariable + " '" + *text +
                      "': expected a number above 0 and at most 1");
  }
  if (scale == 1) return systemClock();
  return std::make_shared<ScaledClock>(scale);
}

}  // namespace aws
