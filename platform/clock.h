// Time for the device layer and the toolkit: the real monotonic clock, or a
// virtual one that tests advance, so that a sequence of 10-second timeouts
// runs in milliseconds and always in the same order.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>

namespace odu::platform {

using Nanos = std::chrono::nanoseconds;
inline constexpr Nanos kForever = Nanos::max();

constexpr Nanos Millis(int64_t ms) { return std::chrono::milliseconds(ms); }

class Clock {
 public:
  virtual ~Clock() = default;

  virtual Nanos Now() const = 0;
  virtual bool IsVirtual() const = 0;

  // Blocks until `ready()` holds or `deadline` (this clock's time) has come,
  // and returns ready(). `lock` is held whenever ready() is evaluated and is
  // the lock that guards what `cv` announces.
  virtual bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, Nanos deadline,
                         const std::function<bool()>& ready) = 0;

  // Sleeps until `deadline` on this clock.
  void SleepUntil(Nanos deadline);

  // Accounting of worker threads for virtual time: a worker that runs holds
  // the clock, one that is blocked waiting for the window's thread or for a
  // device event does not. Virtual time only moves on when nothing holds it.
  // No-ops on the real clock.
  virtual void Hold() {}
  virtual void Release() {}
};

class RealClock final : public Clock {
 public:
  Nanos Now() const override;
  bool IsVirtual() const override { return false; }
  bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, Nanos deadline,
                 const std::function<bool()>& ready) override;
};

// The process's real clock.
RealClock& RealTime();

// A discrete-event clock. One thread drives it (the window's thread): its
// timed waits run the scheduled events in time order up to their deadline
// and then jump there. Other threads may only wait without a deadline.
class VirtualClock final : public Clock {
 public:
  Nanos Now() const override { return Nanos(now_.load()); }
  bool IsVirtual() const override { return true; }
  bool WaitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, Nanos deadline,
                 const std::function<bool()>& ready) override;

  // Runs `action` on the driving thread when virtual time reaches `at`
  // (events due at the same time run in the order they were scheduled).
  void Schedule(Nanos at, std::function<void()> action);
  void ScheduleAfter(Nanos delay, std::function<void()> action) { Schedule(Now() + delay, std::move(action)); }
  std::optional<Nanos> NextEventTime() const;
  // Runs the earliest event if it is due at or before `limit`, advancing time
  // to it. False when there is none.
  bool RunNextEvent(Nanos limit);
  // Runs every event due at or before `t`, then sets the time to `t`.
  void AdvanceTo(Nanos t);

  void Hold() override;
  void Release() override;
  int Holds() const;
  // Blocks until no worker holds the clock or `interrupted()` holds; Notify()
  // makes it look at `interrupted` again.
  void WaitQuiet(const std::function<bool()>& interrupted);
  void Notify();

 private:
  std::atomic<int64_t> now_{0};
  mutable std::mutex events_mutex_;
  std::multimap<int64_t, std::function<void()>> events_;

  mutable std::mutex quiet_mutex_;
  std::condition_variable quiet_cv_;
  int holds_ = 0;
};

}  // namespace odu::platform
