// The window toolkit's portable pieces: components with owners, persistent
// objects, a re-entrant lock, worker threads with a synchronous call onto the
// window's thread, timers, and the toolkit itself (message boxes, the loop).
// A backend (headless, Qt, Win32) derives from Toolkit; nothing here names a
// platform.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"

namespace odu::platform {

// The toolkit's exception kind: what the application's exception display shows.
class ToolkitError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A component is destroyed by its owner, with the owner.
class TComponent {
 public:
  explicit TComponent(TComponent* owner);
  virtual ~TComponent();
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return owner_; }
  const std::vector<TComponent*>& Components() const { return components_; }
  std::string Name;

 private:
  TComponent* owner_;
  std::vector<TComponent*> components_;
};

class TPersistent {
 public:
  virtual ~TPersistent() = default;
  // Copies `source` into this object. The base knows no kind of source and
  // raises ToolkitError; derived classes handle their own kinds first.
  virtual void CopyFrom(const TPersistent& source);
};

// A lock that the holding thread may take again.
class TCriticalSection {
 public:
  void Acquire() { mutex_.lock(); }
  void Release() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};

class TTimer;
class TControl;
class ControlPeer;

// What a toolkit backend supplies for a timer.
class TimerImpl {
 public:
  virtual ~TimerImpl() = default;
  // (Re)arms the timer: it ticks every `interval` from now, on the window's
  // thread, until Stop.
  virtual void Start(Nanos interval) = 0;
  virtual void Stop() = 0;
};

class Toolkit {
 public:
  explicit Toolkit(Clock& clock);
  virtual ~Toolkit();
  Toolkit(const Toolkit&) = delete;
  Toolkit& operator=(const Toolkit&) = delete;

  Clock& clock() const { return clock_; }
  bool IsWindowThread() const { return std::this_thread::get_id() == window_thread_; }

  // A modal box with the text, the caption, an OK button only and no icon.
  // Returns when the box has been closed; the window's messages (timers,
  // synchronous calls) keep being handled while it is open.
  virtual void MessageBox(const std::string& text, const std::string& caption) = 0;

  virtual std::unique_ptr<TimerImpl> CreateTimer(TTimer& timer) = 0;
  // The backend's peer for a control about to be shown; none when the
  // backend shows nothing (headless).
  virtual std::unique_ptr<ControlPeer> CreatePeer(TControl& control);
  // Runs the window's loop until Quit.
  virtual void RunLoop() = 0;
  virtual void Quit() = 0;

  // Who calls onto the window's thread: a token that no later caller gets,
  // so that what is cancelled for one can never hold for another.
  using SyncOwner = uint64_t;
  SyncOwner NewSyncOwner();

  // From a worker thread: runs `call` on the window's thread and waits until
  // it has returned (true), or until the window's thread cancels it (false).
  bool Synchronize(SyncOwner owner, std::function<void()> call);
  // On the window's thread: drops the queued calls of `owner`, whose
  // Synchronize then returns false, and refuses its later calls. True when
  // a call of `owner` is running right now further up this thread's stack
  // (it cannot be dropped).
  bool CancelSynchronize(SyncOwner owner);
  // `owner` is gone: what was kept for it is dropped.
  void ForgetOwner(SyncOwner owner);

 protected:
  // The toolkit's own calls onto its thread (a box asked for from a worker).
  static constexpr SyncOwner kOwnCalls = 0;
  // Runs the queued synchronous calls; the backend's loop calls it.
  void RunSynchronized();
  bool HasSynchronized() const;
  // Tells the backend's loop that a synchronous call is waiting.
  virtual void WakeForSynchronize() = 0;

 private:
  struct SyncCall;
  Clock& clock_;
  std::thread::id window_thread_;
  mutable std::mutex sync_mutex_;
  std::condition_variable sync_cv_;
  std::deque<std::shared_ptr<SyncCall>> sync_queue_;
  std::vector<SyncOwner> running_owners_;
  std::vector<SyncOwner> cancelled_owners_;
  std::atomic<SyncOwner> next_owner_{kOwnCalls + 1};
};

// The toolkit that the program runs on (set by the backend's constructor).
Toolkit& CurrentToolkit();
bool HasToolkit();
void SetCurrentToolkit(Toolkit* toolkit);

// A worker thread: created suspended or running, polls Terminated(), and
// calls onto the window's thread with Synchronize.
class TThread {
 public:
  explicit TThread(bool create_suspended);
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  void Resume();
  void Terminate() { terminated_ = true; }
  bool Terminated() const { return terminated_; }
  bool Finished() const { return finished_; }
  // Waits for the body to end. Not from the thread itself.
  void WaitFor();

  // When set, the object deletes itself once its body has ended.
  std::atomic<bool> FreeOnTerminate{false};

 protected:
  virtual void Execute() = 0;
  bool Synchronize(std::function<void()> call);
  Toolkit& toolkit() const { return toolkit_; }
  Toolkit::SyncOwner sync_owner() const { return sync_owner_; }

 private:
  void Main();

  Toolkit& toolkit_;
  const Toolkit::SyncOwner sync_owner_;
  std::thread thread_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> finished_{false};
  bool started_ = false;
};

// A timer of the window: ticks on the window's thread every Interval
// milliseconds while Enabled. A new timer is disabled, at 1,000 ms.
class TTimer : public TComponent {
 public:
  explicit TTimer(TComponent* owner);
  ~TTimer() override;

  uint32_t Interval() const { return interval_; }
  void SetInterval(uint32_t ms);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);

  std::function<void(TTimer&)> OnTimer;

  // Called by the backend on each tick.
  void Tick();

 private:
  void Update();

  uint32_t interval_ = 1000;
  bool enabled_ = false;
  std::unique_ptr<TimerImpl> impl_;
};

}  // namespace odu::platform
