#include "aws/base/interrupt.h"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <thread>

namespace aws {

namespace {

struct State {
  std::mutex mutex;
  std::condition_variable woken;
  std::atomic<int> signal{0};
  std::atomic<bool> requested{false};
  std::string cause;  // under the mutex
  std::atomic<int> shelters{0};
};

// Never destroyed: the signal thread is detached and may still be waking the
// waiters in request() while exit() runs the static destructors, which would
// destroy the mutex and condition variable under it.
State& state() {
  static State* const instance = new State();
  return *instance;
}

bool cutsShort() {
  const State& s = state();
  return s.requested.load() && s.shelters.load() == 0;
}

}  // namespace

Interrupted::Interrupted(int signal, const std::string& cause)
    : std::runtime_error("interrupted by " + (cause.empty() ? signalName(signal) : cause)),
      signal_(signal) {}

void watchTerminationSignals(std::function<void(int signal)> on_signal) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  if (pthread_sigmask(SIG_BLOCK, &signals, nullptr) != 0) return;
  std::thread([signals, on_signal = std::move(on_signal)] {
    for (;;) {
      int signal = 0;
      if (sigwait(&signals, &signal) == 0) on_signal(signal);
    }
  }).detach();
}

std::string signalName(int signal) {
  if (signal == SIGINT) return "SIGINT";
  if (signal == SIGTERM) return "SIGTERM";
  return "signal " + std::to_string(signal);
}

void Interruption::request(int signal) {
  State& s = state();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    int none = 0;
    if (signal == 0) signal = SIGTERM;
    s.signal.compare_exchange_strong(none, signal);
    if (!s.requested.load()) s.cause = signalName(signal);
    s.requested.store(true);
  }
  s.woken.notify_all();
}

void Interruption::requestFor(const std::string& cause) {
  State& s = state();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.requested.load()) return;
    s.cause = cause;
    s.requested.store(true);
  }
  s.woken.notify_all();
}

bool Interruption::requested() {
  return state().requested.load();
}

int Interruption::signal() {
  return state().signal.load();
}

std::string Interruption::cause() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  return s.cause;
}

void Interruption::check() {
  if (cutsShort()) throw Interrupted(state().signal.load(), cause());
}

void Interruption::pause(std::chrono::milliseconds duration) {
  check();
  if (duration.count() <= 0) return;
  State& s = state();
  std::unique_lock<std::mutex> lock(s.mutex);
  s.woken.wait_for(lock, duration, [] { return cutsShort(); });
  lock.unlock();
  check();
}

Interruption::Shelter::Shelter() {
  ++state().shelters;
}

Interruption::Shelter::~Shelter() {
  --state().shelters;
}

void Interruption::resetForTesting() {
  State& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.signal.store(0);
  s.requested.store(false);
  s.cause.clear();
}

}  // namespace aws
