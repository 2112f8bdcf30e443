#pragma once
// How an operation reports a failure it does not work around: on standard
// error, with the failure's kind, its message and the call trace of the
// place that caught it.

#include <exception>

namespace probefleet {

/// Writes "<kind>: <message>" and the current call trace to standard error.
/// Never throws.
void reportFailure(const std::exception& failure) noexcept;

}  // namespace probefleet
