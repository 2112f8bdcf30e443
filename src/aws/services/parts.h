#pragma once
// Work in numbered parts spread over a few threads: the parts of a multipart
// upload, the ranges of a download.

#include <cstdint>
#include <functional>

namespace aws {

/// Calls part(i) for every i in [0, count), from up to `max_concurrency`
/// threads (at least one), each taking the next number as it finishes one.
/// After the first failure no new part starts; once every thread has stopped,
/// that failure is rethrown. A thread that cannot be started is a failure.
void forEachPart(std::uint64_t count, int max_concurrency,
                 const std::function<void(std::uint64_t index)>& part);

}  // namespace aws
