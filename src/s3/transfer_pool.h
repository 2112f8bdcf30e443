#pragma once
// A bounded pool of worker threads for the transfers of a folder: the caller
// walks the folder (or the listing) and hands each transfer over; a few
// workers keep that many requests in flight. A failed transfer is kept with
// the name it was handed over under and does not stop the others.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace s3lib {

/// Transfers in flight when nothing else is said. Measured over a keep-alive
/// https front with 100 ms before every answer (a bucket across an ocean),
/// 2,000 files of 4 KiB, upload / download: 8 in flight take 26.9 / 28.4 s,
/// 16 take 13.6 / 15.0 s, 32 take 8.6 / 8.7 s, 64 take 6.8 / 7.6 s, where
/// the server's own CPU becomes the limit, and 128 are slower again (9.4 /
/// 11.9 s). Threads and connections are only made as the work needs them,
/// so a folder of two files still uses two.
inline constexpr int kDefaultTransferConcurrency = 64;

/// How a folder transfer runs: how many transfers are in flight at once.
struct TransferSettings {
  int concurrency = kDefaultTransferConcurrency;
};

/// A transfer that failed: what it was handed over as (a key or a path) and
/// why (the exception's message).
struct TransferFailure {
  std::string name;
  std::string reason;
};

/// What a folder transfer throws, once every transfer has ended, when some
/// failed: each failure in the order the transfers were handed over.
class FolderTransferError : public std::runtime_error {
 public:
  FolderTransferError(const std::string& what, std::vector<TransferFailure> failures);
  const std::vector<TransferFailure>& failures() const { return failures_; }

 private:
  std::vector<TransferFailure> failures_;
};

class TransferPool {
 public:
  /// A transfer; it may add failures of its own (the keys a batch deletion
  /// could not remove) to the list it is given.
  using Job = std::function<void(std::vector<TransferFailure>& failures)>;

  /// Up to `concurrency` jobs run at once (at least one). With 1, every job
  /// runs on the caller's thread inside submit(). Threads are started only
  /// as jobs wait for one, so a folder of two files starts two at most.
  explicit TransferPool(int concurrency);
  /// Waits for the jobs handed over (after a failure of the caller's own
  /// walk, say) without reporting their failures.
  ~TransferPool();
  TransferPool(const TransferPool&) = delete;
  TransferPool& operator=(const TransferPool&) = delete;

  /// Hands `job` over under `name`. Blocks while twice `concurrency` jobs
  /// wait for a worker, so that a long listing is never held in memory.
  /// An exception the job throws becomes a failure under `name`. Throws
  /// std::logic_error after finish().
  void submit(std::string name, Job job);

  /// Waits for every job handed over; returns the failures in the order the
  /// jobs were handed over. The pool takes no more jobs afterwards.
  std::vector<TransferFailure> finish();

  /// How many jobs were handed over so far.
  std::size_t submitted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return submitted_;
  }

 private:
  struct Queued {
    std::size_t index;
    std::string name;
    Job job;
  };
  void work();
  void run(Queued& queued);
  void stopWorkers();

  const std::size_t concurrency_;
  mutable std::mutex mutex_;
  std::condition_variable has_work_;
  std::condition_variable has_room_;
  std::condition_variable all_done_;
  std::deque<Queued> queue_;
  std::vector<std::thread> workers_;
  std::size_t idle_ = 0;
  std::size_t submitted_ = 0;
  std::size_t done_ = 0;
  bool stopping_ = false;
  std::vector<std::pair<std::size_t, TransferFailure>> failures_;
};

/// Throws FolderTransferError for `failures` (nothing when there are none),
/// saying `what` failed ("upload", "download", "deletion") and how many of
/// `total`.
void throwIfFailed(const std::vector<TransferFailure>& failures, std::size_t total,
                   const std::string& what);

}  // namespace s3lib
