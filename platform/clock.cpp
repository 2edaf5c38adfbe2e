#include "platform/clock.h"

#include <cassert>

namespace odu::platform {

void Clock::SleepUntil(Nanos deadline) {
  std::mutex m;
  std::condition_variable cv;
  std::unique_lock lock(m);
  WaitUntil(lock, cv, deadline, [] { return false; });
}

Nanos RealClock::Now() const {
  return std::chrono::duration_cast<Nanos>(std::chrono::steady_clock::now().time_since_epoch());
}

bool RealClock::WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, Nanos deadline,
                          const std::function<bool()>& ready) {
  if (deadline == kForever) {
    cv.wait(lock, ready);
    return true;
  }
  const auto until = std::chrono::steady_clock::time_point(std::chrono::duration_cast<std::chrono::steady_clock::duration>(deadline));
  return cv.wait_until(lock, until, ready);
}

RealClock& RealTime() {
  static RealClock clock;
  return clock;
}

bool VirtualClock::WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, Nanos deadline,
                             const std::function<bool()>& ready) {
  while (!ready()) {
    if (deadline == kForever) {
      // Only another thread can change what we wait for.
      cv.wait(lock);
      continue;
    }
    if (Now() >= deadline) return false;
    lock.unlock();
    const bool ran = RunNextEvent(deadline);
    if (!ran) {
      int64_t cur = now_.load();
      while (cur < deadline.count() && !now_.compare_exchange_weak(cur, deadline.count())) {
      }
    }
    lock.lock();
  }
  return true;
}

void VirtualClock::Schedule(Nanos at, std::function<void()> action) {
  std::lock_guard g(events_mutex_);
  int64_t t = at.count() < now_.load() ? now_.load() : at.count();
  events_.emplace(t, std::move(action));
}

std::optional<Nanos> VirtualClock::NextEventTime() const {
  std::lock_guard g(events_mutex_);
  if (events_.empty()) return std::nullopt;
  return Nanos(events_.begin()->first);
}

bool VirtualClock::RunNextEvent(Nanos limit) {
  std::function<void()> action;
  {
    std::lock_guard g(events_mutex_);
    if (events_.empty() || events_.begin()->first > limit.count()) return false;
    auto it = events_.begin();
    int64_t cur = now_.load();
    if (it->first > cur) now_.store(it->first);
    action = std::move(it->second);
    events_.erase(it);
  }
  action();
  return true;
}

void VirtualClock::AdvanceTo(Nanos t) {
  while (RunNextEvent(t)) {
  }
  if (now_.load() < t.count()) now_.store(t.count());
}

void VirtualClock::Hold() {
  std::lock_guard g(quiet_mutex_);
  ++holds_;
}

void VirtualClock::Release() {
  std::lock_guard g(quiet_mutex_);
  assert(holds_ > 0);
  if (--holds_ == 0) quiet_cv_.notify_all();
}

int VirtualClock::Holds() const {
  std::lock_guard g(quiet_mutex_);
  return holds_;
}

void VirtualClock::WaitQuiet(const std::function<bool()>& interrupted) {
  std::unique_lock lock(quiet_mutex_);
  quiet_cv_.wait(lock, [&] { return holds_ == 0 || interrupted(); });
}

void VirtualClock::Notify() {
  std::lock_guard g(quiet_mutex_);
  quiet_cv_.notify_all();
}

}  // namespace odu::platform
