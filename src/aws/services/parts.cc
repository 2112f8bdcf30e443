#include "aws/services/parts.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace aws {

void forEachPart(std::uint64_t count, int max_concurrency,
                 const std::function<void(std::uint64_t index)>& part) {
  std::atomic<std::uint64_t> next{0};
  std::atomic<bool> failed{false};
  std::mutex error_mutex;
  std::exception_ptr first_error;
  auto fail = [&](std::exception_ptr error) {
    std::lock_guard<std::mutex> lock(error_mutex);
    if (!first_error) first_error = error;
    failed = true;
  };
  auto worker = [&] {
    while (!failed) {
      const std::uint64_t index = next++;
      if (index >= count) return;
      try {
        part(index);
      } catch (...) {
        fail(std::current_exception());
        return;
      }
    }
  };
  const auto workers = static_cast<std::uint64_t>(std::max(1, max_concurrency));
  {
    std::vector<std::jthread> threads;
    try {
      for (std::uint64_t i = 0; i < std::min(workers, count); ++i) threads.emplace_back(worker);
    } catch (...) {
      fail(std::current_exception());  // the threads already started stop and are joined
    }
  }
  if (first_error) std::rethrow_exception(first_error);
}

}  // namespace aws
