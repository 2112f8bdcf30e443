// The pool that folder transfers run in: bounded, every job runs whatever
// the others do, and failures come back in the order the jobs were handed
// over, not the order they ended in.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "s3/transfer_pool.h"

namespace {

using s3lib::TransferFailure;
using s3lib::TransferPool;

std::vector<std::string> names(const std::vector<TransferFailure>& failures) {
  std::vector<std::string> out;
  for (const TransferFailure& failure : failures) out.push_back(failure.name);
  return out;
}

TEST(TransferPoolTest, RunsEveryJobWithinItsBoundAndReportsFailuresInHandOverOrder) {
  struct Case {
    int concurrency;
    int jobs;
    std::set<int> throwing;   // these throw
    std::set<int> reporting;  // these report two failures of their own
    std::vector<std::string> want;
  };
  const std::vector<Case> cases = {
      {1, 5, {}, {}, {}},
      {1, 5, {1, 3}, {}, {"job1", "job3"}},
      {4, 20, {}, {}, {}},
      {4, 20, {0, 7, 19}, {}, {"job0", "job7", "job19"}},
      {8, 30, {29, 2}, {10}, {"job2", "job10-a", "job10-b", "job29"}},
      {16, 3, {0, 1, 2}, {}, {"job0", "job1", "job2"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("concurrency " + std::to_string(c.concurrency));
    std::atomic<int> ran{0}, running{0}, most{0};
    TransferPool pool(c.concurrency);
    for (int i = 0; i < c.jobs; ++i) {
      const std::string name = "job" + std::to_string(i);
      pool.submit(name, [&, i, name](std::vector<TransferFailure>& failures) {
        const int now = ++running;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        // Early jobs take longest, so that later ones end first.
        std::this_thread::sleep_for(std::chrono::milliseconds(2 * (c.jobs - i) % 9));
        --running;
        ++ran;
        if (c.reporting.count(i))
          failures.push_back({name + "-a", "r"}), failures.push_back({name + "-b", "r"});
        if (c.throwing.count(i)) throw std::runtime_error("failed " + name);
      });
    }
    const auto failures = pool.finish();
    EXPECT_EQ(ran.load(), c.jobs);
    EXPECT_LE(most.load(), c.concurrency);
    if (c.concurrency > 1 && c.jobs > 3) {
      EXPECT_GT(most.load(), 1);
    }
    EXPECT_EQ(names(failures), c.want);
    for (const TransferFailure& failure : failures) {
      if (c.throwing.count(std::stoi(failure.name.substr(3)))) {
        EXPECT_EQ(failure.reason, "failed " + failure.name);
      }
    }
    EXPECT_THROW(pool.submit("late", [](auto&) {}), std::logic_error);
  }
}

TEST(TransferPoolTest, FailuresBecomeOneErrorNamingTheCountAndTheFirst) {
  EXPECT_NO_THROW(s3lib::throwIfFailed({}, 3, "upload"));
  try {
    s3lib::throwIfFailed({{"a.txt", "AccessDenied"}, {"b.txt", "x"}}, 5, "upload");
    FAIL() << "no error thrown";
  } catch (const s3lib::FolderTransferError& error) {
    EXPECT_STREQ(error.what(), "2 of 5 uploads failed; the first, a.txt: AccessDenied");
    EXPECT_EQ(error.failures().size(), 2u);
  }
}

}  // namespace
