// The headless toolkit: the window's loop on the calling thread, timers on a
// real or a virtual clock, and message boxes that are recorded and answered
// by whoever drives the loop (a test, or the command line).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/toolkit/toolkit.h"

namespace odu::platform {

class HeadlessToolkit : public Toolkit {
 public:
  struct Box {
    std::string text;
    std::string caption;
    Nanos opened_at{};
    Nanos closed_at{};
  };

  explicit HeadlessToolkit(Clock& clock);
  ~HeadlessToolkit() override;

  // Records the box and keeps the loop running until `answer` closes it. A
  // box that nothing can close any more (virtual time with nothing left to
  // happen) is closed as if answered.
  void MessageBox(const std::string& text, const std::string& caption) override;
  std::unique_ptr<TimerImpl> CreateTimer(TTimer& timer) override;

  // Runs the loop until `done()` holds, the loop is terminated, or the clock
  // passes `limit`. On a virtual clock it also returns when nothing can
  // happen any more. Returns done().
  bool RunUntil(const std::function<bool()>& done, Nanos limit = kForever);
  // Runs the loop for `span` of this clock's time.
  void RunFor(Nanos span);
  // Handles what is due now without letting time pass.
  void ProcessMessages();
  // Runs until Terminate.
  void Run();
  void Terminate();
  void RunLoop() override { Run(); }
  void Quit() override { Terminate(); }
  bool Terminated() const;

  // Posts `call` to run on the loop (any thread).
  void Post(std::function<void()> call);

  // Decides when an open box is closed: called with the box each time the
  // loop has handled what was due; true closes it. By default a box is
  // closed at once.
  std::function<bool(const Box&)> answer;
  // Called when a box opens (for example to print it).
  std::function<void(const Box&)> on_box;
  const std::vector<Box>& boxes() const { return boxes_; }
  int open_boxes() const { return open_boxes_; }

 protected:
  void WakeForSynchronize() override;

 private:
  class Timer;
  friend class Timer;
  enum class Step { Worked, Idle, Waited };
  // One turn of the loop; waits at most until `limit`.
  Step Turn(Nanos limit, bool may_wait);
  Timer* DueTimer(Nanos now) const;
  std::optional<Nanos> NextTimerDue() const;

  std::vector<Timer*> timers_;
  uint64_t timer_order_ = 0;
  std::vector<Box> boxes_;
  int open_boxes_ = 0;

  mutable std::mutex post_mutex_;
  std::condition_variable post_cv_;
  std::deque<std::function<void()>> posted_;
  bool wake_ = false;
  std::atomic<bool> terminated_{false};
};

}  // namespace odu::platform
