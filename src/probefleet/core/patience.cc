#include "probefleet/core/patience.h"

#include <algorithm>

#include "aws/client/error.h"
#include "aws/client/retry.h"

namespace probefleet {

bool worthWaiting(const std::exception& failure, const std::vector<std::string>& not_yet) {
  if (dynamic_cast<const aws::TransportError*>(&failure)) return true;
  const auto* service = dynamic_cast<const aws::ServiceError*>(&failure);
  if (!service) return false;
  return aws::isRetryable(*service) ||
         std::find(not_yet.begin(), not_yet.end(), service->code()) != not_yet.end();
}

std::chrono::milliseconds patientPause(int attempt, std::chrono::milliseconds longest) {
  thread_local std::mt19937_64 rng{std::random_device{}()};
  long long cap = 1000;
  for (int i = 1; i < attempt && cap < longest.count(); ++i) cap *= 2;
  cap = std::max<long long>(std::min<long long>(cap, longest.count()), 2);
  std::uniform_int_distribution<long long> share(cap / 2, cap);
  return std::chrono::milliseconds(share(rng));
}

}  // namespace probefleet
