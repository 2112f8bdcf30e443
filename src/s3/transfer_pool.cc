#include "s3/transfer_pool.h"

#include <algorithm>
#include <exception>
#include <system_error>
#include <utility>

namespace s3lib {

namespace {

std::string reasonOf(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace

FolderTransferError::FolderTransferError(const std::string& what,
                                         std::vector<TransferFailure> failures)
    : std::runtime_error(what), failures_(std::move(failures)) {}

TransferPool::TransferPool(int concurrency)
    : concurrency_(static_cast<std::size_t>(std::max(1, concurrency))) {}

TransferPool::~TransferPool() {
  stopWorkers();
}

void TransferPool::submit(std::string name, Job job) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (stopping_) throw std::logic_error("TransferPool: a job handed over after finish()");
  Queued queued{submitted_++, std::move(name), std::move(job)};
  if (concurrency_ == 1) {
    lock.unlock();
    run(queued);
    return;
  }
  has_room_.wait(lock, [this] { return queue_.size() < 2 * concurrency_; });
  queue_.push_back(std::move(queued));
  if (idle_ < queue_.size() && workers_.size() < concurrency_) {
    try {
      workers_.emplace_back([this] { work(); });
    } catch (const std::system_error&) {
      // No thread to be had: the workers there are will get to the job. With
      // none at all, it runs here, so that no job is left waiting forever.
      if (workers_.empty()) {
        Queued mine = std::move(queue_.back());
        queue_.pop_back();
        lock.unlock();
        run(mine);
        return;
      }
    }
  }
  has_work_.notify_one();
}

void TransferPool::run(Queued& queued) {
  std::vector<TransferFailure> failures;
  try {
    queued.job(failures);
  } catch (...) {
    failures.push_back({queued.name, reasonOf(std::current_exception())});
  }
  std::lock_guard<std::mutex> lock(mutex_);
  for (TransferFailure& failure : failures)
    failures_.emplace_back(queued.index, std::move(failure));
  ++done_;
  all_done_.notify_all();
}

void TransferPool::work() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    ++idle_;
    has_work_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    --idle_;
    if (queue_.empty()) return;  // stopping, and nothing left to do
    Queued queued = std::move(queue_.front());
    queue_.pop_front();
    has_room_.notify_one();
    lock.unlock();
    run(queued);
    queued.job = nullptr;  // what the job holds goes before the next one starts
    lock.lock();
  }
}

void TransferPool::stopWorkers() {
  {
    std::unique_lock<std::mutex> lock(mutex_);
    all_done_.wait(lock, [this] { return done_ == submitted_; });
    stopping_ = true;
  }
  has_work_.notify_all();
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
}

std::vector<TransferFailure> TransferPool::finish() {
  stopWorkers();
  std::lock_guard<std::mutex> lock(mutex_);
  std::stable_sort(failures_.begin(), failures_.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<TransferFailure> failures;
  for (auto& [index, failure] : failures_) failures.push_back(std::move(failure));
  failures_.clear();
  return failures;
}

void throwIfFailed(const std::vector<TransferFailure>& failures, std::size_t total,
                   const std::string& what) {
  if (failures.empty()) return;
  const TransferFailure& first = failures.front();
  std::string message = std::to_string(failures.size()) + " of " + std::to_string(total) + " " +
                        what + "s failed; the first, " + first.name + ": " + first.reason;
  throw FolderTransferError(message, failures);
}

}  // namespace s3lib
