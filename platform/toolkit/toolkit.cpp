#include "platform/toolkit/toolkit.h"

#include "platform/toolkit/controls.h"

#include <algorithm>
#include <cassert>

namespace odu::platform {

// ---- components ----

TComponent::TComponent(TComponent* owner) : owner_(owner) {
  if (owner_) owner_->components_.push_back(this);
}

TComponent::~TComponent() {
  // Owned components go first, the last created first.
  while (!components_.empty()) {
    TComponent* child = components_.back();
    components_.pop_back();
    child->owner_ = nullptr;
    delete child;
  }
  if (owner_) {
    auto& siblings = owner_->components_;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
  }
}

void TPersistent::CopyFrom(const TPersistent&) { throw ToolkitError("Cannot assign this kind of object."); }

// ---- the current toolkit ----

// A thread that made a toolkit runs on it; any other thread sees the one
// made last. Several runs at once (the command line's fleet) each make
// their own on their own thread.
namespace {
std::atomic<Toolkit*> g_toolkit{nullptr};
thread_local Toolkit* t_toolkit = nullptr;
}  // namespace

Toolkit& CurrentToolkit() {
  Toolkit* t = t_toolkit ? t_toolkit : g_toolkit.load();
  if (!t) throw ToolkitError("No window toolkit is running.");
  return *t;
}
bool HasToolkit() { return t_toolkit || g_toolkit.load() != nullptr; }
void SetCurrentToolkit(Toolkit* toolkit) {
  g_toolkit.store(toolkit);
  t_toolkit = toolkit;
}

// ---- synchronous calls onto the window's thread ----

struct Toolkit::SyncCall {
  enum class State { Queued, Running, Done, Cancelled };
  SyncOwner owner;
  std::function<void()> call;
  State state = State::Queued;
};

Toolkit::Toolkit(Clock& clock) : clock_(clock), window_thread_(std::this_thread::get_id()) {
  SetCurrentToolkit(this);
}

Toolkit::~Toolkit() {
  Toolkit* self = this;
  g_toolkit.compare_exchange_strong(self, nullptr);
  if (t_toolkit == this) t_toolkit = nullptr;
}

std::unique_ptr<ControlPeer> Toolkit::CreatePeer(TControl&) { return nullptr; }

Toolkit::SyncOwner Toolkit::NewSyncOwner() { return next_owner_.fetch_add(1); }

bool Toolkit::Synchronize(SyncOwner owner, std::function<void()> call) {
  auto item = std::make_shared<SyncCall>(SyncCall{owner, std::move(call)});
  std::unique_lock lock(sync_mutex_);
  if (std::find(cancelled_owners_.begin(), cancelled_owners_.end(), owner) != cancelled_owners_.end()) return false;
  sync_queue_.push_back(item);
  lock.unlock();
  WakeForSynchronize();
  lock.lock();
  // Blocked on the window's thread: this worker no longer holds virtual time.
  // Whoever finishes or cancels the call takes the hold back on its behalf.
  clock_.Release();
  sync_cv_.wait(lock, [&] { return item->state == SyncCall::State::Done || item->state == SyncCall::State::Cancelled; });
  return item->state == SyncCall::State::Done;
}

bool Toolkit::CancelSynchronize(SyncOwner owner) {
  std::lock_guard g(sync_mutex_);
  if (std::find(cancelled_owners_.begin(), cancelled_owners_.end(), owner) == cancelled_owners_.end())
    cancelled_owners_.push_back(owner);
  bool cancelled = false;
  for (auto it = sync_queue_.begin(); it != sync_queue_.end();) {
    if ((*it)->owner == owner) {
      (*it)->state = SyncCall::State::Cancelled;
      clock_.Hold();
      cancelled = true;
      it = sync_queue_.erase(it);
    } else {
      ++it;
    }
  }
  if (cancelled) sync_cv_.notify_all();
  return std::find(running_owners_.begin(), running_owners_.end(), owner) != running_owners_.end();
}

void Toolkit::ForgetOwner(SyncOwner owner) {
  std::lock_guard g(sync_mutex_);
  cancelled_owners_.erase(std::remove(cancelled_owners_.begin(), cancelled_owners_.end(), owner), cancelled_owners_.end());
}

bool Toolkit::HasSynchronized() const {
  std::lock_guard g(sync_mutex_);
  return !sync_queue_.empty();
}

void Toolkit::RunSynchronized() {
  for (;;) {
    std::shared_ptr<SyncCall> item;
    {
      std::lock_guard g(sync_mutex_);
      if (sync_queue_.empty()) return;
      item = sync_queue_.front();
      sync_queue_.pop_front();
      item->state = SyncCall::State::Running;
      running_owners_.push_back(item->owner);
    }
    struct Finish {
      Toolkit& t;
      SyncCall& c;
      ~Finish() {
        std::lock_guard g(t.sync_mutex_);
        auto& owners = t.running_owners_;
        owners.erase(std::find(owners.begin(), owners.end(), c.owner));
        c.state = SyncCall::State::Done;
        t.clock_.Hold();
        t.sync_cv_.notify_all();
      }
    } finish{*this, *item};
    item->call();
  }
}

// ---- threads ----

TThread::TThread(bool create_suspended) : toolkit_(CurrentToolkit()), sync_owner_(toolkit_.NewSyncOwner()) {
  if (!create_suspended) Resume();
}

TThread::~TThread() {
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id())
      thread_.detach();
    else
      thread_.join();
  }
  toolkit_.ForgetOwner(sync_owner_);
}

void TThread::Resume() {
  if (started_) return;
  started_ = true;
  toolkit_.clock().Hold();  // the new thread holds virtual time from its first instruction
  thread_ = std::thread([this] { Main(); });
}

void TThread::WaitFor() {
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

bool TThread::Synchronize(std::function<void()> call) { return toolkit_.Synchronize(sync_owner_, std::move(call)); }

void TThread::Main() {
  Execute();
  Clock& clock = toolkit_.clock();
  if (FreeOnTerminate) {
    thread_.detach();
    delete this;
  } else {
    finished_ = true;
  }
  clock.Release();
}

// ---- timers ----

TTimer::TTimer(TComponent* owner) : TComponent(owner) {}

TTimer::~TTimer() {
  if (impl_) impl_->Stop();
}

void TTimer::SetInterval(uint32_t ms) {
  if (ms == interval_) return;
  interval_ = ms;
  Update();
}

void TTimer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  enabled_ = enabled;
  Update();
}

void TTimer::Update() {
  if (!impl_) impl_ = CurrentToolkit().CreateTimer(*this);
  impl_->Stop();
  if (enabled_ && interval_ > 0) impl_->Start(Millis(interval_));
}

void TTimer::Tick() {
  if (enabled_ && OnTimer) OnTimer(*this);
}

}  // namespace odu::platform
