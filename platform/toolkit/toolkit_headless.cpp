#include "platform/toolkit/toolkit_headless.h"

#include <algorithm>

namespace odu::platform {

class HeadlessToolkit::Timer final : public TimerImpl {
 public:
  Timer(HeadlessToolkit& owner, TTimer& timer) : owner_(owner), timer_(timer) { owner_.timers_.push_back(this); }
  ~Timer() override {
    auto& v = owner_.timers_;
    v.erase(std::remove(v.begin(), v.end(), this), v.end());
  }
  void Start(Nanos interval) override {
    interval_ = interval;
    due_ = owner_.clock().Now() + interval;
    order_ = ++owner_.timer_order_;
    armed_ = true;
  }
  void Stop() override { armed_ = false; }

  bool armed_ = false;
  Nanos interval_{};
  Nanos due_{};
  uint64_t order_ = 0;

  void Fire() {
    // Periodic, like a window timer: re-armed before the handler, which may
    // stop or re-arm it.
    due_ = owner_.clock().Now() + interval_;
    order_ = ++owner_.timer_order_;
    timer_.Tick();
  }

 private:
  HeadlessToolkit& owner_;
  TTimer& timer_;
};

HeadlessToolkit::HeadlessToolkit(Clock& clock) : Toolkit(clock) {}
HeadlessToolkit::~HeadlessToolkit() = default;

std::unique_ptr<TimerImpl> HeadlessToolkit::CreateTimer(TTimer& timer) { return std::make_unique<Timer>(*this, timer); }

HeadlessToolkit::Timer* HeadlessToolkit::DueTimer(Nanos now) const {
  Timer* best = nullptr;
  for (Timer* t : timers_) {
    if (!t->armed_ || t->due_ > now) continue;
    if (!best || t->due_ < best->due_ || (t->due_ == best->due_ && t->order_ < best->order_)) best = t;
  }
  return best;
}

std::optional<Nanos> HeadlessToolkit::NextTimerDue() const {
  std::optional<Nanos> next;
  for (Timer* t : timers_)
    if (t->armed_ && (!next || t->due_ < *next)) next = t->due_;
  return next;
}

void HeadlessToolkit::Post(std::function<void()> call) {
  {
    std::lock_guard g(post_mutex_);
    posted_.push_back(std::move(call));
    wake_ = true;
  }
  post_cv_.notify_all();
  if (clock().IsVirtual()) static_cast<VirtualClock&>(clock()).Notify();
}

void HeadlessToolkit::WakeForSynchronize() {
  {
    std::lock_guard g(post_mutex_);
    wake_ = true;
  }
  post_cv_.notify_all();
  if (clock().IsVirtual()) static_cast<VirtualClock&>(clock()).Notify();
}

HeadlessToolkit::Step HeadlessToolkit::Turn(Nanos limit, bool may_wait) {
  // 1. Calls from other threads.
  std::function<void()> post;
  {
    std::lock_guard g(post_mutex_);
    wake_ = false;
    if (!posted_.empty()) {
      post = std::move(posted_.front());
      posted_.pop_front();
    }
  }
  if (post) {
    post();
    return Step::Worked;
  }
  if (HasSynchronized()) {
    RunSynchronized();
    return Step::Worked;
  }
  // 2. Timers that are due.
  Clock& c = clock();
  if (Timer* t = DueTimer(c.Now())) {
    t->Fire();
    return Step::Worked;
  }
  if (!may_wait) return Step::Idle;

  // 3. Wait for the next thing to happen.
  if (c.IsVirtual()) {
    auto& vc = static_cast<VirtualClock&>(c);
    if (vc.Holds() > 0) {
      // A worker is running; it will either block or call us.
      vc.WaitQuiet([this] {
        std::lock_guard g(post_mutex_);
        return wake_;
      });
      return Step::Waited;
    }
    std::optional<Nanos> next = NextTimerDue();
    std::optional<Nanos> event = vc.NextEventTime();
    if (event && (!next || *event <= *next) && *event <= limit) {
      vc.RunNextEvent(*event);
      return Step::Waited;
    }
    if (next && *next <= limit) {
      vc.AdvanceTo(*next);
      return Step::Waited;
    }
    if (limit != kForever) vc.AdvanceTo(limit);
    return Step::Idle;
  }
  std::optional<Nanos> next = NextTimerDue();
  Nanos until = limit;
  if (next && *next < until) until = *next;
  std::unique_lock lock(post_mutex_);
  if (until == kForever) {
    post_cv_.wait(lock, [this] { return wake_ || terminated_.load(); });
  } else {
    const auto tp = std::chrono::steady_clock::time_point(std::chrono::duration_cast<std::chrono::steady_clock::duration>(until));
    post_cv_.wait_until(lock, tp, [this] { return wake_ || terminated_.load(); });
  }
  return Step::Waited;
}

bool HeadlessToolkit::RunUntil(const std::function<bool()>& done, Nanos limit) {
  while (!done()) {
    if (terminated_) return false;
    if (clock().Now() >= limit) {
      // Let what is due at the limit itself run first.
      if (Turn(limit, false) == Step::Worked) continue;
      return done();
    }
    if (Turn(limit, true) == Step::Idle && clock().IsVirtual()) return done();
  }
  return true;
}

void HeadlessToolkit::RunFor(Nanos span) {
  const Nanos until = clock().Now() + span;
  RunUntil([] { return false; }, until);
}

void HeadlessToolkit::ProcessMessages() {
  while (Turn(clock().Now(), false) == Step::Worked) {
  }
}

void HeadlessToolkit::Run() {
  RunUntil([this] { return terminated_.load(); });
}

void HeadlessToolkit::Terminate() {
  terminated_ = true;
  post_cv_.notify_all();
  if (clock().IsVirtual()) static_cast<VirtualClock&>(clock()).Notify();
}

bool HeadlessToolkit::Terminated() const { return terminated_; }

void HeadlessToolkit::MessageBox(const std::string& text, const std::string& caption) {
  const size_t index = boxes_.size();
  boxes_.push_back(Box{text, caption, clock().Now(), {}});
  ++open_boxes_;
  if (on_box) on_box(boxes_[index]);
  for (;;) {
    if (!answer || answer(boxes_[index])) break;
    if (terminated_) break;
    const Step s = Turn(kForever, true);
    if (s == Step::Idle && clock().IsVirtual()) break;  // nothing can happen any more
  }
  --open_boxes_;
  boxes_[index].closed_at = clock().Now();
}

}  // namespace odu::platform
